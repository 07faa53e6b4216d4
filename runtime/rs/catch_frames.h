// Catch frames and throws (assembly, Lisp register conventions; see
// catch_frames.S): non-local exits to a catch tag, returns from a given
// frame, and throws that cross native frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/rs/catch_frame_layout.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"

namespace lisp {

// Linked at the thread's +0xba, newest first; compiled code builds it in its
// own frame and unlinks it at its continuation.
struct CatchFrame {
  uint32_t next;          // the next older frame, 0 at the end
  uint32_t continuation;  // where a throw to this frame resumes
  uint32_t framePointer;  // ebp restored at the continuation
  uint32_t bindingTop;    // binding-stack top (bytes) to unwind to
  uint32_t stackPointer;  // esp restored at the continuation
  uint32_t clinkHead;     // foreign-call chain head restored
  lispval tag;            // the catch tag; on arrival the tag thrown
  lispval value;          // on arrival: the value, or a closed values vector
};
static_assert(offsetof(CatchFrame, next) == CATCH_NEXT);
static_assert(offsetof(CatchFrame, continuation) == CATCH_CONTINUATION);
static_assert(offsetof(CatchFrame, framePointer) == CATCH_FRAME_POINTER);
static_assert(offsetof(CatchFrame, bindingTop) == CATCH_BINDING_TOP);
static_assert(offsetof(CatchFrame, stackPointer) == CATCH_STACK_POINTER);
static_assert(offsetof(CatchFrame, clinkHead) == CATCH_CLINK_HEAD);
static_assert(offsetof(CatchFrame, tag) == CATCH_TAG);
static_assert(offsetof(CatchFrame, value) == CATCH_VALUE);
static_assert(sizeof(CatchFrame) == CATCH_FRAME_BYTES);
static_assert(thread_record::kCatchChain == THREAD_CATCH_CHAIN);

namespace catch_frames {
inline constexpr int32_t kUnwindMarker = -0x4e9;    // global word: tag of cleanup frames
inline constexpr int32_t kFrameReturnTag = -0x11d;  // global word: tag of frame returns
inline constexpr int32_t kUnwindCounter = -0x35;    // global word shifted right 8 per unwind
inline constexpr uint32_t kNoCatcherError = 15;     // with the tag

inline constexpr const char* kNoFrameToContinue =
    "A throw found no catcher and no cleanup frame to continue to.\n";
}  // namespace catch_frames

}  // namespace lisp

extern "C" {
// `throw` is a C++ keyword: the routine is declared under another name.
void throw_routine() __asm__("throw");
void closed_throw();
void special_throw();
void throw_over_c_by_returning();
void rethrow_after_cret();

// Native: a throw whose error for a missing catcher returned with no cleanup
// frame met; writes the message and ends the process with status 1.
[[noreturn]] void throw_without_catcher();
}
