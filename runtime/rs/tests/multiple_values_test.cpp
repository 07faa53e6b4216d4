// Multiple values through their entry slots: the open form a routine
// returns (eax, edx, ecx, carry and the thread's head vector), the closed
// vectors it makes, and when it allocates. Calls with more arguments than
// the harness stacks go through the test catcher's wide outgoing area.

#include "runtime/rs/multiple_values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/gc/tests/gc_call_probe.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/collection_probes.h"
#include "runtime/rs/tests/hostile_hook.h"
#include "runtime/rs/tests/values_heap.h"

extern "C" void list_length_entry();

namespace calling_protocol_test {
namespace {

using testing_support::walkedFrame;

constexpr int32_t kValues = 0x9f;
constexpr int32_t kValuesList = 0xf3;
constexpr int32_t kAppendValues = 0x21b;
constexpr int32_t kCloseValues = 0x21f;
constexpr int32_t kMvList = 0x223;
constexpr int32_t kMvCall = 0x227;
constexpr int32_t kNewOther = 0x263;
constexpr int32_t kQcons = 0x2b;
constexpr int32_t kLengthSymbol = -0x171;
constexpr uint32_t kWrongArgumentCount = 55;

class MultipleValues : public ValuesHeap {
 protected:
  void SetUp() override {
    ValuesHeap::SetUp();
    global(kLengthSymbol) = symbol(objects_->makeFunction(addressOf(list_length_entry)));
  }
};

TEST_F(MultipleValues, UpToTwoValuesAllocateNothing) {
  const lispval before = newValuesVector(20);
  head() = before;
  for (uint32_t n = 0; n <= 2; ++n) {
    SCOPED_TRACE(n);
    const uint32_t free = next();
    const LispCallResult result = call(setupFor(kValues, makeFixnum(1), makeFixnum(2), n));
    EXPECT_EQ(result.ecx, n);
    EXPECT_EQ(result.carry, n == 1 ? 0u : 1u);
    EXPECT_EQ(result.eax, makeFixnum(1));
    EXPECT_EQ(result.edx, makeFixnum(2));
    EXPECT_EQ(next(), free);
    EXPECT_EQ(head(), before);
  }
}

TEST_F(MultipleValues, ValuesReplaceAHeadTooSmallForThemAndReuseOneThatFits) {
  const struct {
    int count;
    uint32_t headElements;
    bool replaced;
    uint32_t newElements;
  } cases[] = {
      {20, 20, true, 21}, {21, 20, true, 22}, {19, 20, false, 0}, {3, 0, true, 20}, {45, 30, true, 46},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const lispval before = c.headElements ? newValuesVector(c.headElements) : nil();
    head() = before;
    const uint32_t free = next();
    const std::vector<lispval> items = fixnums(1, c.count);
    const LispCallResult result = wideCall(kValues, items);
    EXPECT_EQ(result.carry, 1u);
    ASSERT_EQ(result.ecx, static_cast<uint32_t>(c.count));
    EXPECT_EQ(openValues(result), items);
    if (c.replaced) {
      EXPECT_NE(head(), before);
      EXPECT_EQ(elementCount(head()), c.newElements);
    } else {
      EXPECT_EQ(head(), before);
      EXPECT_EQ(next(), free);
    }
  }
}

TEST_F(MultipleValues, CloseValuesTakesTheHeadOffTheListOrMakesAVector) {
  // An empty list: a new vector of 21 elements, the list stays empty.
  LispCallResult closed = call(openForm(kCloseValues, {}));
  EXPECT_EQ(closed.carry, 0u);
  EXPECT_EQ(elementCount(closed.eax), mv::kPackingVectorElements);
  EXPECT_EQ(element(closed.eax, 0), makeFixnum(0));
  EXPECT_EQ(head(), nil());

  // A list of two vectors: the head comes off, its link becomes the head.
  const lispval second = newValuesVector(20);
  const LispCallSetup setup = openForm(kCloseValues, fixnums(1, 5));
  const lispval first = head();
  element(first, 1) = second;
  closed = call(setup);
  EXPECT_EQ(closed.eax, first);
  EXPECT_EQ(head(), second);
  EXPECT_EQ(closedValues(closed.eax), fixnums(1, 5));

  // One value: element 2 is left alone.
  head() = nil();
  closed = call(openForm(kCloseValues, {makeFixnum(9)}));
  EXPECT_EQ(closedValues(closed.eax), std::vector<lispval>{makeFixnum(9)});
  EXPECT_EQ(element(closed.eax, 2), nil());
}

TEST_F(MultipleValues, AppendValuesExtendsInPlaceOrCopiesInOrder) {
  // 19 values in 21 elements, 3 more: a copy of 3 + 19 + 20 elements.
  const lispval small = closedVector(21, fixnums(1, 19));
  LispCallSetup setup = openForm(kAppendValues, fixnums(20, 3));
  setup.frame[frameIndex(0x18)] = small;
  LispCallResult result = call(setup);
  EXPECT_EQ(result.carry, 0u);
  EXPECT_NE(result.eax, small);
  EXPECT_EQ(elementCount(result.eax), 42u);
  EXPECT_EQ(closedValues(result.eax), fixnums(1, 22));

  // Room enough: V itself.
  const lispval roomy = closedVector(30, fixnums(1, 4));
  setup = openForm(kAppendValues, fixnums(5, 4));
  setup.frame[frameIndex(0x18)] = roomy;
  result = call(setup);
  EXPECT_EQ(result.eax, roomy);
  EXPECT_EQ(closedValues(roomy), fixnums(1, 8));

  // No values: V unchanged.
  setup = openForm(kAppendValues, {});
  setup.frame[frameIndex(0x18)] = roomy;
  EXPECT_EQ(call(setup).eax, roomy);
  EXPECT_EQ(closedValues(roomy), fixnums(1, 8));
}

TEST_F(MultipleValues, AppendingOneValueToAFullVectorWritesNothingPastIt) {
  // m = 3 values in m + 2 = 5 elements, then a guard word.
  constexpr uint32_t kGuard = 0x5a5a5a58;
  auto* words = static_cast<uint32_t*>(objects_->allocate(4 * 8));
  words[0] = lisp::headerWord(lisp::type_code::ValuesVector) | (5u << 8);
  for (int i = 1; i <= 5; ++i) words[i] = nil();
  words[6] = kGuard;
  const lispval vector = lisp::wordOf(words, lisp::Tag::Other);
  ASSERT_EQ(elementCount(vector), 5u);
  element(vector, 0) = makeFixnum(3);
  for (uint32_t k = 1; k <= 3; ++k) element(vector, k) = makeFixnum(static_cast<int32_t>(k));
  LispCallSetup setup = openForm(kAppendValues, {makeFixnum(4)});
  setup.edx = makeFixnum(99);  // whatever edx holds with one value
  setup.frame[frameIndex(0x18)] = vector;
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, vector);
  EXPECT_EQ(closedValues(vector), fixnums(1, 4));
  EXPECT_EQ(words[6], kGuard);
}

TEST_F(MultipleValues, MvCallSpreadsTheVectorAndPutsItBackAtTheHead) {
  for (int count : {0, 1, 2, 5, 40}) {
    SCOPED_TRACE(count);
    testing_support::resetRecorder(makeFixnum(7));
    const lispval older = newValuesVector(20);
    head() = older;
    const lispval vector = closedVector(static_cast<uint32_t>(count + 1), fixnums(1, count));
    const LispCallResult result = call(setupFor(kMvCall, recorderFunction_, vector, 2));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& callee = lisp_recorder_log.calls[0];
    ASSERT_EQ(callee.ecx, static_cast<uint32_t>(count));
    std::vector<lispval> arguments;
    for (int i = 0; i < count; ++i)
      arguments.push_back(i == 0 ? callee.eax : i == 1 ? callee.edx : callee.stack[i]);
    EXPECT_EQ(arguments, fixnums(1, count));
    EXPECT_EQ(callee.esi, recorderFunction_);
    EXPECT_EQ(head(), vector);
    EXPECT_EQ(element(vector, 1), older);
    EXPECT_EQ(result.eax, makeFixnum(7));
    EXPECT_EQ(result.carry, 0u);
  }
}

TEST_F(MultipleValues, MvListListsTheValuesInOrder) {
  for (int count : {0, 1, 2, 3, 25}) {
    SCOPED_TRACE(count);
    head() = nil();
    const LispCallSetup setup = openForm(kMvList, fixnums(1, count));
    const lispval before = head();
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    std::vector<lispval> items;
    for (lispval l = result.eax; l != nil(); l = lisp::cdr(l)) items.push_back(lisp::car(l));
    EXPECT_EQ(items, fixnums(1, count));
    EXPECT_EQ(head(), before);
  }
}

TEST_F(MultipleValues, ValuesListGivesTheListsElements) {
  for (int count : {0, 1, 2, 3, 25}) {
    SCOPED_TRACE(count);
    head() = nil();
    const std::vector<lispval> items = fixnums(1, count);
    const LispCallResult result = call(setupFor(kValuesList, list(items), 0, 1));
    EXPECT_EQ(lisp_recorder_log.count, 0u);
    ASSERT_EQ(result.ecx, static_cast<uint32_t>(count));
    EXPECT_EQ(result.carry, count == 1 ? 0u : 1u);
    if (count == 0) {
      EXPECT_EQ(result.eax, nil());
    }
    EXPECT_EQ(openValues(result), items);
    if (count > 2) {
      EXPECT_EQ(elementCount(head()), std::max<uint32_t>(count, 20) + 1);
    }
  }
}

TEST_F(MultipleValues, ValuesListWithTwoArgumentsIsError55AndGoesOn) {
  testing_support::resetRecorder(kErrorValue);
  const LispCallResult result =
      call(setupFor(kValuesList, list(fixnums(1, 2)), makeFixnum(8), 2));
  EXPECT_EQ(recorded(), std::vector<Signalled>{error(kWrongArgumentCount, makeFixnum(1))});
  EXPECT_EQ(result.ecx, 2u);
  EXPECT_EQ(openValues(result), fixnums(1, 2));
}

TEST_F(MultipleValues, StoresIntoAnOldVectorPassTheWriteBarrier) {
  // A head vector promoted to old space, then values 3.. that live in new space.
  constexpr uint32_t kElements = 24;
  const uint32_t object = other_from_old_xsmp(4 * (kElements + 1));
  gc_test::at(object) = lisp::headerWord(lisp::type_code::ValuesVector) | (kElements << 8);
  const lispval old = lisp::pointerWord(object, lisp::Tag::Other);
  for (uint32_t k = 0; k < kElements; ++k) element(old, k) = nil();
  head() = old;
  const lispval young = newValuesVector(1);
  std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
  const LispCallResult result =
      wideCall(kValues, {makeFixnum(1), makeFixnum(2), makeFixnum(3), young});
  EXPECT_EQ(head(), old);
  EXPECT_EQ(result.ecx, 4u);
  EXPECT_TRUE(gc::rootBitSet(old + mv::elementOffset(4)));

  // Closing it and linking it back (m_v_call) mark as well.
  std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
  const LispCallSetup setup = openForm(kCloseValues, {young, makeFixnum(2), makeFixnum(3)});
  EXPECT_EQ(call(setup).eax, old);
  EXPECT_TRUE(gc::rootBitSet(old + mv::elementOffset(1)));
  std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
  head() = young;
  call(setupFor(kMvCall, recorderFunction_, old, 2));
  EXPECT_EQ(element(old, 1), young);
  EXPECT_TRUE(gc::rootBitSet(old + mv::elementOffset(1)));
}

// ---- on a registered thread, with new space nearly full ----

// The calling thread registered as the heap-owning record 0, which the
// collector's per-thread set-up and walk see; the harness frame is the
// bottom of that walk.
class ValuesOnARegisteredThread : public MultipleValues {
 protected:
  void SetUp() override {
    MultipleValues::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    thread_ = lisp::registry::tagged(vxm_thread_control.registryTable[0]);
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    threadWord(tr::kAnnotatingConsing) = nil();
    head() = nil();
  }
  void TearDown() override {
    MultipleValues::TearDown();
    lisp::registry::forgetRegistry();
  }

  // New-space conses whose cars are the fixnums from..from+count-1.
  std::vector<lispval> conses(int from, int count) {
    std::vector<lispval> items;
    for (const lispval car : fixnums(from, count))
      items.push_back(call(setupFor(kQcons, car, nil(), 2)).eax);
    return items;
  }
  static std::vector<lispval> carsOf(const std::vector<lispval>& items) {
    std::vector<lispval> cars;
    for (const lispval item : items) cars.push_back(lisp::isCons(item) ? lisp::car(item) : 0);
    return cars;
  }

  // Fills new space with a byte vector up to `end` (raw), or up to the
  // next page's same place when too little room is left before it.
  void fillTo(uint32_t end) {
    constexpr uint32_t kPageBytes = 0x2000;
    if (end < next() + 24) end += kPageBytes;
    const uint32_t bytes = end - next() - 8;
    const LispCallResult result = call(setupFor(kNewOther, bytes));
    gc_test::at(result.eax - 0x12) = lisp::headerWithLength(lisp::type_code::ByteVector, bytes - 4);
    ASSERT_EQ(next(), end);
  }
};

// 19 values in 21 elements and 3 more: the 42-element copy is made where
// it crosses an 8 KB page, and where it needs a scavenge first. The values
// are new-space conses, which the scavenge moves: V in the caller's frame
// (walked, as the harness frame is the walk's base), its values and the
// value in flight in the head vector all follow their copies.
TEST_F(ValuesOnARegisteredThread, AppendValuesCopiesAcrossAPageAndAcrossAScavenge) {
  for (const bool scavenge : {false, true}) {
    SCOPED_TRACE(scavenge ? "scavenge" : "page crossing");
    const lispval small = closedVector(21, conses(1, 19));
    LispCallSetup setup = openForm(kAppendValues, conses(20, 3));
    setup.frame[frameIndex(0x18)] = small;
    const uint32_t copyBytes = 8 + 4 * 44;  // prefix, header and 42 elements, 8-aligned
    if (scavenge)
      fillTo(next() + static_cast<uint32_t>(newFree()) - copyBytes + 8);
    else
      fillTo((next() | 0x1fff) + 1 - 96);  // the copy ends 88 bytes into the next page
    const uint32_t scavenges = ScavengeCt;
    const LispCallResult result = testing_support::callAsWalkBase(walkedFrame(setup), thread_);
    EXPECT_EQ(ScavengeCt, scavenges + (scavenge ? 1 : 0));
    EXPECT_EQ(result.carry, 0u);
    ASSERT_EQ(elementCount(result.eax), 42u);
    EXPECT_EQ(carsOf(closedValues(result.eax)), fixnums(1, 22));
    const lispval v = result.frame[frameIndex(0x18)];
    EXPECT_EQ(v != small, scavenge) << "V moved with the scavenge";
    EXPECT_EQ(carsOf(closedValues(v)), fixnums(1, 19));
    EXPECT_EQ(carsOf({element(head(), 3)}), fixnums(22, 1));
  }
}

// The scavenge that makes the copy runs the after-collection function,
// whose (values 101 ... 105) fills a head vector of its own: the values in
// flight (3 .. n, in the head vector) are out of its reach meanwhile.
TEST_F(ValuesOnARegisteredThread, AppendValuesKeepsTheValuesInFlightWhenTheHookReturnsFive) {
  HostileCall five{
      .target = global(kValues), .eax = makeFixnum(101), .edx = makeFixnum(102), .ecx = 5};
  for (uint32_t k = 0; k < 3; ++k) five.stacked[k] = makeFixnum(103 + static_cast<int32_t>(k));
  const testing_support::HostileAfterHook hook({five});
  for (const int n : {3, 5}) {
    SCOPED_TRACE(n);
    const lispval small = closedVector(21, fixnums(1, 19));
    LispCallSetup setup = openForm(kAppendValues, fixnums(20, n));
    setup.frame[frameIndex(0x18)] = small;
    fillTo(next() + static_cast<uint32_t>(newFree()) - 8);
    const uint32_t scavenges = ScavengeCt;
    const LispCallResult result = testing_support::callAsWalkBase(walkedFrame(setup), thread_);
    ASSERT_EQ(ScavengeCt, scavenges + 1);
    EXPECT_EQ(closedValues(result.eax), fixnums(1, 19 + n));
    EXPECT_EQ(element(head(), 3), makeFixnum(22)) << "the head vector is the caller's again";
  }
}

// The harness's foreign-call record, on the stack above its frame, is the
// last record of the chain the collector reads during a collection inside
// the call, and names the harness frame (a runtime frame of the thread).
std::vector<uint32_t> g_chainSeen;
void noteChain() {
  g_chainSeen = gc::currentForeignCallRecords(0);
}

TEST_F(ValuesOnARegisteredThread, TheCollectorsChainEndsAtTheHarnessBaseRecord) {
  global(gc_test::kGcAfterHooksWord) =
      gc_test::hookListAt(other_from_old_xsmp(16), cons_from_old(), noteChain);
  g_chainSeen.clear();
  fillTo(next() + static_cast<uint32_t>(newFree()) - 8);
  const uint32_t scavenges = ScavengeCt;
  testing_support::callAsWalkBase(
      walkedFrame(setupForRoutine(new_mv_vector, makeFixnum(20), 0, 1)), thread_);
  global(gc_test::kGcAfterHooksWord) = nil();
  ASSERT_EQ(ScavengeCt, scavenges + 1);
  ASSERT_GE(g_chainSeen.size(), 2u) << "the allocation's own record, then the base";
  const uint32_t base = g_chainSeen.back();
  EXPECT_EQ(base, addressOf(lisp_walk_base_record));
  const uint32_t frame = gc_test::at(base + 4);
  EXPECT_EQ(gc_test::at(frame - 4), lisp::nil_block::marker::kRuntimeRoutine);
  EXPECT_EQ(gc_test::at(frame - 0x1c), thread_);
}

}  // namespace
}  // namespace calling_protocol_test
