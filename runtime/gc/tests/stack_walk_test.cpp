// Stack segments built word by word; the expected slots and return
// addresses are worked out by hand from the frame rules in stack_walk.h.

#include "runtime/gc/stack_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/collector_errors.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/catch_frames.h"
#include "runtime/rs/clink_layout.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;

std::vector<uint32_t> g_slots, g_returns;
void recordSlot(uint32_t slot) {
  g_slots.push_back(slot);
}
void recordReturn(uint32_t slot) {
  g_returns.push_back(slot);
}

constexpr uint32_t kEnd = 0xffffffff;
constexpr int kWords = 240;

// Frame pointers (word indexes) of the segment, newest first.
constexpr int F0 = 30, F1 = 60, F2 = 100, F3 = 130, F4 = 170, F5 = 200;
// Foreign-call records: R0 the newest; R1 names F3 as its native entry; R2,
// the chain's last, names F5.
constexpr int R0 = 10, R1 = 150, R2 = 220;
constexpr int kCatch0 = 44, kCatch1 = 70;  // in raw or unvisited words
constexpr int kRecordWords = lisp::thread_record::kClinkRecordWords;

class StackWalk : public LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    g_slots.clear();
    g_returns.clear();
  }

  // A function object in old space with frame information, and a stack
  // argument map when `map` is not negative.
  lispval function(int32_t frameInfo, int32_t map = -1) {
    const uint32_t object = other_from_old_xsmp(lisp::functionObjectBytes(0));
    at(object) = lisp::headerWord(lisp::type_code::Function, map >= 0 ? 0x80 : 0);
    for (uint32_t word = 1; word < 9; ++word) at(object + 4 * word) = nil();
    at(object + 24) = lisp::makeFixnum(frameInfo);
    if (map >= 0) at(object + 32) = lisp::makeFixnum(map);
    return lisp::pointerWord(object, lisp::Tag::Other);
  }

  uint32_t address(int index) const { return addressOf(&stack_[index]); }
  void record(int at, int previous, int nativeFrame, int savedFrame) {
    stack_[at] = previous < 0 ? kEnd : address(previous);
    stack_[at + 1] = nativeFrame ? address(nativeFrame) : 0;
    stack_[at + 2] = address(savedFrame);
    stack_[at + 3] = nil();
    stack_[at + 4] = 0;
    stack_[at + 5] = 0;
  }
  void frame(int fp, uint32_t functionWord, int caller) {
    stack_[fp] = caller ? address(caller) : 0;
    stack_[fp + 1] = 0x7000 + fp;  // the return address
    stack_[fp - 1] = functionWord;
  }

  void build() {
    std::fill(stack_, stack_ + kWords, 0x5a5a5a50u);
    record(R0, R1, 0, F0);
    record(R1, R2, F3, F4);
    record(R2, -1, F5, F5);
    frame(F0, (64u << 5) | 6, F1);  // marker: 64 bytes
    // 4 stack-argument words: a value, skip one, skip two, skip one.
    frame(F1, function(48, 4 | (0 << 5) | (1 << 7) | (2 << 9) | (3 << 11)), F2);
    frame(F2, function(-0x40), F3);  // a slot table 64 bytes below
    const int table = F2 - 16;
    stack_[table] = 3;
    stack_[table + 1] = 80;
    for (int i = 0; i < 3; ++i)
      stack_[table + 2 + i] = static_cast<uint32_t>(std::array{-0x24, -0x30, -0x38}[i]);
    frame(F3, lisp::nil_block::marker::kNativeEntry, 140);  // native code above it
    frame(F4, static_cast<uint32_t>(-96) | 6, F5);          // negative marker: 48 bytes
    frame(F5, lisp::nil_block::marker::kNativeEntry, 0);
    stack_[kCatch0] = address(kCatch1);
    stack_[kCatch1] = 0;
    // R1 holds a throw over the native code above F3: its tag and values.
    stack_[R1 + CLINK_CONTINUATION / 4] = addressOf(reinterpret_cast<void*>(rethrow_after_cret));
  }

  static std::vector<int> range(int from, int to) {
    std::vector<int> words;
    for (int i = from; i < to; ++i) words.push_back(i);
    return words;
  }
  std::vector<int> expectedSlots() const {
    std::vector<int> slots;
    auto add = [&](std::vector<int> words) {
      slots.insert(slots.end(), words.begin(), words.end());
    };
    auto fixed = [&](int fp) { add({fp - 1, fp - 5, fp - 6, fp - 7}); };
    // Each frame: the words from its scan position up to fp-32 less its raw
    // bytes (the marker's or the frame information's size).
    fixed(F0);  // above R0 and its native arguments lies only F0's 64 raw bytes
    add(range(F0 + 2, F1 - 8 - 12));
    fixed(F1);
    add({F1 + 2});  // map code 0
    add({F2 - 9, F2 - 12, F2 - 14});
    fixed(F2);
    add(range(F2 + 2, F3 - 8 - 10));  // a native entry's 40 raw bytes
    fixed(F3);
    fixed(F4);  // above R1 lies only F4's 48 raw bytes
    add(range(F4 + 2, F5 - 8 - 10));
    fixed(F5);
    for (int frame : {kCatch0, kCatch1}) add({frame + CATCH_TAG / 4, frame + CATCH_VALUE / 4});
    add({R1 + CLINK_CALLEE / 4, R1 + CLINK_THROW_VALUES / 4});
    std::sort(slots.begin(), slots.end());
    return slots;
  }
  std::vector<int> expectedReturns() const {
    std::vector<int> returns;
    for (int fp : {F0, F1, F2, F3, F4, F5}) returns.push_back(fp + 1);
    for (int caller : {F1, F2, F3, 140, F5}) returns.push_back(caller - 3);
    for (int frame : {kCatch0, kCatch1}) returns.push_back(frame + CATCH_CONTINUATION / 4);
    std::sort(returns.begin(), returns.end());
    return returns;
  }
  std::vector<int> indexes(const std::vector<uint32_t>& slots, const uint32_t* base) const {
    std::vector<int> result;
    for (uint32_t slot : slots) result.push_back(static_cast<int>((slot - addressOf(base)) / 4));
    std::sort(result.begin(), result.end());
    return result;
  }

  // The segment's words; a test that walks the running thread puts them on
  // its own stack, above the walk's starting point.
  alignas(8) uint32_t ownWords_[kWords] = {};
  uint32_t* stack_ = ownWords_;
};

TEST_F(StackWalk, FramesMarkersTablesMapsAndRecordGaps) {
  build();
  scan_stackspace(address(R0), address(kCatch0), address(0), recordSlot, recordReturn, 0);
  EXPECT_EQ(indexes(g_slots, stack_), expectedSlots());
  EXPECT_EQ(indexes(g_returns, stack_), expectedReturns());
  EXPECT_EQ(prelink_savedstack(address(R0), address(0), 0), 0u);
}

TEST_F(StackWalk, ACopiedStackIsReadAndReportedAtItsCopy) {
  build();
  alignas(8) static uint32_t copy[kWords];
  std::memcpy(copy, stack_, kWords * 4);
  std::fill(stack_, stack_ + kWords, 0u);  // only the copy holds the frames
  const int32_t offset = static_cast<int32_t>(addressOf(copy) - address(0));
  scan_stackspace(address(R0), address(kCatch0), address(0), recordSlot, recordReturn, offset);
  EXPECT_EQ(indexes(g_slots, copy), expectedSlots());
  EXPECT_EQ(indexes(g_returns, copy), expectedReturns());
}

TEST_F(StackWalk, AForeignFrameEndsTheWalkAndIsBadWhileRecordsRemain) {
  build();
  stack_[F2 - 1] = lisp::makeFixnum(1);  // neither marker nor function
  EXPECT_EQ(prelink_savedstack(address(R0), address(0), 0), address(F2));
  scan_stackspace(address(R0), 0, address(0), recordSlot, recordReturn, 0);
  EXPECT_EQ(indexes(g_returns, stack_), (std::vector<int>{F0 + 1, F1 - 3, F1 + 1, F2 - 3}));

  // Past the last record's native entry nothing is expected.
  stack_[F2 - 1] = function(0);
  stack_[F5] = address(F5 + 10);
  stack_[F5 + 9] = lisp::makeFixnum(1);
  EXPECT_EQ(prelink_savedstack(address(R0), address(0), 0), 0u);
}

TEST_F(StackWalk, AnEmptyChainHasNoLispFrames) {
  build();
  scan_stackspace(kEnd, 0, address(0), recordSlot, recordReturn, 0);
  scan_stackspace(0, 0, address(0), recordSlot, recordReturn, 0);
  EXPECT_TRUE(g_slots.empty());
  EXPECT_TRUE(g_returns.empty());
}

TEST_F(StackWalk, TheRunningThreadIsWalkedFromItsRecord) {
  alignas(8) uint32_t onStack[kWords];
  stack_ = onStack;
  build();
  namespace tr = lisp::thread_record;
  const lispval thread = lisp::dummyThreadWord();
  lisp::wordAt(thread, tr::kClinkHead) = address(R0);
  lisp::wordAt(thread, tr::kCatchChain) = address(kCatch0);
  scan_activestack(recordSlot, recordReturn);
  EXPECT_EQ(prelink_activestack(), 0u);
  lisp::wordAt(thread, tr::kClinkHead) = tr::kEmptyClinkChain;
  lisp::wordAt(thread, tr::kCatchChain) = 0;
  EXPECT_EQ(indexes(g_slots, stack_), expectedSlots());
  EXPECT_EQ(indexes(g_returns, stack_), expectedReturns());
}

TEST_F(StackWalk, TheRunningThreadsBadFrameIsFatal) {
  alignas(8) uint32_t onStack[kWords];
  stack_ = onStack;
  build();
  stack_[F2 - 1] = lisp::makeFixnum(1);
  stack_[F2 - 2] = lisp::makeFixnum(77);
  const lispval thread = lisp::dummyThreadWord();
  lisp::wordAt(thread, lisp::thread_record::kClinkHead) = address(R0);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "^Vexmora CL: System Error: Bad stack frame on stack, addr = 0x%x\n$", address(F2));
  EXPECT_EXIT(prelink_stacks(), testing::ExitedWithCode(1), expected);
  testing::internal::CaptureStdout();
  const BadFrameReport report = badFrameReport(address(F2));
  EXPECT_EQ(report.function, lisp::makeFixnum(1));
  EXPECT_EQ(report.location, 77);
  testing::internal::GetCapturedStdout();
  lisp::wordAt(thread, lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
}

}  // namespace
