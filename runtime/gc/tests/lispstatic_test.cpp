// The lisp-static registry on a fresh heap: placing in both modes, freeing,
// marking and sweeping, and a seeded random run against a model.
#include "runtime/gc/lispstatic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/root_scan.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using namespace gc;
using gc_test::at;
using lisp::lispval;

constexpr int kSearch = 0, kAppend = 1;

std::vector<uint32_t> g_slots;
void recordSlot(uint32_t slot) {
  g_slots.push_back(slot);
}
std::vector<uint32_t> g_visited;
void recordVisit(uint32_t header) {
  g_visited.push_back(header);
}
void ignoreSlot(uint32_t) {}

class Lispstatic : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    g_slots.clear();
    g_visited.clear();
    lispstatic_adds = lispstatic_frees = 0;
  }

  // A simple vector of two nil elements in a native-heap block.
  lispval makeStatic() {
    const uint32_t header = other_from_static_xsmp(16, 0, nullptr);
    EXPECT_NE(header, 0u);
    at(header) = lisp::type_code::SimpleVector;
    at(header + 4) = lisp::makeFixnum(2);
    at(header + 8) = at(header + 12) = nil();
    return lisp::pointerWord(header, lisp::Tag::Other);
  }
  std::vector<lispval> addMany(int count, int mode) {
    std::vector<lispval> objects;
    for (int i = 0; i < count; ++i) {
      objects.push_back(makeStatic());
      add_lispstatic(objects.back(), mode);
    }
    return objects;
  }
  static uint32_t positionOf(lispval object) { return at(lisp::objectAddress(object) - 8); }
  static uint32_t blockOf(uint32_t index) { return at(first_lispstatic + 4 * index); }
  static uint32_t nativeBlocksInUse() {
    return std::accumulate(std::begin(nmalloc), std::end(nmalloc), 0u);
  }
};

// ---- placing ----

TEST_F(Lispstatic, TheFirstObjectCreatesTheTableAndSetsTheRange) {
  ASSERT_EQ(first_lispstatic, 0u);
  const lispval object = makeStatic();
  add_lispstatic(object, kSearch);
  EXPECT_NE(first_lispstatic, 0u);
  EXPECT_EQ(lispstatic_block_blocks, 2048u);
  EXPECT_EQ(Gslispstatic_count, 1);
  EXPECT_EQ(Gslispstatic_min, object);
  EXPECT_EQ(Gslispstatic_max, object);
  EXPECT_EQ(positionOf(object), lispstaticPosition(0, 0));
  EXPECT_EQ(valid_lispstatic(object, 1), 1);
  EXPECT_EQ(lispstatic_adds, 1u);
}

TEST_F(Lispstatic, InSearchModeThe1025thObjectGoesToEntryZeroOfBlockOne) {
  const std::vector<lispval> objects = addMany(1025, kSearch);
  EXPECT_EQ(positionOf(objects[1023]), lispstaticPosition(0, 1023));
  EXPECT_EQ(positionOf(objects[1024]), lispstaticPosition(1, 0));
  EXPECT_EQ(Gslispstatic_count, 1025);
  for (lispval object : objects) ASSERT_EQ(valid_lispstatic(object, 1), 1);
}

TEST_F(Lispstatic, AppendModeTakesTheNextBlockAfterEntry1023AndSearchModeFillsHoles) {
  const std::vector<lispval> objects = addMany(1024, kAppend);
  delete_lispstatic(objects[5]);
  const lispval appended = makeStatic(), searched = makeStatic();
  add_lispstatic(appended, kAppend);
  EXPECT_EQ(positionOf(appended), lispstaticPosition(1, 0));
  add_lispstatic(searched, kSearch);
  EXPECT_EQ(positionOf(searched), lispstaticPosition(0, 5));
  EXPECT_EQ(last_lispstatic, 1u);
  EXPECT_EQ(last_lispstatic_index, 1u);
}

TEST_F(Lispstatic, TheAppendPositionComesBackWhenTheHighestObjectsGo) {
  const std::vector<lispval> objects = addMany(6, kAppend);
  delete_lispstatic(objects[3]);  // not the highest: the position stays
  EXPECT_EQ(last_lispstatic_index, 6u);
  delete_lispstatic(objects[5]);
  EXPECT_EQ(last_lispstatic_index, 5u);
  delete_lispstatic(objects[4]);  // the highest again; the hole at 3 stays for search mode
  EXPECT_EQ(last_lispstatic_index, 4u);
  const lispval next = makeStatic();
  add_lispstatic(next, kAppend);
  EXPECT_EQ(positionOf(next), lispstaticPosition(0, 4));
}

TEST_F(Lispstatic, ATableGrownBeforeItsFirstUseIsAllZero) {
  void* used = vxmmalloc(4 * 4096, 0, 0);  // a block of the table's size, dirtied and freed
  std::memset(used, 0xab, 4 * 4096);
  vxmfree(used, 0);
  reallocate_lispstatic_blocks();
  EXPECT_EQ(lispstatic_block_blocks, 4096u);
  for (uint32_t index = 0; index < 4096; ++index) ASSERT_EQ(blockOf(index), 0u) << index;
}

TEST_F(Lispstatic, TheBlockTableGrowsByTwoThousandFortyEightZeroedEntries) {
  const lispval object = makeStatic();
  add_lispstatic(object, kAppend);
  reallocate_lispstatic_blocks();
  EXPECT_EQ(lispstatic_block_blocks, 4096u);
  for (uint32_t index = 2048; index < 4096; ++index) ASSERT_EQ(blockOf(index), 0u) << index;
  EXPECT_EQ(valid_lispstatic(object, 1), 1);
}

// ---- freeing ----

TEST_F(Lispstatic, DeletingTheOnlyObjectOfABlockFreesTheBlock) {
  const std::vector<lispval> objects = addMany(1025, kSearch);
  const uint32_t blocksBefore = nativeBlocksInUse();
  ASSERT_NE(blockOf(1), 0u);
  vxmmalloc_frees = 0;
  delete_lispstatic(objects[1024]);
  EXPECT_EQ(blockOf(1), 0u);
  EXPECT_EQ(nativeBlocksInUse(), blocksBefore - 2);  // the object and the block
  EXPECT_EQ(vxmmalloc_frees, 24u);                   // the object's 16 bytes and prefix
  EXPECT_EQ(Gslispstatic_count, 1024);
  EXPECT_EQ(lispstatic_frees, 1u);
  EXPECT_EQ(valid_lispstatic(objects[1024], 0), 0);
}

TEST_F(Lispstatic, StrangersAndSecondRegistrationsChangeNothing) {
  const lispval object = makeStatic(), stranger = makeStatic();
  add_lispstatic(object, kSearch);
  add_lispstatic(object, kSearch);
  add_lispstatic(object, kAppend);
  const uint32_t heapObject = other_from_new_xsmp(16);
  for (lispval value :
       {lispval{0}, lisp::makeFixnum(7), nil(), lisp::pointerWord(heapObject, lisp::Tag::Other)})
    add_lispstatic(value, kSearch);
  EXPECT_EQ(Gslispstatic_count, 1);
  EXPECT_EQ(lispstatic_adds, 1u);
  EXPECT_EQ(last_lispstatic_index, 1u);

  const uint32_t blocksBefore = nativeBlocksInUse();
  delete_lispstatic(stranger);
  delete_lispstatic(lisp::makeFixnum(7));
  EXPECT_EQ(nativeBlocksInUse(), blocksBefore);
  EXPECT_EQ(Gslispstatic_count, 1);
  EXPECT_EQ(valid_lispstatic(stranger, 0), 1);

  // Registered once, the object is freed once: no entry is left to sweep.
  delete_lispstatic(object);
  EXPECT_EQ(Gslispstatic_count, 0);
  EXPECT_EQ(nativeBlocksInUse(), blocksBefore - 2);
  scan_lispstatic(nullptr, 1);
  EXPECT_EQ(lispstatic_frees, 1u);
  EXPECT_EQ(nativeBlocksInUse(), blocksBefore - 2);
}

// With every free list emptied and the native heap's break where it cannot
// grow, the next allocation of the native heap fails.
void exhaustNativeHeap() {
  std::fill(std::begin(nextf), std::end(nextf), 0u);
  vxmmalloc_heap.brk = 0xfffff000;
}

TEST_F(Lispstatic, ANativeHeapWithoutRoomForTheRegistryIsFatal) {
  const lispval first = makeStatic(), second = makeStatic();
  add_lispstatic(first, kSearch);
  delete_lispstatic(first);  // block 0 goes
  EXPECT_EXIT(
      {
        exhaustNativeHeap();
        add_lispstatic(second, kSearch);
      },
      testing::ExitedWithCode(1),
      "^Vexmora CL: System Error \\(gsgc\\): Could not allocate lispstatic structure in "
      "vxmmalloc-heap\n$");
  EXPECT_EXIT(
      {
        exhaustNativeHeap();
        reallocate_lispstatic_blocks();
      },
      testing::ExitedWithCode(1),
      "^Vexmora CL: System Error \\(gsgc\\): Could not expand lispstatic structure array in "
      "vxmmalloc-heap\n$");
}

// ---- marking and sweeping ----

TEST_F(Lispstatic, TheSweepFreesTheUnmarkedAndKeepsTheMarkedWithTheRangeRecomputed) {
  std::vector<lispval> objects = addMany(3, kSearch);
  std::sort(objects.begin(), objects.end());
  const lispval kept = objects[1];
  mark_lispstatic(kept, recordSlot);
  mark_lispstatic(kept, recordSlot);  // visited the first time only
  const uint32_t header = lisp::objectAddress(kept);
  EXPECT_EQ(g_slots, (std::vector<uint32_t>{header + 8, header + 12}));

  scan_lispstatic(recordVisit, 1);
  EXPECT_EQ(g_visited, std::vector<uint32_t>{header});
  EXPECT_EQ(Gslispstatic_count, 1);
  EXPECT_EQ(Gslispstatic_min, kept);
  EXPECT_EQ(Gslispstatic_max, kept);
  EXPECT_EQ(valid_lispstatic(objects[0], 0), 0);
  EXPECT_EQ(valid_lispstatic(objects[2], 0), 0);
  EXPECT_EQ(lispstatic_frees, 2u);

  // The sweep cleared the mark: without sweeping everything is visited,
  // sweeping again frees the object and its block.
  g_visited.clear();
  scan_lispstatic(recordVisit, 0);
  EXPECT_EQ(g_visited, std::vector<uint32_t>{header});
  scan_lispstatic(nullptr, 1);
  EXPECT_EQ(Gslispstatic_count, 0);
  EXPECT_EQ(blockOf(0), 0u);
}

TEST_F(Lispstatic, MarkingSkipsAFunctionsCodeAndEntryWordsAndIgnoresStrangers) {
  const uint32_t header = other_from_static_xsmp(40, 0, nullptr);
  at(header) = lisp::type_code::Function;  // no constants: words 0 to 9
  for (uint32_t word = 1; word < 10; ++word) at(header + 4 * word) = nil();
  const lispval function = lisp::pointerWord(header, lisp::Tag::Other);
  add_lispstatic(function, kSearch);
  mark_lispstatic(function, recordSlot);
  std::vector<uint32_t> words;
  for (uint32_t slot : g_slots) words.push_back((slot - header) / 4);
  EXPECT_EQ(words, (std::vector<uint32_t>{3, 5, 6, 7, 8}));

  g_slots.clear();
  mark_lispstatic(makeStatic(), recordSlot);
  mark_lispstatic(lisp::makeFixnum(1), recordSlot);
  EXPECT_TRUE(g_slots.empty());
}

// The scavenger's treatment of a value outside the from-space, as far as
// lisp-static objects go: those in the registry's range are marked.
void markWhenLispStatic(uint32_t slot) {
  const lispval value = at(slot);
  if (Gslispstatic_count > 0 && value >= Gslispstatic_min && value <= Gslispstatic_max)
    mark_lispstatic(value, markWhenLispStatic);
}
const SlotTreatment kMarking{markWhenLispStatic, markWhenLispStatic};

TEST_F(Lispstatic, AnObjectReachedOnlyThroughAMarkedPageSurvivesTheSweepAndThePageStaysMarked) {
  const lispval reached = makeStatic(), unreached = makeStatic();
  const lispval inner = makeStatic();  // reached through `reached` alone
  for (lispval object : {reached, unreached, inner}) add_lispstatic(object, kSearch);
  at(lisp::objectAddress(reached) + 8) = inner;
  const uint32_t holder = other_from_old_xsmp(16);
  at(holder) = lisp::type_code::SimpleVector;
  at(holder + 4) = lisp::makeFixnum(2);
  at(holder + 8) = reached;
  at(holder + 12) = nil();
  cnoteroot(holder + 8);  // the write barrier's note of the store
  GsOldAreas->rootScanLimit = GsOldAreas->frontier;
  ASSERT_TRUE(rootBitSet(holder + 8));

  scan_rootset_entries(&kMarking);
  scan_lispstatic(nullptr, 1);

  EXPECT_EQ(valid_lispstatic(reached, 1), 1);
  EXPECT_EQ(valid_lispstatic(inner, 1), 1);
  EXPECT_EQ(valid_lispstatic(unreached, 0), 0);
  EXPECT_EQ(Gslispstatic_count, 2);
  EXPECT_TRUE(rootBitSet(holder + 8));
}

// ---- a seeded random run against a model ----

TEST_F(Lispstatic, RandomAddsDeletesAndSweepsAgreeWithAModel) {
  std::mt19937 random(20261210);
  std::map<lispval, bool> model;  // registered objects
  std::vector<lispval> strangers;
  const uint32_t baseline = nativeBlocksInUse();
  auto pick = [&](const std::map<lispval, bool>& objects) {
    auto it = objects.begin();
    std::advance(it, random() % objects.size());
    return it->first;
  };

  size_t largest = 0;
  for (int step = 0; step < 8000; ++step) {
    // Mostly adding at first, so that the registry spans several blocks,
    // then mostly deleting, so that blocks empty again.
    const uint32_t choice = random() % 100 + (step < 4000 ? 0 : 40);
    if (model.empty() || choice < 70 || (choice >= 95 && step < 4000)) {
      const lispval object = makeStatic();
      add_lispstatic(object, static_cast<int>(random() % 2));
      model[object] = true;
    } else if (choice < 72) {
      add_lispstatic(pick(model), static_cast<int>(random() % 2));
    } else if (choice < 92 || choice >= 95) {
      const lispval object = pick(model);
      delete_lispstatic(object);
      model.erase(object);
    } else if (choice < 94) {
      strangers.push_back(makeStatic());
      delete_lispstatic(strangers.back());
    } else {
      for (auto& [object, marked] : model) {
        marked = random() % 64 != 0;
        if (marked) mark_lispstatic(object, ignoreSlot);
      }
      scan_lispstatic(nullptr, 1);
      std::erase_if(model, [](const auto& entry) { return !entry.second; });
      if (!model.empty()) {
        ASSERT_EQ(Gslispstatic_min, model.begin()->first) << step;
        ASSERT_EQ(Gslispstatic_max, model.rbegin()->first) << step;
      }
    }

    largest = std::max(largest, model.size());
    ASSERT_EQ(Gslispstatic_count, static_cast<int32_t>(model.size())) << step;
    std::set<uint32_t> blocks;
    for (const auto& entry : model) {
      ASSERT_EQ(valid_lispstatic(entry.first, 1), 1) << step;
      blocks.insert(positionOf(entry.first) & 0xffff);
    }
    if (!model.empty()) {
      ASSERT_LE(Gslispstatic_min, model.begin()->first) << step;
      ASSERT_GE(Gslispstatic_max, model.rbegin()->first) << step;
    }
    for (lispval stranger : strangers) ASSERT_EQ(valid_lispstatic(stranger, 1), 0) << step;
    // Every registered object, every block that holds one, the table and
    // the strangers: nothing else of the registry stays in the native heap.
    ASSERT_EQ(nativeBlocksInUse(), baseline + model.size() + blocks.size() + 1 + strangers.size())
        << step;
  }
  EXPECT_GT(largest, kLispstaticEntries + kLispstaticEntries / 2);
  EXPECT_LT(model.size(), largest / 2);
}

}  // namespace
