// The collector's entry rows, called the way compiled code calls them:
// through their slots of the runtime entry table.

#include "runtime/gc/collector_entries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/runtime_errors.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_test_objects.h"
#include "testing/watchdog.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::Tag;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;

constexpr int32_t kSetFnCode = 0xb3, kGsgcControl = 0xbb, kBuildMap = 0xbf, kGc = 0x13b;
constexpr int32_t kPanify = 0x20b, kUserVerify = 0x283, kTotalloc = 0x2d7, kStorageType = 0x2f3;
constexpr int32_t kParameterVector = -0xcd;  // global word -46
constexpr int32_t kPanifyResult = -0x1d;     // global word -2
constexpr int32_t kDummyMconsFunction = -0x51;

class CollectorEntries : public WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    objects_ = std::make_unique<testing_support::LispTestObjects>(nil());
    const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
    global(lisp::nil_block::global::kErrorSymbol) = objects_->makeSymbol(recorder);
    testing_support::resetRecorder(lisp::makeFixnum(-1));
  }

  LispCallResult call(int32_t slot, lispval eax, lispval edx = 0, uint32_t count = 1) {
    LispCallSetup setup;
    setup.target = global(slot);
    setup.edi = nil();
    setup.ebx = lisp::dummyThreadWord();
    setup.esi = 0x30000102;
    setup.ecx = count;
    setup.eax = eax;
    setup.edx = edx;
    setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
    setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
    const LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_TRUE(result.ediSurvived(setup));
    EXPECT_EQ(lisp::wordAt(setup.ebx, lisp::thread_record::kClinkHead),
              lisp::thread_record::kEmptyClinkChain);  // the record was unlinked
    return result;
  }
  lispval value(int32_t slot, lispval eax, lispval edx = 0, uint32_t count = 1) {
    const LispCallResult result = call(slot, eax, edx, count);
    EXPECT_EQ(result.carry, 0u);
    return result.eax;
  }

  // A raw 32-bit vector (type 127) of n words in new space.
  lispval rawVector(uint32_t n, uint8_t type = lisp::type_code::LastVector) {
    const uint32_t object = other_from_new_xsmp(8 + 4 * n);
    at(object) = lisp::headerWord(type);
    at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) at(object + 8 + 4 * i) = 0xabababab;
    return lisp::pointerWord(object, Tag::Other);
  }
  static uint32_t* data(lispval vector) { return &at(lisp::objectAddress(vector) + 8); }
  static uint32_t length(lispval vector) {
    return static_cast<uint32_t>(lisp::fixnumValue(at(lisp::objectAddress(vector) + 4)));
  }
  lispval t() const { return lisp::nil_block::tFor(nil()); }

  std::unique_ptr<testing_support::LispTestObjects> objects_;
};

TEST_F(CollectorEntries, PointerStorageTypes) {
  const uint32_t newObject = vector(false, 2), oldObject = vector(true, 2);
  const uint32_t cell = newCons();
  auto flagged = [&](uint16_t half) {
    const uint32_t object = vector(false, 1);
    at(object - 4) = (uint32_t{half} << 16) | 3;
    return lisp::pointerWord(object, Tag::Other);
  };
  const struct {
    const char* what;
    lispval value;
    int32_t code;
  } cases[] = {
      {"fixnum", lisp::makeFixnum(7), 0},
      {"character", lisp::makeCharacter('a'), 0},
      {"nil", nil(), 4},
      {"beyond new space", GsNewTopLV + 2, 4},
      {"old object", lisp::pointerWord(oldObject, Tag::Other), 8},
      {"new cons", lisp::pointerWord(cell, Tag::Cons), 12},
      {"plain new object", lisp::pointerWord(newObject, Tag::Other), 12},
      {"weak vector", flagged(6), 20},
      {"finalization", flagged(10), 24},
      {"weak-key vector, two arguments", flagged(20), 28},
      {"weak-key vector", flagged(22), 32},
      {"keep-new", flagged(2), 16},
      {"the other semispace", lisp::pointerWord(GsNewScavengeToArea + 64, Tag::Other), 12},
  };
  for (const auto& c : cases)
    EXPECT_EQ(value(kStorageType, c.value), lisp::makeFixnum(c.code)) << c.what;
}

TEST_F(CollectorEntries, PanifyKeepsANewObjectInNewSpace) {
  global(kPanifyResult) = lisp::makeFixnum(99);
  const uint32_t object = vector(false, 2);
  EXPECT_EQ(value(kPanify, lisp::pointerWord(object, Tag::Other)), lisp::makeFixnum(99));
  EXPECT_TRUE(at(object - 4) & stamp::kKeepNew);
  EXPECT_EQ(value(kStorageType, lisp::pointerWord(object, Tag::Other)), lisp::makeFixnum(16));
  const uint32_t symbolObject = symbol(false);
  EXPECT_EQ(value(kPanify, lisp::pointerWord(symbolObject, Tag::Symbol)), lisp::makeFixnum(99));
  EXPECT_EQ(value(kPanify, lisp::pointerWord(vector(true, 1), Tag::Other)), nil());
  EXPECT_EQ(value(kPanify, lisp::pointerWord(newCons(), Tag::Cons)), nil());
  EXPECT_EQ(value(kPanify, lisp::pointerWord(object + 8, Tag::Other)), nil());
  EXPECT_EQ(value(kPanify, lisp::makeFixnum(3)), nil());
}

TEST_F(CollectorEntries, GsgcControlReadThenWriteChangesOnlyTheQuantumToEvenPages) {
  GsNewQuantum = 3 * kPageBytes;
  const lispval vector = rawVector(20);
  global(kParameterVector) = vector;
  EXPECT_EQ(value(kGsgcControl, nil()), vector);
  uint32_t before[20];
  std::memcpy(before, data(vector), sizeof before);
  EXPECT_EQ(before[2], 3u);
  EXPECT_EQ(value(kGsgcControl, t()), vector);
  EXPECT_EQ(GsNewQuantum, 4 * kPageBytes);
  EXPECT_EQ(value(kGsgcControl, nil()), vector);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(data(vector)[i], i == 2 ? 4u : before[i]) << i;
}

TEST_F(CollectorEntries, GsgcControlWritesNothingWithoutARawVectorLongEnough) {
  const lispval shortVector = rawVector(19);
  const lispval simpleVector = lisp::pointerWord(vector(false, 20), Tag::Other);
  for (lispval held : {nil(), lisp::makeFixnum(5), shortVector, simpleVector}) {
    global(kParameterVector) = held;
    const uint32_t nilCar = lisp::car(nil());
    EXPECT_EQ(value(kGsgcControl, nil()), nil());
    EXPECT_EQ(value(kGsgcControl, t()), nil());
    EXPECT_EQ(lisp::car(nil()), nilCar);
  }
  EXPECT_EQ(data(shortVector)[0], 0xababababu);
  EXPECT_EQ(GsNewQuantum, kDefaultNewQuantum);
}

TEST_F(CollectorEntries, TotallocReportsIntoARawVector) {
  populate();
  const lispval report = rawVector(4);
  EXPECT_EQ(value(kTotalloc, report, nil(), 2), report);
  uint32_t expected[4];
  GsReportAlloc(expected, 0);
  EXPECT_TRUE(std::equal(expected, expected + 4, data(report)));
  const lispval shortVector = rawVector(3);
  EXPECT_EQ(value(kTotalloc, shortVector, t(), 2), nil());
  EXPECT_EQ(data(shortVector)[0], 0xababababu);
}

TEST_F(CollectorEntries, BuildMapUsesAVectorLongEnoughOrMakesOne) {
  populate();
  const uint32_t words = buildMapWords(GsOldAreaCt);
  EXPECT_EQ(value(kBuildMap, lisp::makeFixnum(0)),
            lisp::makeFixnum(static_cast<int32_t>(GsNewspaceFullness())));
  const lispval exact = rawVector(words);
  EXPECT_EQ(value(kBuildMap, t(), exact, 2), exact);
  EXPECT_EQ(data(exact)[19], GsOldAreaCt);
  EXPECT_EQ(data(exact)[10], lisp_heap.brk);
  EXPECT_EQ(value(kBuildMap, nil(), exact, 2), exact);
  EXPECT_EQ(data(exact)[10], 0u);  // not full

  const lispval shortVector = rawVector(words - 1);
  const lispval made = value(kBuildMap, t(), shortVector, 2);
  EXPECT_NE(made, shortVector);
  EXPECT_EQ(length(made), words);
  EXPECT_EQ(data(shortVector)[0], 0xababababu);
  EXPECT_EQ(length(value(kBuildMap, t(), exact, 1)), words);  // a second argument not passed
}

// Stands in for a scavenge that adds an old area while the map's vector is
// being made: the first page crossing adds one area.
void addAreaOnce(int, uint32_t) {
  pageallochook = nullptr;
  uint32_t newBreak = 0;
  const uint32_t start = lisp_heap.brk;
  if (limited_setbrk(0x40000, &newBreak) == 0) GsOldAreaSetup(start, newBreak - start);
}

TEST_F(CollectorEntries, BuildMapCountsTheAreasAgainAfterMakingItsVector) {
  ASSERT_EQ(GsOldAreaCt, 1u);
  // Leave 64 bytes before the next page so the map's vector crosses it.
  const uint32_t top = global(global::kNewOtherTop);
  other_from_new_xsmp(pageStart(top) + kPageBytes - 64 - top - kPrefixBytes);
  pageallochook = addAreaOnce;
  const lispval map = value(kBuildMap, t(), nil(), 1);
  EXPECT_EQ(GsOldAreaCt, 2u);
  EXPECT_EQ(length(map), buildMapWords(2));
  EXPECT_EQ(data(map)[19], 2u);
  EXPECT_EQ(data(map)[30], areaAddress(GsLastOldArea));
  // The first, short vector lies just below the map and was never written.
  const uint32_t first = lisp::objectAddress(map) - kPrefixBytes - (8 + 4 * buildMapWords(1));
  EXPECT_EQ(at(first), lisp::headerWord(lisp::type_code::LastVector));
  EXPECT_EQ(length(lisp::pointerWord(first, Tag::Other)), buildMapWords(1));
  for (uint32_t i = 0; i < buildMapWords(1); ++i) EXPECT_EQ(at(first + 8 + 4 * i), 0u) << i;
  EXPECT_LT(at(lisp::objectAddress(map) - 4), stamp::kForwarded);  // the map's prefix
}

TEST_F(CollectorEntries, UserVerify) {
  populate();
  const uint32_t newObject = *new_.objects.begin();
  const struct {
    lispval value;
    lispval expected;
  } cases[] = {
      {nil(), t()},
      {global(lisp::nil_block::global::kUnboundMarker), t()},
      {lisp::makeFixnum(3), t()},
      {lisp::pointerWord(newObject, Tag::Other) + 1, nil()},  // tag 3
      {lisp::pointerWord(*new_.conses.begin(), Tag::Cons), t()},
      {lisp::pointerWord(*old_.conses.begin(), Tag::Cons), t()},
      {lisp::pointerWord(newObject + 8, Tag::Other), nil()},
      {0x12, nil()},
  };
  for (const auto& c : cases) EXPECT_EQ(value(kUserVerify, c.value), c.expected) << c.value;
}

// A vector whose length word reaches past the end of its region, between
// two vectors, at the end of old space and of the allocation semispace:
// the entry answers for each (the damaged one starts where a walk steps;
// the walk never reaches the one after it) and never hangs.
TEST_F(CollectorEntries, UserVerifyAnswersAroundADamagedLength) {
  populate();
  const testing_support::Watchdog watchdog("user_verify around a damaged length",
                                           std::chrono::seconds(60));
  for (const bool old : {true, false}) {
    for (const int32_t length : {-1, 0x0fffffff}) {
      SCOPED_TRACE(std::string(old ? "old" : "new") + " space, length " + std::to_string(length));
      const uint32_t before = vector(old, 1), damaged = vector(old, 2), after = vector(old, 1);
      at(damaged + 4) = lisp::makeFixnum(length);
      EXPECT_EQ(value(kUserVerify, lisp::pointerWord(before, Tag::Other)), t());
      EXPECT_EQ(value(kUserVerify, lisp::pointerWord(damaged, Tag::Other)), t());
      EXPECT_EQ(value(kUserVerify, lisp::pointerWord(after, Tag::Other)), nil());
      at(damaged + 4) = lisp::makeFixnum(2);
      EXPECT_EQ(value(kUserVerify, lisp::pointerWord(after, Tag::Other)), t());
    }
  }
}

TEST_F(CollectorEntries, SetFnCodeStoresAndMarksOldFunctionsGettingNewCode) {
  auto function = [&](bool old) {
    const uint32_t object = old ? other_from_old_xsmp(40) : other_from_new_xsmp(40);
    at(object) = lisp::headerWord(lisp::type_code::Function);
    return lisp::pointerWord(object, Tag::Other);
  };
  const lispval newCode = lisp::pointerWord(vector(false, 1), Tag::Other);
  const lispval oldCode = lisp::pointerWord(vector(true, 1), Tag::Other);
  const struct {
    bool oldFunction;
    lispval code;
    bool marks;
  } cases[] = {
      {true, newCode, true},
      {true, oldCode, false},
      {false, newCode, false},
      {true, lisp::makeFixnum(40), false},
  };
  for (const auto& c : cases) {
    const lispval fn = function(c.oldFunction);
    const uint32_t slot = fn - 2;
    std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
    const LispCallResult result = call(kSetFnCode, fn, c.code, 2);
    EXPECT_EQ(result.eax, c.code);
    EXPECT_EQ(result.edx, fn);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(at(slot), c.code);
    EXPECT_EQ(rootBitSet(slot), c.marks);
  }
}

TEST_F(CollectorEntries, GcWithAFlagRunsTheGlobalCollection) {
  const uint32_t before = ScavengeCt;
  const lispval count = global(-0x15 - 4 * 64);  // GlobScavengeCount
  GsCtlFlags |= gc::flag::kGlobalRequest;
  const LispCallResult result = call(kGc, t());
  EXPECT_EQ(result.eax, nil());
  EXPECT_EQ(result.carry, 1u);  // no values
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  EXPECT_EQ(ScavengeCt, before + 2);  // the opening and the closing scavenge
  EXPECT_EQ(global(-0x15 - 4 * 64), count + lisp::makeFixnum(1));
  EXPECT_EQ(GsCtlFlags & gc::flag::kGlobalRequest, 0u);
  EXPECT_EQ(GsInGlobalGc, 0u);
}

TEST_F(CollectorEntries, GcWithNilRunsTheScavenger) {
  const uint32_t before = ScavengeCt;
  const lispval count = global(-0x15 - 4 * 64);  // GlobScavengeCount
  call(kGc, nil());
  EXPECT_EQ(ScavengeCt, before + 1);
  EXPECT_EQ(global(-0x15 - 4 * 64), count + lisp::makeFixnum(1));
}

TEST_F(CollectorEntries, DummyMconsConsesThenCallsTheFunctionOfWordMinus17) {
  const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
  global(kDummyMconsFunction) = recorder;
  LispCallSetup setup;
  setup.target = addressOf(reinterpret_cast<void*>(&dummy_mcons));
  setup.edi = nil();
  setup.ebx = lisp::dummyThreadWord();
  setup.ecx = 2;
  setup.eax = lisp::makeFixnum(1);
  setup.edx = lisp::makeFixnum(2);
  setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
  const LispCallResult result = testing_support::callWithLispConventions(setup);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.eax, lisp::makeFixnum(-1));  // what the function returned
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const auto& call = lisp_recorder_log.calls[0];
  EXPECT_EQ(call.ecx, 3u);
  EXPECT_EQ(call.esi, recorder);
  EXPECT_EQ(call.eax, lisp::makeFixnum(1));
  EXPECT_EQ(call.edx, lisp::makeFixnum(2));
  const lispval made = call.stack[2];  // argument 3: what the cons entry made
  ASSERT_TRUE(lisp::isCons(made));
  EXPECT_EQ(lisp::car(made), lisp::makeFixnum(1));
  EXPECT_EQ(lisp::cdr(made), lisp::makeFixnum(2));
}

}  // namespace
