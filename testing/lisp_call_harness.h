// Calls code that follows the Lisp register conventions, from a test.
//
// The harness builds a Lisp-convention frame (function or marker at ebp-4,
// ebp-0x10, ebp-0x14, ebp-0x18, thread at ebp-0x1c), lays out the home slots
// and stacked arguments at esp, optionally loads doubles onto the x87 stack,
// loads edi (nil), ebx (thread or symbol), esi (function), ecx (count), eax
// and edx (arguments 1 and 2), calls the target and captures the registers,
// the carry flag, how far esp moved, what the frame slots and argument area
// hold afterwards and how many x87 registers are in use. It then empties the
// x87 stack and restores the control word it found.
//
// The recorder is a stand-in Lisp function (or error function): make a
// function object whose start word is lisp_recorder_entry and every call of it
// is appended to the log, then it returns the log's result: one value with
// carry clear, or (setRecorderValues) several in the open form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "testing/lisp_call_layout.h"

namespace testing_support {

inline constexpr int kHarnessStackWords = LCH_STACK_WORDS;
inline constexpr int kHarnessFrameWords = LCH_FRAME_WORDS;

// Index into LispCallSetup::frame / LispCallResult::frame of slot ebp-offset.
constexpr int frameIndex(uint32_t offsetBelowEbp) {
  return static_cast<int>(offsetBelowEbp / 4) - 1;
}

struct LispCallSetup {
  uint32_t target = 0;
  uint32_t edi = 0, ebx = 0, esi = 0, ecx = 0, eax = 0, edx = 0;
  uint32_t frame[LCH_FRAME_WORDS] = {};
  uint32_t stack[LCH_STACK_WORDS] = {};
  uint32_t x87Count = 0;  // x87Values[0 .. x87Count-1] are loaded, [0] on top
  double x87Values[LCH_X87_VALUES] = {};
};
static_assert(offsetof(LispCallSetup, edi) == LCS_EDI);
static_assert(offsetof(LispCallSetup, edx) == LCS_EDX);
static_assert(offsetof(LispCallSetup, frame) == LCS_FRAME);
static_assert(offsetof(LispCallSetup, stack) == LCS_STACK);
static_assert(offsetof(LispCallSetup, x87Count) == LCS_X87_COUNT);
static_assert(offsetof(LispCallSetup, x87Values) == LCS_X87_VALUES);
static_assert(sizeof(LispCallSetup) == LCS_SIZE);

struct LispCallResult {
  uint32_t eax, edx, ecx, ebx, esi, edi;
  uint32_t carry;    // 1 when the carry flag was set on return
  int32_t espDelta;  // esp after the return minus esp at the call (0: balanced)
  uint32_t frame[LCH_FRAME_WORDS];
  uint32_t stack[LCH_STACK_WORDS];
  uint32_t x87Depth;  // x87 registers in use after the return (the harness empties them)
  double x87Top;      // st(0) then, when x87Depth is not 0

  bool ediSurvived(const LispCallSetup& setup) const { return edi == setup.edi; }
};
static_assert(offsetof(LispCallResult, carry) == LCR_CARRY);
static_assert(offsetof(LispCallResult, espDelta) == LCR_ESP_DELTA);
static_assert(offsetof(LispCallResult, frame) == LCR_FRAME);
static_assert(offsetof(LispCallResult, stack) == LCR_STACK);
static_assert(offsetof(LispCallResult, x87Depth) == LCR_X87_DEPTH);
static_assert(offsetof(LispCallResult, x87Top) == LCR_X87_TOP);
static_assert(sizeof(LispCallResult) == LCR_SIZE);

struct RecordedCall {
  uint32_t eax, edx, ecx, ebx, esi, edi;
  uint32_t returnAddress;
  uint32_t callerFrame[LCH_FRAME_WORDS];  // the caller's ebp-4 .. ebp-0x20
  uint32_t callerLink;                    // the caller's [ebp]: the frame it links to
  uint32_t callerReturn;                  // the caller's [ebp+4]
  uint32_t linkFrame[LCH_FRAME_WORDS];    // slots -4 .. -0x20 of the frame callerLink names
  uint32_t stack[LRE_STACK_WORDS];        // home slot 1, home slot 2, argument 3, ...
};
static_assert(offsetof(RecordedCall, returnAddress) == LRE_RETURN);
static_assert(offsetof(RecordedCall, callerFrame) == LRE_CALLER_FRAME);
static_assert(offsetof(RecordedCall, callerLink) == LRE_CALLER_LINK);
static_assert(offsetof(RecordedCall, callerReturn) == LRE_CALLER_RETURN);
static_assert(offsetof(RecordedCall, linkFrame) == LRE_LINK_FRAME);
static_assert(offsetof(RecordedCall, stack) == LRE_STACK);
static_assert(sizeof(RecordedCall) == LRE_SIZE);

struct RecorderLog {
  uint32_t count;        // calls recorded (at most LRL_CAPACITY)
  uint32_t result;       // what the recorder returns in eax
  uint32_t resultCount;  // values returned: 1, or the open form's count (carry set)
  uint32_t resultEdx;    // value 2, returned in edx when resultCount is not 1
  RecordedCall calls[LRL_CAPACITY];
};
static_assert(offsetof(RecorderLog, result) == LRL_RESULT);
static_assert(offsetof(RecorderLog, resultCount) == LRL_RESULT_COUNT);
static_assert(offsetof(RecorderLog, resultEdx) == LRL_RESULT_EDX);
static_assert(offsetof(RecorderLog, calls) == LRL_ENTRIES);

}  // namespace testing_support

extern "C" {
void lisp_harness_call(const testing_support::LispCallSetup* setup,
                       testing_support::LispCallResult* result);
// Where the target returns to in the harness (a label, not a routine).
void lisp_harness_return();
void lisp_recorder_entry();
extern testing_support::RecorderLog lisp_recorder_log;
// The recorder after a call of lisp_recorder_observer (when not null), a
// native function that looks at the state the Lisp call is made in.
void lisp_observing_recorder_entry();
extern void (*lisp_recorder_observer)();
void lisp_walk_base_entry();
extern uint32_t* lisp_walk_base_record;
extern uint32_t lisp_walk_base_target;
}

namespace testing_support {

inline LispCallResult callWithLispConventions(const LispCallSetup& setup) {
  LispCallResult result{};
  lisp_harness_call(&setup, &result);
  return result;
}

// The call, with its harness frame walked by the collector as the frame of
// Lisp code that native code entered: a foreign-call record in this
// function's frame ends the thread's chain (`clinkHead`, empty before) for
// the call's duration. The setup's frame needs a marker at ebp-4 for the
// walk to take it as a frame.
inline LispCallResult callFromNativeEntry(LispCallSetup setup, uint32_t& clinkHead) {
  constexpr uint32_t kEmptyChain = 0xffffffff;
  alignas(8) uint32_t base[6] = {kEmptyChain, 0, 0, 0, 0, 0};
  lisp_walk_base_record = base;
  lisp_walk_base_target = setup.target;
  setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_walk_base_entry));
  clinkHead = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base));
  const LispCallResult result = callWithLispConventions(setup);
  clinkHead = kEmptyChain;
  return result;
}

// Empties the log and sets what the recorder returns (one value).
inline void resetRecorder(uint32_t result) {
  lisp_recorder_log.count = 0;
  lisp_recorder_log.result = result;
  lisp_recorder_log.resultCount = 1;
  lisp_recorder_log.resultEdx = 0;
}

// Makes the recorder return `count` values in the open form: eax, edx, ecx =
// count and the carry set (0 values: carry set, ecx 0).
inline void setRecorderValues(uint32_t count, uint32_t first, uint32_t second) {
  lisp_recorder_log.result = first;
  lisp_recorder_log.resultCount = count;
  lisp_recorder_log.resultEdx = second;
}

inline uint32_t recorderAddress() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_recorder_entry));
}
inline uint32_t observingRecorderAddress() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_observing_recorder_entry));
}

}  // namespace testing_support
