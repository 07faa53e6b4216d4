// Weak vectors, finalizations and sysvectors after a scavenge's closure, on
// hand-built heaps: the allocation semispace is recorded as the from-space,
// and "copies" are objects made elsewhere that from-space originals are
// forwarded to, as the scavenger leaves them.
#include "runtime/gc/weak_objects.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc;
using gc_test::at;
using lisp::lispval;
using lisp::Tag;

std::vector<uint32_t> g_treated;
void recordSlot(uint32_t slot) {
  g_treated.push_back(slot);
}
const SlotTreatment kRecorder{recordSlot, recordSlot};

constexpr uint32_t kFinalizationHeader = 0x360;  // type 96, three slots

lispval otherWord(uint32_t header) {
  return lisp::pointerWord(header, Tag::Other);
}
lispval consWord(uint32_t cell) {
  return lisp::pointerWord(cell, Tag::Cons);
}

class WeakObjects : public gc_test::WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    g_treated.clear();
  }

  // The allocation semispace as it stands becomes the from-space.
  void recordFromSpace() {
    sync_shared_cons_pointer();
    setGsNewFrom();
  }
  // As the scavenger forwards what it copied.
  void forwardCons(uint32_t cell, uint32_t copy) { at(cell) = copy + 0x13; }
  void forwardOther(uint32_t header, lispval copy) {
    at(header - kPrefixBytes + 4) |= stamp::kForwarded;
    at(header) = copy;
  }
  // A vector of `n` nil slots of type 96 (count in the header) or 112.
  uint32_t weakVector(uint8_t type, uint32_t n, bool inNewSpace) {
    if (type == lisp::type_code::SimpleVector) return vector(!inNewSpace, n);
    const uint32_t bytes = 8 * ((n >> 1) + 1);
    const uint32_t header = inNewSpace ? other_from_new_xsmp(bytes) : other_from_old_xsmp(bytes);
    at(header) = (n << 8) | type;
    for (uint32_t i = 1; i <= n; ++i) at(header + 4 * i) = nil();
    return header;
  }
  uint32_t slotAddress(uint32_t vectorHeader, uint32_t i) {
    return vectorHeader + 4 * (i + ((at(vectorHeader) & 0xff) == 112 ? 2 : 1));
  }
  uint32_t hashTable(bool inNewSpace) {
    const uint32_t header = inNewSpace ? other_from_new_xsmp(48) : other_from_old_xsmp(48);
    at(header) = lisp::type_code::HashTable;
    for (uint32_t word = 1; word < 12; ++word) at(header + 4 * word) = nil();
    return header;
  }
  uint32_t finalization(lispval watched) {
    const uint32_t header = other_from_new_xsmp(16);
    at(header - 4) |= uint32_t{stamp::kFinalizationHalf} << stamp::kFlagHalfShift;
    at(header) = kFinalizationHeader;
    at(header + 4) = watched;
    at(header + 8) = at(header + 12) = nil();
    return header;
  }
  // A sysvector of `slots` value words with the kind and word 2 given, made
  // at `header` (its prefix below it) or in new space when `header` is 0.
  uint32_t sysvector(int32_t kind, uint32_t word2, uint32_t slots = 1, uint32_t header = 0) {
    const uint32_t bytes = 16 + 4 * slots;
    if (header == 0) header = other_from_new_xsmp(bytes);
    at(header) = ((bytes - 4) << 8) | lisp::type_code::Sysvector;
    at(header + 4) = lisp::makeFixnum(kind);
    at(header + 8) = word2;
    at(header + 12) = nil();
    for (uint32_t i = 0; i < slots; ++i) at(header + 16 + 4 * i) = nil();
    return header;
  }
  // Native storage of an indirect sysvector: a block of the given kind.
  lispval nativeStorage(int32_t kind) {
    const uint32_t header = other_from_static_xsmp(32, 0, nullptr);
    EXPECT_NE(header, 0u);
    sysvector(kind, lisp::makeFixnum(1), 4, header);
    return otherWord(header);
  }
  uint32_t toSpaceObject(uint32_t offset) {
    at(GsNewScavengeToArea + offset) = 0;
    at(GsNewScavengeToArea + offset + 4) = 0;
    return GsNewScavengeToArea + offset + kPrefixBytes;
  }
  std::vector<uint32_t> sysvectorChain() {
    std::vector<uint32_t> headers;
    for (uint32_t prefix = GsSVC_head; prefix != 0; prefix = at(prefix))
      headers.push_back(prefix + kPrefixBytes);
    return headers;
  }
  static uint32_t nativeBytesInUse() {
    uint32_t freeBytes[native_heap::kFreeTableWords], usedBytes[native_heap::kUsedTableWords];
    get_nextf(freeBytes, usedBytes);
    return usedBytes[native_heap::kClassCount + 1];
  }
};

// ---- weak slots ----

TEST_F(WeakObjects, WeakSlotsJudgeFromSpaceValuesByTheirForwarding) {
  const uint32_t liveCons = newCons(), deadCons = newCons();
  const uint32_t liveOther = vector(false, 2), deadOther = vector(false, 2);
  const uint32_t liveSymbol = symbol(false), deadSymbol = symbol(false);
  const uint32_t oldVector = vector(true, 1), consCopy = oldCons();
  const uint32_t otherCopy = vector(true, 2), symbolCopy = symbol(true);
  recordFromSpace();
  forwardCons(liveCons, consCopy);
  forwardOther(liveOther, otherWord(otherCopy));
  forwardOther(liveSymbol, lisp::pointerWord(symbolCopy, Tag::Symbol));

  const struct {
    const char* name;
    lispval value;
    int dead;
    lispval after;
  } cases[] = {
      {"forwarded cons", consWord(liveCons), 0, consWord(consCopy)},
      {"forwarded other", otherWord(liveOther), 0, otherWord(otherCopy)},
      {"forwarded symbol", lisp::pointerWord(liveSymbol, Tag::Symbol), 0,
       lisp::pointerWord(symbolCopy, Tag::Symbol)},
      {"dead cons", consWord(deadCons), 1, consWord(deadCons)},
      {"dead other", otherWord(deadOther), 1, otherWord(deadOther)},
      {"dead symbol", lisp::pointerWord(deadSymbol, Tag::Symbol), 1,
       lisp::pointerWord(deadSymbol, Tag::Symbol)},
      {"old object", otherWord(oldVector), 0, otherWord(oldVector)},
      {"fixnum", lisp::makeFixnum(12), 0, lisp::makeFixnum(12)},
      {"fixnum whose bits fall in the from-space", deadOther + 16, 0, deadOther + 16},
      {"character", lisp::makeCharacter('a'), 0, lisp::makeCharacter('a')},
      {"nil", nil(), 0, nil()},
  };
  for (const auto& c : cases) {
    uint32_t slot = c.value;
    EXPECT_EQ(check_weak_slot(addressOf(&slot)), c.dead) << c.name;
    EXPECT_EQ(slot, c.after) << c.name;
  }
}

// ---- weak vectors ----

class WeakVectors : public WeakObjects, public ::testing::WithParamInterface<int> {};

TEST_P(WeakVectors, DeadSlotsBecomeNilAndLiveOnesFollowTheirCopies) {
  const uint32_t deadOther = vector(false, 1), liveOther = vector(false, 1);
  const uint32_t deadCons = newCons(), liveCons = newCons();
  const uint32_t otherCopy = vector(true, 1), consCopy = oldCons();
  const uint32_t weak = weakVector(static_cast<uint8_t>(GetParam()), 5, false);
  recordFromSpace();
  forwardOther(liveOther, otherWord(otherCopy));
  forwardCons(liveCons, consCopy);
  const lispval before[] = {otherWord(deadOther), otherWord(liveOther), lisp::makeFixnum(3),
                            consWord(deadCons), consWord(liveCons)};
  for (uint32_t i = 0; i < 5; ++i) at(slotAddress(weak, i)) = before[i];

  scan_weak_vector(weak, 0);

  const lispval after[] = {nil(), otherWord(otherCopy), lisp::makeFixnum(3), nil(),
                           consWord(consCopy)};
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(at(slotAddress(weak, i)), after[i]) << i;
}

// A weak-key vector of four keys (key 2 dead, key 0 live through a copy)
// whose last slot is its hash table, with a value vector of four elements.
struct WeakKeyTable {
  uint32_t weak, table, tableCopy, values, liveKeyCopy;
};

class WeakKeyVectors : public WeakVectors {
 protected:
  static constexpr lispval kReplacementValue = lisp::makeFixnum(77);

  WeakKeyTable build(bool tableSurvives) {
    WeakKeyTable t{};
    const uint32_t liveKey = vector(false, 1), deadKey = vector(false, 1);
    t.liveKeyCopy = vector(true, 1);
    t.weak = weakVector(static_cast<uint8_t>(GetParam()), 5, false);
    t.table = hashTable(true);
    t.tableCopy = hashTable(false);
    t.values = vector(true, 4);
    const uint32_t replacement = symbol(true);
    at(replacement + 4) = kReplacementValue;
    global(global::kWeakReplacement) = lisp::pointerWord(replacement, Tag::Symbol);
    recordFromSpace();

    // The table lives in new space; when it survives, its copy (filled in as
    // the scavenger's closure leaves it) refers to the weak vector.
    at(t.tableCopy + 4) = otherWord(t.weak);
    at(t.tableCopy + 28) = lisp::makeFixnum(5);
    at(t.tableCopy + 32) = otherWord(t.values);
    at(t.table + 4) = otherWord(t.weak);
    at(t.table + 28) = lisp::makeFixnum(5);
    if (tableSurvives) forwardOther(t.table, otherWord(t.tableCopy));
    forwardOther(liveKey, otherWord(t.liveKeyCopy));
    for (uint32_t i = 0; i < 4; ++i) at(t.values + 8 + 4 * i) = lisp::makeFixnum(100 + i);
    const lispval keys[] = {otherWord(liveKey), lisp::makeFixnum(1), otherWord(deadKey),
                            lisp::makeCharacter('k'), otherWord(t.table)};
    for (uint32_t i = 0; i < 5; ++i) at(slotAddress(t.weak, i)) = keys[i];
    return t;
  }
};

TEST_P(WeakKeyVectors, ADeadKeyIsReplacedAndLeavesItsLivingTable) {
  const WeakKeyTable t = build(true);
  scan_weak_vector(t.weak, 1);

  EXPECT_EQ(at(slotAddress(t.weak, 0)), otherWord(t.liveKeyCopy));
  EXPECT_EQ(at(slotAddress(t.weak, 1)), lisp::makeFixnum(1));
  EXPECT_EQ(at(slotAddress(t.weak, 2)), kReplacementValue);
  EXPECT_EQ(at(slotAddress(t.weak, 3)), lisp::makeCharacter('k'));
  EXPECT_EQ(at(slotAddress(t.weak, 4)), otherWord(t.tableCopy));
  EXPECT_EQ(at(t.tableCopy + 28), lisp::makeFixnum(4));  // count 5 -> 4
  const lispval values[] = {lisp::makeFixnum(100), lisp::makeFixnum(101), nil(),
                            lisp::makeFixnum(103)};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(at(t.values + 8 + 4 * i), values[i]) << i;
}

TEST_P(WeakKeyVectors, ADeadTableChangesNoCountAndLeavesNoPointerIntoTheFromSpace) {
  const WeakKeyTable t = build(false);
  scan_weak_vector(t.weak, 1);

  EXPECT_EQ(at(slotAddress(t.weak, 2)), kReplacementValue);
  EXPECT_EQ(at(slotAddress(t.weak, 4)), nil());
  EXPECT_EQ(at(t.table + 28), lisp::makeFixnum(5));
  EXPECT_EQ(at(t.tableCopy + 28), lisp::makeFixnum(5));
  EXPECT_EQ(at(t.values + 8 + 8), lisp::makeFixnum(102));
}

INSTANTIATE_TEST_SUITE_P(Types, WeakVectors,
                         ::testing::Values(int{lisp::type_code::LispVector},
                                           int{lisp::type_code::SimpleVector}));
INSTANTIATE_TEST_SUITE_P(Types, WeakKeyVectors,
                         ::testing::Values(int{lisp::type_code::LispVector},
                                           int{lisp::type_code::SimpleVector}));

TEST_F(WeakObjects, TheTableIsAdjustedOnlyWhenItsKeyVectorIsTheWeakVector) {
  const uint32_t weak = weakVector(lisp::type_code::SimpleVector, 3, false);
  const uint32_t other = weakVector(lisp::type_code::SimpleVector, 3, false);
  const uint32_t table = hashTable(false), values = vector(false, 3);
  at(table + 4) = otherWord(other);
  at(table + 28) = lisp::makeFixnum(5);
  at(table + 32) = otherWord(values);
  at(values + 8 + 4) = lisp::makeFixnum(9);

  swv_adjust_hash_table(otherWord(weak), 2, 1, otherWord(table));
  swv_adjust_hash_table(otherWord(weak), 2, 1, otherWord(values));  // not a hash table
  swv_adjust_hash_table(otherWord(weak), 2, 1, lisp::makeFixnum(3));
  EXPECT_EQ(at(table + 28), lisp::makeFixnum(5));
  EXPECT_EQ(at(values + 12), lisp::makeFixnum(9));

  at(table + 4) = otherWord(weak);
  swv_adjust_hash_table(otherWord(weak), 2, 7, otherWord(table));  // beyond the values: count only
  EXPECT_EQ(at(table + 28), lisp::makeFixnum(4));
  at(table + 28) = nil();  // a count that is no fixnum stays
  swv_adjust_hash_table(otherWord(weak), 2, 1, otherWord(table));
  EXPECT_EQ(at(table + 28), nil());
  EXPECT_EQ(at(values + 12), nil());
}

// ---- finalizations ----

TEST_F(WeakObjects, ADeadObjectsFinalizationIsQueuedOnceAndRevivesIt) {
  const uint32_t dead = vector(false, 1), live = vector(false, 1), liveCopy = vector(true, 1);
  const uint32_t first = finalization(otherWord(dead));
  const uint32_t watcher = finalization(otherWord(live));
  const uint32_t second = finalization(consWord(newCons()));
  recordFromSpace();
  forwardOther(live, otherWord(liveCopy));
  global(global::kFinalizeQueue) = nil();
  for (uint32_t header : {second, watcher, first}) pushOnChain(GsFinlzChain, header - kPrefixBytes);

  EXPECT_EQ(tenurecatchup_finalizations(&kRecorder), 1);

  EXPECT_EQ(GsFinlzChain, 0u);
  EXPECT_EQ(global(global::kFinalizeQueue), otherWord(second));
  EXPECT_EQ(at(second + 12), otherWord(first));
  EXPECT_EQ(at(first + 12), nil());
  EXPECT_EQ(g_treated, (std::vector<uint32_t>{first + 4, second + 4}));
  for (uint32_t header : {first, second})
    EXPECT_FALSE(at(header - 4) & stamp::kFinalizationPending);
  EXPECT_TRUE(at(watcher - 4) & stamp::kFinalizationPending);  // its object lives
  EXPECT_EQ(at(watcher + 4), otherWord(liveCopy));
  EXPECT_EQ(at(watcher + 12), nil());

  // Chained again, neither the triggered nor the watching one is queued.
  g_treated.clear();
  for (uint32_t header : {first, watcher}) pushOnChain(GsFinlzChain, header - kPrefixBytes);
  EXPECT_EQ(tenurecatchup_finalizations(&kRecorder), 0);
  EXPECT_EQ(global(global::kFinalizeQueue), otherWord(second));
  EXPECT_TRUE(g_treated.empty());
  EXPECT_EQ(tenurecatchup_finalizations(&kRecorder), 0);
}

// ---- sysvectors ----

TEST_F(WeakObjects, TheSysvectorChainKeepsTheCopiesInOrderAndFreesDeadStorage) {
  const lispval freedStorage = nativeStorage(kSysvectorDirect);
  const lispval keptStorage = nativeStorage(kSysvectorStackStorage);
  const uint32_t direct = sysvector(kSysvectorDirect, lisp::makeFixnum(1));
  const uint32_t deadIndirect = sysvector(kSysvectorIndirect, freedStorage);
  const uint32_t liveIndirect = sysvector(kSysvectorIndirect, nativeStorage(kSysvectorDirect));
  const uint32_t deadKeeping = sysvector(kSysvectorIndirect, keptStorage);
  const uint32_t deadEmpty = sysvector(kSysvectorIndirect, 0);
  uint32_t stackStorage[8] = {};  // storage outside the native heap
  const uint32_t deadOnStack = sysvector(kSysvectorIndirect, otherWord(addressOf(stackStorage)));
  for (uint32_t header : {direct, deadIndirect, liveIndirect, deadKeeping, deadEmpty, deadOnStack})
    appendSysvector(header - kPrefixBytes);
  recordFromSpace();
  const uint32_t directCopy = toSpaceObject(0), indirectCopy = toSpaceObject(64);
  at(indirectCopy - kPrefixBytes) = 0xdeadbee0;  // whatever the copy's link held
  forwardOther(direct, otherWord(directCopy));
  forwardOther(liveIndirect, otherWord(indirectCopy));
  const uint32_t usedBefore = nativeBytesInUse();
  vxmmalloc_frees = 0;

  scan_sysvectors();

  EXPECT_EQ(sysvectorChain(), (std::vector<uint32_t>{directCopy, indirectCopy}));
  EXPECT_EQ(GsSVC_tail, indirectCopy - kPrefixBytes);
  EXPECT_EQ(vxmmalloc_frees, 40u);  // the 32-byte object and its prefix
  EXPECT_LT(nativeBytesInUse(), usedBefore);
  EXPECT_FALSE(
      malloc_verify_object(reinterpret_cast<void*>(lisp::objectAddress(freedStorage) - 8)));
  EXPECT_TRUE(malloc_verify_object(reinterpret_cast<void*>(lisp::objectAddress(keptStorage) - 8)));
}

TEST_F(WeakObjects, AnEmptySysvectorChainStaysEmpty) {
  recordFromSpace();
  scan_sysvectors();
  EXPECT_EQ(GsSVC_head, 0u);
  EXPECT_EQ(GsSVC_tail, addressOf(&GsSVC_head));
}

TEST_F(WeakObjects, ADeadDirectSysvectorOnTheChainIsFatal) {
  const uint32_t direct = sysvector(kSysvectorDirect, lisp::makeFixnum(1));
  appendSysvector(direct - kPrefixBytes);
  recordFromSpace();
  char address[32];
  std::snprintf(address, sizeof address, "0x%x", direct);
  EXPECT_EXIT(scan_sysvectors(), testing::ExitedWithCode(1),
              std::string("^Vexmora CL: System Error \\(gsgc\\): Sysvec chain has non-indirect "
                          "item at ") +
                  address + "\n$");
}

TEST_F(WeakObjects, OldStackStorageOutsideTheRangeIsForgotten) {
  const uint32_t low = 0x10000000, high = 0x10001000;
  const uint32_t inside = sysvector(kSysvectorIndirect, low + 0x12);
  const uint32_t atHigh = sysvector(kSysvectorIndirect, high);
  const uint32_t below = sysvector(kSysvectorIndirect, low - 6);
  const uint32_t above = sysvector(kSysvectorIndirect, high + 0x12);
  const uint32_t direct = sysvector(kSysvectorDirect, lisp::makeFixnum(1));
  for (uint32_t header : {inside, atHigh, below, above, direct})
    appendSysvector(header - kPrefixBytes);

  clear_old_stack_sysvectors(low, high);

  EXPECT_EQ(at(inside + 8), low + 0x12);
  EXPECT_EQ(at(atHigh + 8), high);
  EXPECT_EQ(at(below + 8), 0u);
  EXPECT_EQ(at(above + 8), 0u);
  EXPECT_EQ(at(direct + 8), lisp::makeFixnum(1));
}

// ---- the constructors' objects ----

class ConstructedWeakObjects : public gc_test::LispConstructorHeap {
 protected:
  static constexpr int32_t kNewWeakVector = 0x2e7, kNewWeakKeyVector = 0x2cf;
  static constexpr int32_t kNewFinalization = 0x2eb;
  static uint32_t stampOf(lispval object) { return at(lisp::objectAddress(object) - 4); }
};

TEST_F(ConstructedWeakObjects, TheConstructorsMarkWhatTheScanReads) {
  using namespace stamp;
  const struct {
    int32_t slot;
    uint32_t count;
    uint32_t flags;
  } cases[] = {
      {kNewWeakVector, 1, kWeakVector | kKeepNew},
      {kNewWeakKeyVector, 2, kWeakVector | kReplacement},
      {kNewWeakKeyVector, 1, kWeakVector | kReplacement | kKeepNew},
  };
  for (const auto& c : cases) {
    const lispval vector =
        make(setupFor(c.slot, lisp::makeFixnum(2), lisp::makeFixnum(1), c.count));
    EXPECT_EQ(stampOf(vector) & ~kGenerationMask, c.flags) << c.slot << " with " << c.count;
  }
  const lispval finalization = make(setupFor(kNewFinalization));
  EXPECT_EQ(stampOf(finalization) & ~kGenerationMask, kFinalizationPending | kKeepNew);
  EXPECT_EQ(header(finalization), kFinalizationHeader);

  // A weak vector as made, holding an object that died and a fixnum.
  const lispval weak = make(setupFor(kNewWeakVector, lisp::makeFixnum(2), 0, 1));
  const lispval dead = make(setupFor(kNewWeakVector, lisp::makeFixnum(1), 0, 1));
  at(weak - 0xa) = dead;
  at(weak - 0x6) = lisp::makeFixnum(5);
  sync_shared_cons_pointer();
  setGsNewFrom();
  scan_weak_vector(lisp::objectAddress(weak), (stampOf(weak) & kReplacement) != 0);
  EXPECT_EQ(at(weak - 0xa), nil());
  EXPECT_EQ(at(weak - 0x6), lisp::makeFixnum(5));
}

// ---- stacks ----

uint32_t g_staticWord = 0;

TEST_F(WeakObjects, StackAllocatedAnswersWithAFixnum) {
  uint32_t local = 0;
  EXPECT_EQ(stack_allocated_p(addressOf(&local)), lisp::makeFixnum(1));
  EXPECT_EQ(stack_allocated_p(addressOf(&g_staticWord)), lisp::makeFixnum(0));
  EXPECT_EQ(stack_allocated_p(vector(false, 1)), lisp::makeFixnum(0));
  EXPECT_EQ(stack_allocated_p(0), lisp::makeFixnum(0));
}

}  // namespace
