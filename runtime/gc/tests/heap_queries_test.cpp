// The heap queries on the walkers' fixture heap (two old areas, the first
// closed, new space, every object recorded as it was made), called the way
// Lisp code calls them: through lisp_syscall (nil+0x17b) and the entry
// routine gsgc_type_counts (nil+0x323). Answers are compared with what the
// fixture recorded.
#include "runtime/gc/heap_queries.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/nil_block.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_test_objects.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using lisp::Tag;

constexpr int32_t kSyscallSlot = 0x17b, kTypeCountsSlot = 0x323;
constexpr int32_t kWhoCalls = 23, kSelectedFunctions = 24, kGetObjects = 51, kFindAddress = 72;
constexpr int32_t kUndefinedEntryGlobal = -0x15 - 4 * 110;
constexpr uint32_t kUndefinedEntry = 0x0804a000;
constexpr uint8_t kFunctionType = lisp::type_code::Function;
constexpr uint8_t kRawVectorType = lisp::type_code::LastVector;  // raw 32-bit words

class HeapQueries : public gc_test::WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    objects_ = std::make_unique<testing_support::LispTestObjects>(nil());
    const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
    global(lisp::nil_block::global::kErrorSymbol) = objects_->makeSymbol(recorder);
    testing_support::resetRecorder(makeFixnum(-1));
    global(kUndefinedEntryGlobal) = kUndefinedEntry;
  }
  void TearDown() override {
    objects_.reset();
    WalkHeap::TearDown();
  }

  // ---- calls ----

  testing_support::LispCallResult call(int32_t slot, uint32_t count, const lispval* words) {
    testing_support::LispCallSetup setup;
    setup.target = global(slot);
    setup.edi = nil();
    setup.ebx = lisp::dummyThreadWord();
    setup.esi = 0x30000102;
    setup.ecx = count;
    setup.eax = words[0];
    setup.edx = count > 1 ? words[1] : nil();
    for (uint32_t i = 0; i < count; ++i) setup.stack[i] = words[i];
    setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
    setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.carry, 0u);
    return result;
  }
  // A service of lisp_syscall; its answer as an integer.
  int32_t syscall(int32_t code, std::vector<lispval> arguments) {
    arguments.insert(arguments.begin(), makeFixnum(code));
    const lispval answer =
        call(kSyscallSlot, static_cast<uint32_t>(arguments.size()), arguments.data()).eax;
    EXPECT_TRUE(lisp::isFixnum(answer)) << std::hex << answer;
    return lisp::fixnumValue(answer);
  }
  int32_t typeCounts(lispval counts, lispval sizes, lispval mode) {
    const lispval words[] = {counts, sizes, mode};
    const lispval answer = call(kTypeCountsSlot, 3, words).eax;
    EXPECT_TRUE(lisp::isFixnum(answer));
    return lisp::fixnumValue(answer);
  }

  // ---- vectors outside the heap (the walks never meet them) ----

  struct alignas(8) Buffer {
    uint32_t words[300];
  };
  // A vector of `length` elements of type `type`, each `fill`.
  lispval outsideVector(uint32_t length, uint32_t fill,
                        uint8_t type = lisp::type_code::SimpleVector) {
    Buffer& buffer = buffers_.emplace_back();
    buffer.words[0] = lisp::headerWord(type);
    buffer.words[1] = makeFixnum(static_cast<int32_t>(length));
    std::fill(buffer.words + 2, buffer.words + 2 + length, fill);
    return lisp::pointerWord(gc::addressOf(buffer.words), Tag::Other);
  }
  static uint32_t& element(lispval vector, uint32_t index) {
    return at(lisp::objectAddress(vector) + 8 + 4 * index);
  }
  // The results a result vector holds (count first).
  static std::multiset<lispval> results(lispval vector, uint32_t count) {
    std::multiset<lispval> found;
    for (uint32_t i = 1; i <= count; ++i) found.insert(element(vector, i));
    return found;
  }

  // ---- functions ----

  // A function (6 cells) with entry `entry`, number `number` in word 3 and
  // up to six constants; no code vector.
  lispval function(bool old, uint32_t entry, uint32_t number, std::vector<lispval> constants) {
    const uint32_t object = old ? other_from_old_xsmp(48) : other_from_new_xsmp(48);
    for (uint32_t word = 1; word < 12; ++word) at(object + 4 * word) = nil();
    at(object) = kFunctionType | 2u << 16;
    at(object + 4) = entry;
    at(object + 12) = number;
    for (size_t i = 0; i < constants.size(); ++i) at(object + 20 + 4 * i) = constants[i];
    (old ? old_ : new_).objects.insert(object);
    return lisp::pointerWord(object, Tag::Other);
  }
  lispval oldString(uint32_t characters) {
    const uint32_t object = other_from_old_xsmp(8 * ((characters + 8) >> 2));
    at(object) = lisp::headerWord(lisp::type_code::SimpleString);
    at(object + 4) = makeFixnum(static_cast<int32_t>(characters));
    old_.objects.insert(object);
    return lisp::pointerWord(object, Tag::Other);
  }

  // What the fixture recorded, as tagged values, by the walk's selection.
  std::multiset<lispval> recorded(int32_t type, int32_t selector, bool includeNew) {
    const uint32_t fence = gc::areaAddress(GsOpenOldAreaFence);
    auto selected = [&](uint32_t address) {
      if (address >= GsNewFence) return includeNew;
      if (selector == 0) return false;
      if (selector == -1) return address < fence;
      if (selector == -2) return address >= fence;
      return true;
    };
    std::multiset<lispval> expected;
    for (const Made* made : {&old_, &new_}) {
      if (type == 1) {
        for (const uint32_t cell : made->conses)
          if (selected(cell)) expected.insert(lisp::pointerWord(cell, Tag::Cons));
        continue;
      }
      for (const uint32_t object : made->objects) {
        if (!selected(object) || static_cast<int32_t>(at(object) & 0xff) != type) continue;
        expected.insert(lisp::pointerWord(
            object, (at(object) & 0xff) == lisp::kSymbolTypeByte ? Tag::Symbol : Tag::Other));
      }
    }
    return expected;
  }

  std::unique_ptr<testing_support::LispTestObjects> objects_;
  std::deque<Buffer> buffers_;
};

// ---- result vectors ----

TEST_F(HeapQueries, RoomForTwoOfFiveMatchesCountsFiveAndStoresTheFirstTwo) {
  std::vector<lispval> strings;
  for (uint32_t i = 0; i < 5; ++i) strings.push_back(oldString(3 + i));
  const lispval result = outsideVector(3, nil());
  EXPECT_EQ(syscall(kGetObjects, {result, makeFixnum(lisp::type_code::SimpleString), makeFixnum(1),
                                  makeFixnum(1)}),
            5);
  EXPECT_EQ(element(result, 0), makeFixnum(5));
  EXPECT_EQ(element(result, 1), strings[0]);
  EXPECT_EQ(element(result, 2), strings[1]);
}

TEST_F(HeapQueries, VectorsThatAreNotResultVectorsAreRefusedUntouched) {
  populate();
  const lispval tooShort = outsideVector(0, nil());
  const lispval rawVector = outsideVector(8, 0xabababab, kRawVectorType);
  const lispval entryOfOne = outsideVector(1, nil());
  const lispval entries = outsideVector(1, entryOfOne);
  const lispval notAnEntry = outsideVector(1, makeFixnum(3));
  EXPECT_EQ(syscall(kGetObjects, {tooShort, makeFixnum(1), makeFixnum(1), makeFixnum(1)}), -1);
  EXPECT_EQ(syscall(kFindAddress, {rawVector, nil()}), -1);
  EXPECT_EQ(element(rawVector, 0), 0xababababu);
  EXPECT_EQ(syscall(kWhoCalls, {entries}), -1);
  EXPECT_EQ(syscall(kWhoCalls, {notAnEntry}), -1);
  EXPECT_EQ(element(entryOfOne, 0), nil());
  const lispval numbers = outsideVector(3, makeFixnum(1));
  EXPECT_EQ(syscall(kSelectedFunctions, {numbers, outsideVector(2, nil())}), -1);
}

// ---- getobjects ----

struct Selection {
  int32_t type;
  int32_t selector;
  bool includeNew;
};

class GetObjects : public HeapQueries, public ::testing::WithParamInterface<Selection> {};

TEST_P(GetObjects, TheAnswerIsWhatWasMadeThere) {
  populate();
  function(true, kUndefinedEntry, 1, {});
  function(false, kUndefinedEntry, 2, {});
  const Selection& s = GetParam();
  const std::multiset<lispval> expected = recorded(s.type, s.selector, s.includeNew);
  const lispval result = outsideVector(40, nil());
  const int32_t count = syscall(kGetObjects, {result, makeFixnum(s.type), makeFixnum(s.selector),
                                              makeFixnum(s.includeNew ? 1 : 0)});
  ASSERT_EQ(count, static_cast<int32_t>(expected.size()));
  EXPECT_EQ(results(result, static_cast<uint32_t>(count)), expected);
}

INSTANTIATE_TEST_SUITE_P(TypesAndSelectors, GetObjects,
                         ::testing::Values(Selection{1, 1, true}, Selection{1, -1, false},
                                           Selection{1, -2, true}, Selection{1, 0, true},
                                           Selection{1, 0, false},
                                           Selection{lisp::type_code::SimpleVector, 1, true},
                                           Selection{lisp::type_code::SimpleVector, -1, false},
                                           Selection{lisp::type_code::SimpleVector, -2, false},
                                           Selection{lisp::kSymbolTypeByte, 1, true},
                                           Selection{lisp::kSymbolTypeByte, -2, true},
                                           Selection{lisp::type_code::ByteVector, 1, true},
                                           Selection{kFunctionType, -1, true}));

TEST_F(HeapQueries, ANewValueStoredIntoAnOldResultVectorMarksItsPage) {
  populate();
  const uint32_t result = vector(true, 12);
  const lispval resultWord = lisp::pointerWord(result, Tag::Other);
  ASSERT_FALSE(gc::rootBitSet(result + 8));
  EXPECT_EQ(syscall(kGetObjects, {resultWord, makeFixnum(1), makeFixnum(0), makeFixnum(1)}),
            static_cast<int32_t>(new_.conses.size()));
  EXPECT_TRUE(gc::rootBitSet(result + 12)) << "old slot holding a new cons on an unmarked page";
}

// ---- functions ----

TEST_F(HeapQueries, WhoCallsFillsEachTargetsEntryAndAFunctionHoldingBothAppearsInBoth) {
  const lispval a = oldString(4), b = oldString(5);
  const lispval onlyA = function(true, 0x1000, 1, {a});
  const lispval both = function(false, 0x1000, 2, {makeFixnum(9), b, a});
  const lispval onlyB = function(true, 0x1000, 3, {nil(), b, b});
  function(true, 0x1000, 4, {makeFixnum(1)});
  const lispval entryA = outsideVector(6, nil()), entryB = outsideVector(6, nil());
  element(entryA, 0) = a;
  element(entryA, 1) = makeFixnum(0);
  element(entryB, 0) = b;
  element(entryB, 1) = nil();
  const lispval entries = outsideVector(2, nil());
  element(entries, 0) = entryA;
  element(entries, 1) = entryB;

  EXPECT_EQ(syscall(kWhoCalls, {entries}), 2);
  EXPECT_EQ(element(entryA, 1), makeFixnum(2));
  EXPECT_EQ(element(entryB, 1), makeFixnum(2));
  EXPECT_EQ((std::multiset<lispval>{element(entryA, 2), element(entryA, 3)}),
            (std::multiset<lispval>{onlyA, both}));
  EXPECT_EQ((std::multiset<lispval>{element(entryB, 2), element(entryB, 3)}),
            (std::multiset<lispval>{both, onlyB}))
      << "a function holding a target twice appears once";
  EXPECT_EQ(element(entryA, 0), a);
}

TEST_F(HeapQueries, OneEntryCountingFromZeroCollectsEveryDefinedFunction) {
  const lispval target = oldString(2);
  const lispval defined1 = function(true, 0x1000, 1, {});
  function(true, kUndefinedEntry, 2, {target});
  const lispval defined2 = function(false, 0x2000, 3, {});
  const lispval entry = outsideVector(4, nil());
  element(entry, 0) = target;
  element(entry, 1) = makeFixnum(0);
  const lispval entries = outsideVector(1, entry);
  EXPECT_EQ(syscall(kWhoCalls, {entries}), 1);
  EXPECT_EQ(element(entry, 1), makeFixnum(2));
  EXPECT_EQ((std::multiset<lispval>{element(entry, 2), element(entry, 3)}),
            (std::multiset<lispval>{defined1, defined2}));
  // The same entry counting from nil is an ordinary query of its target.
  element(entry, 1) = nil();
  EXPECT_EQ(syscall(kWhoCalls, {entries}), 1);
  EXPECT_EQ(element(entry, 1), makeFixnum(1));
}

TEST_F(HeapQueries, SelectedFunctionsAreFoundByTheirNumbers) {
  const lispval ten = function(true, 0x1000, 10, {});
  function(true, 0x1000, 20, {});
  const lispval thirty = function(false, 0x1000, 0x7f000000 | 30, {});  // low 24 bits count
  const lispval numbers = outsideVector(3, nil());
  element(numbers, 0) = makeFixnum(10);
  element(numbers, 1) = makeFixnum(25);
  element(numbers, 2) = makeFixnum(30);
  const lispval output = outsideVector(3, makeFixnum(-1));
  EXPECT_EQ(syscall(kSelectedFunctions, {numbers, output}), 2);
  EXPECT_EQ(element(output, 0), ten);
  EXPECT_EQ(element(output, 1), makeFixnum(-1)) << "a number no function has";
  EXPECT_EQ(element(output, 2), thirty);
}

// ---- findaddress ----

TEST_F(HeapQueries, FindAddressFindsTheValueInCarCdrVectorSlotAndFunctionConstant) {
  populate();
  const lispval value = oldString(7);
  const uint32_t inCar = oldCons(), inCdr = newCons();
  at(inCar) = value;
  at(inCdr + 4) = value;
  const uint32_t holder = vector(false, 3);
  at(holder + 12) = value;
  const lispval constant = function(true, 0x1000, 5, {nil(), value});
  const uint32_t twice = vector(true, 2);
  at(twice + 8) = at(twice + 12) = value;
  const lispval result = outsideVector(10, nil());
  const std::multiset<lispval> expected = {
      lisp::pointerWord(inCar, Tag::Cons), lisp::pointerWord(inCdr, Tag::Cons),
      lisp::pointerWord(holder, Tag::Other), constant, lisp::pointerWord(twice, Tag::Other)};
  EXPECT_EQ(syscall(kFindAddress, {result, value}), 5);
  EXPECT_EQ(results(result, 5), expected);
}

// ---- type counts ----

struct Tables {
  std::vector<uint32_t> counts = std::vector<uint32_t>(256), sizes = std::vector<uint32_t>(256);
};

class TypeCounts : public HeapQueries {
 protected:
  // The fixture's objects by type: conses at index 1, 8 bytes each.
  Tables expected(bool old, bool young, int keepNew = -1) {
    Tables t;
    auto add = [&](const Made& made, bool newSpace) {
      if (keepNew != 1) {
        t.counts[1] += static_cast<uint32_t>(made.conses.size());
        t.sizes[1] += 8 * static_cast<uint32_t>(made.conses.size());
      }
      for (const uint32_t object : made.objects) {
        if (newSpace && keepNew >= 0 &&
            ((at(object - 4) & gc::stamp::kKeepNew) != 0) != (keepNew == 1))
          continue;
        ++t.counts[at(object) & 0xff];
        t.sizes[at(object) & 0xff] += ausize_other(object);
      }
    };
    if (old) add(old_, false);
    if (young) add(new_, true);
    return t;
  }
  Tables answer(int32_t mode, int32_t expectedResult = 0) {
    const lispval counts = outsideVector(256, 0xdddddddd, kRawVectorType);
    const lispval sizes = outsideVector(256, 0xdddddddd, kRawVectorType);
    EXPECT_EQ(typeCounts(counts, sizes, makeFixnum(mode)), expectedResult);
    Tables t;
    for (uint32_t i = 0; i < 256; ++i) {
      t.counts[i] = element(counts, i);
      t.sizes[i] = element(sizes, i);
    }
    return t;
  }
  static void expectEqual(const Tables& got, const Tables& want) {
    EXPECT_EQ(got.counts, want.counts);
    EXPECT_EQ(got.sizes, want.sizes);
  }
};

TEST_F(TypeCounts, ModesZeroToFourCountTheFixturesObjectsAndBytes) {
  populate();
  // Two of the new objects carry the keep-new bit.
  at(*new_.objects.begin() - 4) |= gc::stamp::kKeepNew;
  at(*new_.objects.rbegin() - 4) |= gc::stamp::kKeepNew;
  expectEqual(answer(0), expected(true, false));
  expectEqual(answer(1), expected(true, true));
  expectEqual(answer(2), expected(false, true));
  expectEqual(answer(3), expected(false, true, 1));
  expectEqual(answer(4), expected(false, true, 0));
}

TEST_F(TypeCounts, ModeFiveIsTheNativeHeapAndLeavesTheLispHeapUntouched) {
  populate();
  const uint32_t otherTop = global(gc::global::kNewOtherTop),
                 consFill = global(gc::global::kConsFill);
  const std::vector<uint8_t> allocation(reinterpret_cast<const uint8_t*>(GsNewAllocationArea.start),
                                        reinterpret_cast<const uint8_t*>(GsNewAllocationArea.end));
  Tables want;
  get_nextf(want.counts.data(), want.sizes.data());
  expectEqual(answer(5), want);
  EXPECT_EQ(global(gc::global::kNewOtherTop), otherTop);
  EXPECT_EQ(global(gc::global::kConsFill), consFill);
  EXPECT_TRUE(std::equal(allocation.begin(), allocation.end(),
                         reinterpret_cast<const uint8_t*>(GsNewAllocationArea.start)));
}

TEST_F(TypeCounts, ModeSixIsWhatTheLastGlobalCollectionReclaimed) {
  oldString(30);
  oldString(3);
  vector(true, 5);
  global_gc(0);
  Tables want;
  want.counts.assign(ggc_last_hole_count, ggc_last_hole_count + 256);
  want.sizes.assign(ggc_last_hole_aucount, ggc_last_hole_aucount + 256);
  EXPECT_EQ(want.counts[lisp::type_code::SimpleString], 2u);
  expectEqual(answer(6), want);
}

TEST_F(TypeCounts, AnotherModeOrAShortVectorWritesNothing) {
  populate();
  for (const int32_t mode : {7, -1}) {
    const Tables got = answer(mode, -1);
    EXPECT_EQ(got.counts, std::vector<uint32_t>(256, 0xdddddddd)) << "mode " << mode;
  }
  const lispval shortCounts = outsideVector(255, 0xdddddddd, kRawVectorType);
  const lispval sizes = outsideVector(256, 0xdddddddd, kRawVectorType);
  EXPECT_EQ(typeCounts(shortCounts, sizes, makeFixnum(1)), -1);
  EXPECT_EQ(typeCounts(outsideVector(256, 0, lisp::type_code::SimpleVector), sizes, makeFixnum(1)),
            -1);
  EXPECT_EQ(element(sizes, 0), 0xddddddddu);
  EXPECT_EQ(element(shortCounts, 254), 0xddddddddu);
}

// ---- process memory ----

TEST(ProcessMemory, TheWorkingSetRisesByWhatIsTouched) {
  constexpr uint32_t kBytes = 8 << 20;
  uint32_t workingSet = 0, pageFile = 0;
  ASSERT_EQ(get_mem_info(&workingSet, &pageFile), 1);
  void* block = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  std::memset(block, 1, kBytes);
  uint32_t workingSetAfter = 0, pageFileAfter = 0;
  ASSERT_EQ(get_mem_info(&workingSetAfter, &pageFileAfter), 1);
  munmap(block, kBytes);
  EXPECT_GE(workingSetAfter - workingSet, kBytes - (kBytes >> 4));
  EXPECT_LE(workingSetAfter - workingSet, kBytes + (kBytes >> 2));
  EXPECT_GE(pageFileAfter - pageFile, kBytes - (kBytes >> 4));
}

}  // namespace
