// The debugger's frame routines through their entry slots: walks over a
// stack laid out word by word in a block that a parked thread's record
// points into, argument counts, the exit trap, and the running thread's own
// stack from stand-in Lisp functions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_routine_heap.h"

extern "C" {
void frame_probe_outer();
extern uint32_t frame_probe_seen[7];
}

namespace {

using lisp::lispval;
using lisp::makeFixnum;
using testing_support::frameIndex;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;
namespace marker = lisp::nil_block::marker;

constexpr int32_t kFdNextFrame = 0x10b;
constexpr int32_t kNewestFrame = 0x16b;
constexpr int32_t kFdArgCount = 0x2c3;
constexpr int32_t kBreakOnExitControl = 0x2ef;
constexpr int32_t kExitBreakpointSymbol = -0x2a1;

constexpr int kWords = 128;  // the parked thread's stack block
constexpr int kEnd = -1;     // a record's previous link: the chain's end
constexpr int kNone = 0;     // a frame's caller link: none; a record's native frame: none
constexpr uint32_t kReturnBase = 0x7000;

uint32_t addressOf(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

// What lies below a frame pointer.
enum class Below { Function, RuntimeMarker, NativeEntryMarker, Junk };

struct FrameRow {
  int fp;  // word index
  Below below;
  int caller;  // word index of the caller's frame; kNone: 0
};
struct RecordRow {
  int at;
  int previous;     // kEnd: all ones
  int nativeFrame;  // kNone: 0 (native code running)
  int savedFrame;
};

class DebuggerFrames : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    lisp::registry::forgetRegistry();
    parkedRaw_ = allocate_threadctl();
    ASSERT_NE(parkedRaw_, nullptr);
    parked_ = lisp::registry::tagged(parkedRaw_);
    parkedWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    parkedWord(tr::kSavedNativeStack) = address(0);
    parkedWord(tr::kStackBase) = address(kWords);
    function_ = functionObject();
    std::fill(std::begin(stack_), std::end(stack_), nil());
  }
  void TearDown() override {
    lisp::registry::forgetRegistry();
    LispRoutineHeap::TearDown();
  }

  uint32_t& parkedWord(int32_t offset) { return lisp::wordAt(parked_, offset); }
  uint32_t address(int index) const { return addressOf(stack_) + 4 * static_cast<uint32_t>(index); }
  uint32_t& stack(int index) { return stack_[index]; }

  // A function object (type 8) in old space.
  lispval functionObject() {
    const uint32_t object = other_from_old_xsmp(8 * ((lisp::kFunctionFixedBytes + 7) / 8));
    gc_test::at(object) = lisp::headerWord(lisp::type_code::Function);
    for (uint32_t word = 1; word < lisp::kFunctionFixedBytes / 4; ++word)
      gc_test::at(object + 4 * word) = nil();
    return lisp::pointerWord(object, lisp::Tag::Other);
  }

  void frame(const FrameRow& row) {
    stack_[row.fp] = row.caller == kNone ? 0 : address(row.caller);
    stack_[row.fp + 1] = kReturnBase + 4 * row.fp;
    uint32_t below = lisp::makeFixnum(3);
    switch (row.below) {
      case Below::Function:
        below = function_;
        break;
      case Below::RuntimeMarker:
        below = marker::kRuntimeRoutine;
        break;
      case Below::NativeEntryMarker:
        below = marker::kNativeEntry;
        break;
      case Below::Junk:
        break;
    }
    stack_[row.fp - 1] = below;
  }
  void record(const RecordRow& row) {
    stack_[row.at] = row.previous == kEnd ? tr::kEmptyClinkChain : address(row.previous);
    stack_[row.at + 1] = row.nativeFrame == kNone ? 0 : address(row.nativeFrame);
    stack_[row.at + 2] = address(row.savedFrame);
    stack_[row.at + 3] = nil();
    stack_[row.at + 4] = 0;
    stack_[row.at + 5] = 0;
  }
  // Lays the rows out; the first record is the parked thread's newest.
  void layOut(const std::vector<FrameRow>& frames, const std::vector<RecordRow>& records) {
    for (const FrameRow& row : frames) frame(row);
    for (const RecordRow& row : records) record(row);
    parkedWord(tr::kClinkHead) = records.empty() ? tr::kEmptyClinkChain : address(records[0].at);
  }

  LispCallResult callSlot(int32_t slot, uint32_t eax, uint32_t edx) {
    const LispCallResult result = call(setupFor(slot, eax, edx, 2));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    return result;
  }
  lispval newestFrame(lispval thread) { return callSlot(kNewestFrame, thread, 0).eax; }
  lispval nextFrame(lispval fp, lispval thread) { return callSlot(kFdNextFrame, fp, thread).eax; }
  lispval argCount(lispval fp, lispval thread) { return callSlot(kFdArgCount, fp, thread).eax; }
  LispCallResult exitControl(int32_t action, lispval thread, uint32_t fp, lispval throwFlag) {
    LispCallSetup setup = setupFor(kBreakOnExitControl, makeFixnum(action), thread, 4);
    setup.stack[2] = fp;
    setup.stack[3] = throwFlag;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.esi, kCallerFunction);
    return result;
  }

  // The frames a debugger sees: newest_frame, then fd_next_frame until nil,
  // as word indexes into the block (at most 16).
  std::vector<int> walk(lispval thread) {
    std::vector<int> indexes;
    for (lispval fp = newestFrame(thread); fp != nil() && indexes.size() < 16;
         fp = nextFrame(fp, thread)) {
      indexes.push_back(static_cast<int>(static_cast<int32_t>(fp - address(0)) / 4));
    }
    return indexes;
  }

  lispval t() { return lisp::nil_block::tFor(nil()); }

  uint32_t* parkedRaw_ = nullptr;
  lispval parked_ = 0;
  lispval function_ = 0;
  alignas(8) uint32_t stack_[kWords] = {};
};

// ---- walks of a parked thread ----

struct WalkCase {
  const char* what;
  std::vector<FrameRow> frames;
  std::vector<RecordRow> records;
  std::vector<int> seen;
};

const WalkCase kWalks[] = {
    {"Lisp and runtime frames only; a caller of 0 ends",
     {{20, Below::Function, 30},
      {30, Below::RuntimeMarker, 40},
      {40, Below::Junk, 50},
      {50, Below::Function, 60},
      {60, Below::RuntimeMarker, kNone}},
     {{4, kEnd, kNone, 20}},
     {20, 30, 50, 60}},
    {"a native entry into Lisp is passed over with the frame that called out",
     {{20, Below::Function, 30},
      {30, Below::NativeEntryMarker, 36},  // the native entry
      {36, Below::Junk, 40},               // native code
      {56, Below::Function, 70},           // called out, passed over
      {70, Below::Function, kNone}},
     {{4, 44, kNone, 20}, {44, 100, 30, 56}, {100, kEnd, 110, 110}},
     {20, 70}},
    {"the oldest record ends the walk at its native frame",
     {{20, Below::Function, 30}, {30, Below::Function, 40}, {40, Below::NativeEntryMarker, 46}},
     {{4, 50, kNone, 20}, {50, kEnd, 40, 60}},
     {20, 30}},
    {"a record newer than the frame is skipped",
     {{20, Below::Function, 30}, {30, Below::Function, 50}, {50, Below::Function, kNone}},
     {{4, 22, kNone, 20}, {22, kEnd, 10, 10}},
     {20, 30, 50}},
    {"a cycle ends with nil",
     {{20, Below::Function, 30}, {30, Below::Function, 20}},
     {{4, kEnd, kNone, 20}},
     {20, 30}},
    {"a frame pointing at itself ends with nil",
     {{20, Below::Function, 30}, {30, Below::Junk, 30}},
     {{4, kEnd, kNone, 20}},
     {20}},
    {"a frame pointer at or above the stack base ends with nil",
     {{20, Below::Function, 30}, {30, Below::Function, kWords}},
     {{4, kEnd, kNone, 20}},
     {20, 30}},
    {"a native entry whose record bridges downward ends with nil",
     {{20, Below::Function, 30}, {30, Below::NativeEntryMarker, 40}, {12, Below::Function, 60}},
     {{4, 44, kNone, 20}, {44, 90, 30, 12}, {90, kEnd, 100, 100}},
     {20}},
    {"a saved Lisp frame above the stack base gives nil", {}, {{4, kEnd, kNone, kWords + 8}}, {}},
};

TEST_F(DebuggerFrames, WalksOfAParkedThread) {
  for (const WalkCase& c : kWalks) {
    SCOPED_TRACE(c.what);
    std::fill(std::begin(stack_), std::end(stack_), nil());
    layOut(c.frames, c.records);
    EXPECT_EQ(walk(parked_), c.seen);
  }
}

TEST_F(DebuggerFrames, OnlyARegisteredParkedThreadIsWalked) {
  layOut({{20, Below::Function, 30}, {30, Below::Function, kNone}}, {{4, kEnd, kNone, 20}});
  ASSERT_EQ(walk(parked_), (std::vector<int>{20, 30}));
  const uint32_t frame = address(20);

  parkedWord(tr::kSavedNativeStack) = 0;  // running Lisp on its own OS thread
  EXPECT_EQ(newestFrame(parked_), nil());
  EXPECT_EQ(nextFrame(frame, parked_), nil());
  EXPECT_EQ(argCount(frame, parked_), nil());
  parkedWord(tr::kSavedNativeStack) = address(0);

  // A copy of the record is not the registered one; nor are other words.
  alignas(8) static uint32_t copy[tr::kRecordWords];
  std::copy(parkedRaw_, parkedRaw_ + tr::kRecordWords, copy);
  for (lispval notAThread : {lisp::wordOf(copy, lisp::Tag::Other), makeFixnum(5), t(),
                             lisp::pointerWord(address(8), lisp::Tag::Other)}) {
    EXPECT_EQ(newestFrame(notAThread), nil());
    EXPECT_EQ(nextFrame(frame, notAThread), nil());
    EXPECT_EQ(argCount(frame, notAThread), nil());
    const LispCallResult report = exitControl(2, notAThread, frame, nil());
    EXPECT_EQ(report.carry, 1u);
    EXPECT_EQ(report.eax, nil());
    EXPECT_EQ(report.edx, nil());
  }
}

// ---- argument counts ----

struct CountCase {
  const char* what;
  uint32_t countWord;  // the caller's word 16 bytes below its frame pointer; 0xdead: nil
  int callerOfCaller;  // word index, or kNone
  bool expected;
  int32_t count;
};

constexpr uint32_t kNilWord = 0xdead;

TEST_F(DebuggerFrames, ArgumentCountsFromTheCallersWord) {
  constexpr int F = 20, C = 40;
  const CountCase cases[] = {
      {"nil", kNilWord, C + 16, false, 0},
      {"fixnum 0", makeFixnum(0), C + 16, false, 0},
      {"-1 - 3, caller's frame of 2 words", ~3u, C + 2, false, 0},
      {"-1 - 3, caller's frame of 8 words", ~3u, C + 8, true, 3},
      {"-1 - 3, caller without a saved frame pointer", ~3u, kNone, true, 3},
      {"-1 - 0, caller's frame of 1 word", ~0u, C + 1, true, 0},
      {"a count beyond the fixnums", 0x80000000u, kNone, false, 0},
      {"caller's own link pointing down", ~3u, C - 8, false, 0},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::fill(std::begin(stack_), std::end(stack_), nil());
    frame({F, Below::Function, C});
    frame({C, Below::Function, c.callerOfCaller});
    stack(C - 4) = c.countWord == kNilWord ? nil() : c.countWord;
    EXPECT_EQ(argCount(address(F), parked_), c.expected ? makeFixnum(c.count) : nil());
  }
}

TEST_F(DebuggerFrames, ArgumentCountsNeedACallerInsideTheStack) {
  frame({20, Below::Function, kNone});
  EXPECT_EQ(argCount(address(20), parked_), nil()) << "no caller";
  frame({20, Below::Function, kWords + 4});
  EXPECT_EQ(argCount(address(20), parked_), nil()) << "caller above the stack base";
  EXPECT_EQ(argCount(address(kWords + 8), parked_), nil()) << "frame above the stack base";
  EXPECT_EQ(argCount(address(20) + 2, parked_), nil()) << "frame not word-aligned";
}

// ---- the exit trap ----

class ExitTrap : public DebuggerFrames {
 protected:
  static constexpr int F = 20, C = 40;
  void SetUp() override {
    DebuggerFrames::SetUp();
    frame({F, Below::Function, C});
    frame({C, Below::Function, kNone});
    stack(C - 3) = kParkedBefore;
  }
  uint32_t returnAddress() { return stack(F + 1); }
  uint32_t parkedReturn() { return stack(C - 3); }
  // The report as (return-only planted, return-or-throw planted).
  std::pair<lispval, lispval> report() {
    const LispCallResult result = exitControl(2, parked_, address(F), nil());
    EXPECT_EQ(result.carry, 1u);
    EXPECT_EQ(result.ecx, 2u);
    return {result.eax, result.edx};
  }
  lispval control(int32_t action, lispval throwFlag) {
    const LispCallResult result = exitControl(action, parked_, address(F), throwFlag);
    EXPECT_EQ(result.carry, 0u);
    return result.eax;
  }

  static constexpr uint32_t kParkedBefore = 0x1234;
  const uint32_t ownReturn_ = kReturnBase + 4 * F;
  const uint32_t returnOnly_ = addressOf(break_on_exit_return_only);
  const uint32_t orThrow_ = addressOf(break_on_exit_or_throw);
};

TEST_F(ExitTrap, PlantSwitchReportAndRemove) {
  EXPECT_EQ(report(), std::make_pair(nil(), nil()));

  EXPECT_EQ(control(0, nil()), t());
  EXPECT_EQ(returnAddress(), returnOnly_);
  EXPECT_EQ(parkedReturn(), ownReturn_);
  EXPECT_EQ(report(), std::make_pair(t(), nil()));

  // Planting again switches the kind and keeps the first saved address.
  EXPECT_EQ(control(0, t()), t());
  EXPECT_EQ(returnAddress(), orThrow_);
  EXPECT_EQ(parkedReturn(), ownReturn_);
  EXPECT_EQ(report(), std::make_pair(nil(), t()));

  EXPECT_EQ(control(3, nil()), nil()) << "an unknown action";
  EXPECT_EQ(returnAddress(), orThrow_);

  EXPECT_EQ(control(1, nil()), t());
  EXPECT_EQ(returnAddress(), ownReturn_);
  EXPECT_EQ(report(), std::make_pair(nil(), nil()));
  EXPECT_EQ(control(1, nil()), t()) << "nothing planted";
  EXPECT_EQ(returnAddress(), ownReturn_);
}

TEST_F(ExitTrap, TheOldestFrameIsRefused) {
  frame({F, Below::Function, kNone});
  EXPECT_EQ(control(0, nil()), nil());
  EXPECT_EQ(returnAddress(), ownReturn_);
  EXPECT_EQ(parkedReturn(), kParkedBefore);
  EXPECT_EQ(control(1, nil()), nil());
}

TEST_F(ExitTrap, ACallerOutsideTheStackIsRefused) {
  for (int caller : {kWords + 2, F + 2, F - 8}) {
    SCOPED_TRACE(caller);
    frame({F, Below::Function, caller});
    EXPECT_EQ(control(0, nil()), nil());
    EXPECT_EQ(returnAddress(), ownReturn_);
    EXPECT_EQ(parkedReturn(), kParkedBefore);
  }
}

// ---- the running thread ----

class RunningThread : public DebuggerFrames {
 protected:
  // A call of the outer probe whose caller (the harness frame) holds a
  // function and the complemented count 2.
  LispCallResult probe(lispval plantFlag) {
    std::fill(std::begin(frame_probe_seen), std::end(frame_probe_seen), 0u);
    harnessFunction_ = functionObject();
    LispCallSetup setup = setupFor(0, plantFlag, functionObject(), 2);
    setup.target = addressOf(frame_probe_outer);
    setup.esi = functionObject();
    setup.frame[frameIndex(0x4)] = harnessFunction_;
    setup.frame[frameIndex(0x10)] = ~2u;
    return call(setup);
  }
  lispval harnessFunction_ = 0;
};

TEST_F(RunningThread, NewestFrameIsTheCallersCallerAndTheWalkGoesOnToTheHarness) {
  const LispCallResult result = probe(nil());
  EXPECT_EQ(result.eax, makeFixnum(7));
  const uint32_t outer = frame_probe_seen[0], harness = frame_probe_seen[1];
  EXPECT_EQ(frame_probe_seen[2], outer);
  EXPECT_EQ(frame_probe_seen[3], harness);
  // Further up lie native frames: whatever the walk finds there lies above.
  EXPECT_TRUE(frame_probe_seen[4] == nil() || frame_probe_seen[4] > harness);
  EXPECT_EQ(frame_probe_seen[5], makeFixnum(2)) << "the count the harness frame recorded";
}

TEST_F(RunningThread, ATrapPlantedOnTheCallersFrameRunsWhenItReturns) {
  global(kExitBreakpointSymbol) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  const LispCallResult result = probe(t());
  EXPECT_EQ(frame_probe_seen[6], t());
  EXPECT_EQ(result.eax, makeFixnum(7)) << "the value comes through the trap";
  EXPECT_EQ(result.carry, 0u);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(52));
  EXPECT_NE(result.frame[frameIndex(0xc)], 0u) << "the parked return address";
}

}  // namespace
