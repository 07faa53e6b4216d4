// Keeping %gs and %fs on the thread's own bases across a handler's return
// (thread_segments.h).
//
// On a kernel, every check here finds the entries holding the thread's own
// bases, so a handler returns as it always does; only a table that has shown
// itself to be shared sends a return through the landing.

#include "platform/thread_segments.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <mutex>

namespace platform::detail {
namespace {

std::atomic<bool> g_tableShared{false};

// A system call through int 0x80, which needs no %gs.
long trapCall(long number, void* argument) {
  long result;
  asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(argument) : "memory");
  return result;
}

uint16_t selectorEntry(uint32_t selector) {
  return static_cast<uint16_t>(selector >> 3);
}

// Whether the entry `part` names holds another base than the part's.
bool entryDiffers(const SegmentReload& part) {
  if (part.selector == 0) return false;
  user_desc read{};
  read.entry_number = selectorEntry(part.selector);
  if (trapCall(SYS_get_thread_area, &read) != 0) return false;
  return read.base_addr != part.descriptor.base_addr;
}

void noteIfShared(const ThreadSegments& segments) {
  if (g_tableShared.load(std::memory_order_relaxed)) return;
  if (entryDiffers(segments.gs) || entryDiffers(segments.fs))
    g_tableShared.store(true, std::memory_order_relaxed);
}

uint32_t liveSelector(bool gs) {
  uint32_t selector = 0;
  if (gs)
    asm volatile("movl %%gs, %0" : "=r"(selector));
  else
    asm volatile("movl %%fs, %0" : "=r"(selector));
  return selector & 0xffff;
}

}  // namespace

void describeThreadPointer(SegmentReload* gs) {
  *gs = SegmentReload{};
  const uint32_t selector = liveSelector(true);
  if (selector == 0 || (selector & 4) != 0) return;  // no entry of the global table
  uint32_t threadPointer;  // the first word of the thread's control block points at itself
  asm volatile("movl %%gs:0, %0" : "=r"(threadPointer));
  gs->descriptor.entry_number = selectorEntry(selector);
  if (trapCall(SYS_get_thread_area, &gs->descriptor) != 0) return;  // its flags, as the C library set them
  gs->descriptor.base_addr = threadPointer;
  gs->selector = selector;
  gs->checkOffset = 0;
  gs->checkValue = threadPointer;
}

bool descriptorTableShared() {
  return g_tableShared.load(std::memory_order_relaxed);
}

// A new thread's start writes its own %gs entry. A kernel writes the new
// thread's copy; in a table shared by all threads the calling thread's entry
// then holds the new thread's base.
void findOutWhetherDescriptorTableShared() {
  static std::once_flag once;
  std::call_once(once, [] {
    SegmentReload gs;
    describeThreadPointer(&gs);
    if (gs.selector == 0) return;
    pthread_t probe;
    if (pthread_create(&probe, nullptr, [](void*) -> void* { return nullptr; }, nullptr) != 0)
      return;  // left to the handlers' own checks
    pthread_join(probe, nullptr);
    if (entryDiffers(gs)) g_tableShared.store(true, std::memory_order_relaxed);
  });
}

void takeOwnSegmentsOnEntry(const SegmentReload& ownGs, ThreadSegments* segments) {
  segments->gs = ownGs;
  if (liveSelector(true) != ownGs.selector) segments->gs.selector = 0;  // not what it described
  noteIfShared(*segments);
  if (descriptorTableShared()) platform_reload_gs(&segments->gs);
  describeThreadBlockSegment(&segments->fs);  // reads the thread's own storage through %gs
  noteIfShared(*segments);
  if (descriptorTableShared()) platform_reload_fs(&segments->fs);
}

void reloadOwnSegmentsAfterReturn(ThreadSegments* segments, ucontext_t* context) {
  greg_t* registers = context->uc_mcontext.gregs;
  // A context written while the thread was stopped may name other selectors:
  // those are loaded as they are.
  if (static_cast<uint32_t>(registers[REG_GS] & 0xffff) != segments->gs.selector)
    segments->gs.selector = 0;
  if (static_cast<uint32_t>(registers[REG_FS] & 0xffff) != segments->fs.selector)
    segments->fs.selector = 0;
  noteIfShared(*segments);
  if (!descriptorTableShared()) return;
  if (segments->gs.selector == 0 && segments->fs.selector == 0) return;
  segments->resumeAt = static_cast<uint32_t>(registers[REG_EIP]);
  segments->savedEax = static_cast<uint32_t>(registers[REG_EAX]);
  static_assert(sizeof context->uc_sigmask >= sizeof segments->savedMask);
  __builtin_memcpy(segments->savedMask, &context->uc_sigmask, sizeof segments->savedMask);
  sigfillset(&context->uc_sigmask);
  registers[REG_EAX] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(segments));
  registers[REG_EIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&platform_segment_landing));
}

}  // namespace platform::detail
