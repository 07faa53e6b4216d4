// Objects with a header word and boxed integers, made through their entry
// slots on a real heap: sizes against the collector's own extent table, the
// page map and page hook at page boundaries, exhaustion, and the sizes that
// must not wrap.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_routine_heap.h"
#include "testing/temp_working_directory.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace nbg = lisp::nil_block::global;
namespace tc = lisp::type_code;

constexpr int32_t kFixnumOrBignum = 0x87;
constexpr int32_t kBoxToNewBignum = 0x4b;
constexpr int32_t kUnsignedFixnumOrBignum = 0x83;
constexpr int32_t kNewSimpleString = 0x137;
constexpr int32_t kMiInNewBignum = 0x147;
constexpr int32_t kNewSimpleVector = 0x17f;
constexpr int32_t kVector = 0x203;
constexpr int32_t kNewSingleFloat = 0x20f;
constexpr int32_t kNewDoubleFloat = 0x213;
constexpr int32_t kNewStruct = 0x233;
constexpr int32_t kNewOther = 0x263;

// Globals new_struct reads: when the first is not nil, the type's property
// under the indicator in the second may name the structure's word 0.
constexpr int32_t kStructTypeLookup = -0x105;
constexpr int32_t kStructTypeIndicator = -0x35d;

struct HookCall {
  int kind;
  uint32_t bytes;
};
std::vector<HookCall> g_hookCalls;
// Called from runtime code, which keeps only 4-byte stack alignment.
__attribute__((force_align_arg_pointer)) void recordHook(int kind, uint32_t bytes) {
  g_hookCalls.push_back({kind, bytes});
}

class Objects : public LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    g_hookCalls.clear();
  }
  uint32_t next() { return global(kNewOtherTop()); }
  static constexpr int32_t kNewOtherTop() { return gc::global::kNewOtherTop; }

  // Calls a constructor; checks the common contract and that the object
  // starts where new space was free and takes exactly its extent.
  LispCallResult make(const LispCallSetup& setup) {
    const uint32_t before = next();
    const int32_t leftBefore = newFree();
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(result.eax, before + 0x1a);
    const ObjectExtent extent = extentOf(header(result.eax), at(result.eax - 0xe));
    EXPECT_NE(extent.row, nullptr);
    EXPECT_EQ(next(), before + 8 + extent.bytes);
    EXPECT_EQ(newFree(), leftBefore - static_cast<int32_t>(8 + extent.bytes));
    EXPECT_EQ(at(before), 0u);                                          // chain link
    EXPECT_EQ(at(before + 4) & 0xffff, global(nbg::kAllocationStamp));  // stamp
    return result;
  }
  static uint32_t header(lispval object) { return at(object - 0x12); }
  static uint16_t kindOf(lispval object) { return at<uint16_t>(object - 0x14); }

  // new_other storage made into a byte vector (type 98) of the same size, so
  // that the heap walks.
  uint32_t newOther(uint32_t bytes) {
    const LispCallResult result = call(setupFor(kNewOther, bytes));
    EXPECT_EQ(result.eax & 7, 2u);
    at(result.eax - 0x12) = lisp::headerWithLength(tc::ByteVector, bytes - 4);
    return result.eax - 0x1a;
  }
  // Bytes of new_other storage that make the next object end at `end`.
  uint32_t bytesToEndAt(uint32_t end) { return end - next() - 8; }
};

// ---- sizes and contents ----

TEST_F(Objects, SimpleStringsHoldTheirLengthAndAZeroUnit) {
  const LispCallResult empty = make(setupFor(kNewSimpleString, makeFixnum(0), 0, 1));
  EXPECT_EQ(header(empty.eax), tc::SimpleString);
  EXPECT_EQ(at(empty.eax - 0xe), makeFixnum(0));
  EXPECT_EQ(at<uint16_t>(empty.eax - 0xa), 0u);
  EXPECT_EQ(next() - (empty.eax - 0x1a), 24u);

  const LispCallResult filled =
      make(setupFor(kNewSimpleString, makeFixnum(5), lisp::makeCharacter(0x263a), 2));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(at<uint16_t>(filled.eax - 0xa + 2 * i), 0x263au) << i;
  EXPECT_EQ(at<uint16_t>(filled.eax - 0xa + 10), 0u);
}

TEST_F(Objects, SimpleVectorsAreFilledWithTheThirdArgumentOrNil) {
  const LispCallResult two = make(setupFor(kNewSimpleVector, makeFixnum(3), makeFixnum(0), 2));
  EXPECT_EQ(header(two.eax), tc::SimpleVector);
  EXPECT_EQ(at(two.eax - 0xe), makeFixnum(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(at(two.eax - 0xa + 4 * i), nil());
  EXPECT_EQ(kindOf(two.eax), 0u);

  LispCallSetup setup = setupFor(kNewSimpleVector, makeFixnum(4), makeFixnum(6), 3);
  setup.stack[2] = makeFixnum(-7);
  const LispCallResult three = make(setup);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(at(three.eax - 0xa + 4 * i), makeFixnum(-7));
  EXPECT_EQ(kindOf(three.eax), 6u);  // a weak vector's kind number
  EXPECT_EQ(at(three.eax - 0x14 - 2) & 0xffff, global(nbg::kAllocationStamp));
}

TEST_F(Objects, VectorCopiesItsArgumentsInOrder) {
  for (uint32_t count : {0u, 1u, 9u}) {
    SCOPED_TRACE(count);
    LispCallSetup setup = setupFor(kVector, makeFixnum(10), makeFixnum(11), count);
    for (uint32_t i = 2; i < count; ++i) setup.stack[i] = makeFixnum(10 + i);
    const LispCallResult result = make(setup);
    EXPECT_EQ(header(result.eax), tc::SimpleVector);
    EXPECT_EQ(at(result.eax - 0xe), makeFixnum(count));
    for (uint32_t i = 0; i < count; ++i)
      EXPECT_EQ(at(result.eax - 0xa + 4 * i), makeFixnum(10 + i));
  }
}

TEST_F(Objects, NewOtherTakesTheSizeBroughtUpToEightPlusThePrefix) {
  for (uint32_t bytes : {4u, 13u, 16u}) {
    const uint32_t before = next();
    const uint32_t prefix = newOther(bytes);
    EXPECT_EQ(prefix, before);
    EXPECT_EQ(next(), before + 8 + roundUp(bytes, 8)) << bytes;
  }
}

TEST_F(Objects, FloatsAreBoxedFromTheX87StackOnlyWithCountZero) {
  LispCallSetup setup = setupFor(kNewDoubleFloat, 0, 0, 0);
  setup.x87Count = 1;
  setup.x87Values[0] = -2.75;
  const LispCallResult popped = make(setup);
  EXPECT_EQ(header(popped.eax), tc::DoubleFloat);
  EXPECT_EQ(at<double>(popped.eax - 0xa), -2.75);
  EXPECT_EQ((popped.eax - 0xa) % 8, 0u);
  EXPECT_EQ(popped.x87Depth, 0u);

  setup.ecx = 1;
  const LispCallResult zero = make(setup);
  EXPECT_EQ(at<double>(zero.eax - 0xa), 0.0);
  EXPECT_EQ(zero.x87Depth, 1u);
  EXPECT_EQ(zero.x87Top, -2.75);

  setup = setupFor(kNewSingleFloat, 0, 0, 0);
  setup.x87Count = 1;
  setup.x87Values[0] = 1.25;
  const LispCallResult single = make(setup);
  EXPECT_EQ(header(single.eax), tc::SingleFloat);
  EXPECT_EQ(at<float>(single.eax - 0xe), 1.25f);
  EXPECT_EQ(single.x87Depth, 0u);
  setup.ecx = 2;
  const LispCallResult singleZero = make(setup);
  EXPECT_EQ(at<float>(singleZero.eax - 0xe), 0.0f);
  EXPECT_EQ(singleZero.x87Depth, 1u);
}

TEST_F(Objects, NewbignumMakesTheCountOfDigitsWithSignZero) {
  for (uint32_t digits : {0u, 1u, 2u, 3u, 7u, 65535u}) {
    LispCallSetup setup = setupFor(0, digits);
    setup.target = routineAddress(newbignum);
    const LispCallResult result = make(setup);
    EXPECT_EQ(header(result.eax), lisp::bignumHeader(digits)) << digits;
  }
}

// ---- structures ----

class Structures : public Objects {
 protected:
  void SetUp() override {
    Objects::SetUp();
    type_ = objects_->makeSymbol(nil());
    indicator_ = objects_->makeSymbol(nil());
    auto* description = static_cast<uint32_t*>(objects_->allocate(64));
    description[0] = lisp::headerWithLength(tc::Structure, 13);
    description_ = lisp::wordOf(description, lisp::Tag::Other);
    lisp::wordAt(description_, 0x22) = kFromDescription;
    global(kStructTypeIndicator) = indicator_;
    global(kStructTypeLookup) = nil();
  }
  // A list cell in the test arena.
  lispval cons(lispval car, lispval cdr) {
    auto* cell = static_cast<lisp::ConsCell*>(objects_->allocate(8));
    cell->car = car;
    cell->cdr = cdr;
    return lisp::wordOf(cell, lisp::Tag::Cons);
  }
  lispval makeStruct(lispval type, uint32_t count) {
    LispCallSetup setup = setupFor(kNewStruct, type, makeFixnum(2), count);
    for (uint32_t i = 2; i < count; ++i) setup.stack[i] = makeFixnum(i + 1);
    const lispval result = make(setup).eax;
    EXPECT_EQ(header(result), (count << 8) | tc::Structure);
    for (uint32_t i = 1; i < count; ++i) EXPECT_EQ(at(result - 0xe + 4 * i), makeFixnum(i + 1));
    return result;
  }
  lispval wordZero(lispval structure) { return at(structure - 0xe); }
  lispval& plist(lispval symbol) { return lisp::wordAt(symbol, -3); }

  static constexpr uint32_t kFromDescription = 0x5554;
  lispval type_ = 0, indicator_ = 0, description_ = 0;
};

TEST_F(Structures, WordZeroIsTheTypeUnlessItsPropertyNamesADescription) {
  makeStruct(type_, 0);
  EXPECT_EQ(wordZero(makeStruct(type_, 1)), type_);
  plist(type_) =
      cons(objects_->makeSymbol(nil()), cons(nil(), cons(indicator_, cons(description_, nil()))));
  EXPECT_EQ(wordZero(makeStruct(type_, 3)), type_);  // the lookup global is nil
  global(kStructTypeLookup) = makeFixnum(1);
  EXPECT_EQ(wordZero(makeStruct(type_, 3)), kFromDescription);
  EXPECT_EQ(wordZero(makeStruct(type_, 1)), kFromDescription);
}

TEST_F(Structures, OddPropertyListsAndNonSymbolTypesKeepTheType) {
  global(kStructTypeLookup) = makeFixnum(1);
  const struct {
    const char* what;
    lispval list;
  } cases[] = {
      {"value is not an other object", cons(indicator_, cons(makeFixnum(3), nil()))},
      {"indicator without a value cell", cons(indicator_, makeFixnum(3))},
      {"list ends in a fixnum", cons(makeFixnum(1), makeFixnum(2))},
      {"no such indicator", cons(makeFixnum(1), cons(description_, nil()))},
  };
  for (const auto& c : cases) {
    plist(type_) = c.list;
    EXPECT_EQ(wordZero(makeStruct(type_, 2)), type_) << c.what;
  }
  EXPECT_EQ(wordZero(makeStruct(makeFixnum(9), 2)), makeFixnum(9));
}

// ---- the page map and the page hook ----

TEST_F(Objects, ObjectsThatReachANewPageUpdateThePageMapAndCallTheHookOnce) {
  pageallochook = recordHook;
  const uint32_t boundary = pageStart(next()) + 2 * kPageBytes;
  newOther(bytesToEndAt(boundary - kPageBytes - 16));  // stays on its page
  EXPECT_TRUE(g_hookCalls.empty());
  // Ends 16 bytes short of the boundary: that page's entry is not touched.
  const uint32_t mapBefore = newPagemapEntry(boundary);
  newOther(bytesToEndAt(boundary - 16));
  EXPECT_EQ(g_hookCalls.size(), 1u);  // it crossed into the middle page
  EXPECT_EQ(newPagemapEntry(boundary - kPageBytes), boundary - 16);
  EXPECT_EQ(newPagemapEntry(boundary), mapBefore);
  // Ends exactly on the boundary: the page it ends on starts the next object.
  newOther(8);
  EXPECT_EQ(next(), boundary);
  EXPECT_EQ(newPagemapEntry(boundary), boundary);
  ASSERT_EQ(g_hookCalls.size(), 2u);
  EXPECT_EQ(g_hookCalls[1].kind, 3);
  EXPECT_EQ(g_hookCalls[1].bytes, 8u);
  // Past the boundary over two whole pages: those read -1.
  const uint32_t start = next();
  newOther(2 * kPageBytes + 100);
  EXPECT_EQ(newPagemapEntry(start), start);
  EXPECT_EQ(newPagemapEntry(start + kPageBytes), kPageInsideObject);
  EXPECT_EQ(newPagemapEntry(start + 2 * kPageBytes - 8), kPageInsideObject);
  EXPECT_EQ(newPagemapEntry(next()), next());
  ASSERT_EQ(g_hookCalls.size(), 3u);
  EXPECT_EQ(g_hookCalls[2].bytes, 2 * kPageBytes + 104);
  // The collector's own copies are not reported; the page map still is.
  InScavenge = 1;
  newOther(kPageBytes);
  InScavenge = 0;
  EXPECT_EQ(g_hookCalls.size(), 3u);
  EXPECT_EQ(newPagemapEntry(next()), next());
}

uint32_t g_hookThread, g_headDuringHook;
__attribute__((force_align_arg_pointer)) void noteClinkHead(int, uint32_t) {
  g_headDuringHook = lisp::wordAt(g_hookThread, lisp::thread_record::kClinkHead);
}

TEST_F(Objects, TheHookRunsInsideAForeignCallRecord) {
  g_hookThread = thread_;
  pageallochook = noteClinkHead;
  LispCallSetup setup = setupFor(kNewSimpleVector, makeFixnum(3000), makeFixnum(0), 2);
  make(setup);
  EXPECT_NE(g_headDuringHook, lisp::thread_record::kEmptyClinkChain);
  EXPECT_EQ(lisp::wordAt(g_headDuringHook, 0), lisp::thread_record::kEmptyClinkChain);
}

TEST_F(Objects, FillingNewSpaceUpToTheConsPagesKeepsTheirPageMapEntry) {
  const uint32_t consPages = GsNewAllocationArea.pageLowMark;
  ASSERT_EQ(newPagemapEntry(consPages), kPageCons);
  newOther(static_cast<uint32_t>(newFree()) - 8);
  EXPECT_EQ(next(), consPages);
  EXPECT_EQ(newFree(), 0);
  EXPECT_EQ(newPagemapEntry(consPages), kPageCons);
}

// ---- exhaustion and sizes that must not wrap ----

TEST_F(Objects, AnExhaustedSpaceScavengesForTheWholeSize) {
  const uint32_t free = static_cast<uint32_t>(newFree());
  const uint32_t before = ScavengeCt;
  const LispCallResult other = call(setupFor(kNewOther, free - 7));
  EXPECT_EQ(ScavengeCt, before + 1);
  EXPECT_GE(lisp::objectAddress(other.eax), GsNewAllocationArea.start);
  EXPECT_LE(lisp::objectAddress(other.eax) + free, GsNewAllocationArea.end);
  const uint32_t bigger = static_cast<uint32_t>(newFree()) + 64;
  const LispCallResult vector =
      call(setupFor(kNewSimpleVector, makeFixnum(bigger / 4), makeFixnum(0), 2));
  EXPECT_EQ(ScavengeCt, before + 2);
  EXPECT_EQ(gc::wordAt(lisp::objectAddress(vector.eax) + 4), makeFixnum(bigger / 4));
}

// Sizes beyond any heap: the collector cannot find the room and ends the
// process, after writing its memory status report into the working
// directory (the test's own temporary one).
TEST_F(Objects, SizesBeyond32BitsAskForTheLargestSize) {
  const testing_support::TempWorkingDirectory directory;
  for (uint32_t bytes : {0xfffffff1u, 0xfffffff9u, 0xffffffffu})
    EXPECT_EXIT(call(setupFor(kNewOther, bytes)), testing::ExitedWithCode(1),
                "Couldn't get -?[0-9]+ bytes from operating system")
        << std::hex << bytes;
  EXPECT_EXIT(call(setupFor(kNewSimpleVector, makeFixnum(0x1fffffff), makeFixnum(0), 2)),
              testing::ExitedWithCode(1), "Couldn't get -?[0-9]+ bytes from operating system");
}

TEST_F(Objects, BadLengthsSignalError13AndAllocateNothing) {
  const uint32_t before = next();
  const struct {
    int32_t slot;
    lispval length;
  } cases[] = {{kNewSimpleVector, makeFixnum(-1)},
               {kNewSimpleVector, static_cast<lispval>(makeFixnum(-0x20000000))},
               {kNewSimpleString, makeFixnum(-3)},
               {kNewSimpleString, nil()},
               {kNewSimpleVector, lisp::makeCharacter('a')}};
  for (const auto& c : cases) {
    testing_support::resetRecorder(makeFixnum(99));
    const LispCallResult result = call(setupFor(c.slot, c.length, makeFixnum(0), 2));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(13));
    EXPECT_EQ(result.eax, makeFixnum(99));
    EXPECT_EQ(next(), before);
  }
}

// The breakpoint entry (here the recorder) is called first, then error 35.
TEST_F(Objects, ABignumOfMoreThan65535DigitsIsError35AndAllocatesNothing) {
  constexpr int32_t kBreakpointSlot = 0x8f;
  global(kBreakpointSlot) = testing_support::recorderAddress();
  const uint32_t before = next();
  for (uint32_t digits : {65536u, 0x80000000u, 0xffffffffu}) {
    testing_support::resetRecorder(makeFixnum(98));
    LispCallSetup setup = setupFor(0, digits);
    setup.target = routineAddress(newbignum);
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 2u);
    EXPECT_NE(lisp_recorder_log.calls[0].eax, makeFixnum(35)) << "the breakpoint entry first";
    EXPECT_EQ(lisp_recorder_log.calls[1].eax, makeFixnum(35));
    EXPECT_EQ(result.eax, makeFixnum(98));
    EXPECT_EQ(next(), before);
  }
}

// ---- boxing machine integers ----

// The integer a result stands for: a fixnum, or a two-digit bignum.
int64_t integerOf(lispval word) {
  if (lisp::isFixnum(word)) return lisp::fixnumValue(word);
  const uint32_t header = at(word - 0x12);
  EXPECT_EQ(header & 0xff, tc::Bignum);
  EXPECT_EQ(lisp::bignumDigitCount(header), 2u);
  const int64_t magnitude = at<uint16_t>(word - 0xe) + (int64_t{at<uint16_t>(word - 0xc)} << 16);
  const uint32_t sign = (header >> 8) & 0xff;
  EXPECT_TRUE(sign == 0 || sign == 0x80);
  return sign ? -magnitude : magnitude;
}

TEST_F(Objects, SignedIntegersBoxAsFixnumsWhenTheyFit) {
  const int64_t values[] = {0,         -1,       (1 << 29) - 1, 1 << 29, -(1 << 29), -(1 << 29) - 1,
                            INT32_MIN, INT32_MAX};
  for (int32_t slot : {kFixnumOrBignum, kMiInNewBignum, kBoxToNewBignum}) {
    for (int64_t value : values) {
      SCOPED_TRACE(testing::Message() << "slot " << std::hex << slot << std::dec << ", " << value);
      const uint32_t before = next();
      const LispCallResult result = call(setupFor(slot, static_cast<uint32_t>(value)));
      EXPECT_EQ(result.carry, 0u);
      const bool fits = lisp::fitsFixnum(value);
      EXPECT_EQ(lisp::isFixnum(result.eax), fits);
      EXPECT_EQ(integerOf(result.eax), value);
      // fixnum_or_bignum allocates only on overflow; the others always take
      // their bignum first.
      const uint32_t taken = slot == kFixnumOrBignum && fits ? 0 : 16;
      EXPECT_EQ(next() - before, taken);
    }
  }
}

TEST_F(Objects, MinusTwoToThe31IsTheMagnitudeWithSign0x80) {
  const LispCallResult result = call(setupFor(kBoxToNewBignum, 0x80000000u));
  EXPECT_EQ(header(result.eax), lisp::bignumHeader(2, 0x80));
  EXPECT_EQ(at<uint16_t>(result.eax - 0xe), 0u);
  EXPECT_EQ(at<uint16_t>(result.eax - 0xc), 0x8000u);
}

TEST_F(Objects, UnsignedIntegersBoxAboveTheLargestFixnum) {
  const uint32_t values[] = {0, 0x1fffffff, 0x20000000, 0x80000000, 0xffffffff};
  for (uint32_t value : values) {
    const uint32_t before = next();
    const LispCallResult result = call(setupFor(kUnsignedFixnumOrBignum, value));
    EXPECT_EQ(integerOf(result.eax), int64_t{value}) << std::hex << value;
    EXPECT_EQ(next() - before, value > 0x1fffffff ? 16u : 0u);
  }
}

}  // namespace
