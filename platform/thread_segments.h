// Keeping a thread's %gs (the C library's thread pointer) and %fs (its block,
// thread_block.h) on its own bases across a signal handler's return. Not for
// callers outside platform/.
//
// A return from a signal handler reloads the segment registers from the
// descriptor entries their selectors name. A kernel keeps the thread-local
// entries per thread, so the reload gives the thread its own bases back. The
// user-mode i386 emulator keeps one descriptor table for the whole process:
// whichever thread last wrote an entry (a new thread's start, a block being
// loaded) decides the base that every other thread gets when it next returns
// from a handler. Such a table shows itself when an entry read back differs
// from the base the calling thread's register has; from then on a handler
// returns through a landing that writes the thread's own entries and loads
// them again, until the loaded register reads back the thread's own word.
#pragma once

#include <asm/ldt.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace platform::detail {

// One segment register's entry, and the word that proves the register holds
// it: once loaded, the word at checkOffset inside the segment is checkValue.
struct SegmentReload {
  user_desc descriptor;  // entry number and base, as set_thread_area takes them
  uint32_t selector;     // 0: leave the register as it is
  uint32_t checkOffset;
  uint32_t checkValue;
};

// Per thread; the layout is read by thread_segments.S.
struct ThreadSegments {
  SegmentReload gs;
  SegmentReload fs;
  // Filled by a handler that returns through the landing.
  uint32_t resumeAt;       // where the thread goes on
  uint32_t savedEax;       // eax there
  uint32_t savedMask[2];   // its signal mask (the kernel's 64 signals)
};
static_assert(sizeof(user_desc) == 16);
static_assert(offsetof(SegmentReload, selector) == 16);
static_assert(offsetof(SegmentReload, checkOffset) == 20);
static_assert(offsetof(SegmentReload, checkValue) == 24);
static_assert(offsetof(ThreadSegments, fs) == 28);
static_assert(offsetof(ThreadSegments, resumeAt) == 56);
static_assert(offsetof(ThreadSegments, savedEax) == 60);
static_assert(offsetof(ThreadSegments, savedMask) == 64);

// Describes the calling thread's %gs as it is now. Called by the thread itself
// while its register holds its own base (before it has returned from any handler).
void describeThreadPointer(SegmentReload* gs);

// Describes the calling thread's %fs: its block, or selector 0 when it has
// none (thread_block.cpp, beside the block's own descriptor).
void describeThreadBlockSegment(SegmentReload* fs);

// Whether the descriptor table has shown itself to be one for all threads.
bool descriptorTableShared();

// Finds out once, by starting and joining a thread, whether the descriptor
// table is one for all threads. Called before a handler that keeps segments
// is installed: found out only by a handler's own checks, the first return
// that sees the table shared may race with another thread's write of the
// entries and leave that thread with the other's bases.
void findOutWhetherDescriptorTableShared();

// For a handler that may interrupt a thread anywhere, and that needs the C
// library, on entry: fills `segments` from `ownGs` (which the thread described
// beforehand) and its block, and where the table is shared loads the thread's
// own %gs and %fs again (a return from another handler may have left others).
void takeOwnSegmentsOnEntry(const SegmentReload& ownGs, ThreadSegments* segments);

// The same handler, as its last step: where the table is shared, makes the
// return go through the landing (eax, eip and the signal mask in `context`
// are taken into `segments` and given back by the landing).
void reloadOwnSegmentsAfterReturn(ThreadSegments* segments, ucontext_t* context);

}  // namespace platform::detail

extern "C" {
// thread_segments.S: loads one register from its entry until it reads back its word.
__attribute__((visibility("hidden"))) void platform_reload_gs(const platform::detail::SegmentReload* gs);
__attribute__((visibility("hidden"))) void platform_reload_fs(const platform::detail::SegmentReload* fs);
// Entered (with every signal blocked) in place of the interrupted instruction,
// with eax pointing at the thread's ThreadSegments.
__attribute__((visibility("hidden"))) void platform_segment_landing();
}
