#include "runtime/gc/heap_walkers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/os/thread_storage.h"

namespace {

using namespace gc;
using namespace gc_test;

std::vector<uint32_t> g_cells, g_objects, g_slots;
uint32_t g_stopAt = 0;

uint32_t recordCell(uint32_t cell) {
  g_cells.push_back(cell);
  return 0;
}
uint32_t recordObject(uint32_t object) {
  g_objects.push_back(object);
  return object == g_stopAt ? object : 0;
}
void recordSlot(uint32_t slot) {
  g_slots.push_back(slot);
}
void ignoreSlot(uint32_t) {}

std::set<uint32_t> asSet(const std::vector<uint32_t>& items) {
  return {items.begin(), items.end()};
}

class HeapWalkers : public WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    g_cells.clear();
    g_objects.clear();
    g_slots.clear();
    g_stopAt = 0;
  }
  std::set<uint32_t> oldIn(const std::set<uint32_t>& items, const GsOldArea* area) {
    std::set<uint32_t> inside;
    for (uint32_t item : items)
      if (item >= areaAddress(area) && item < area->end) inside.insert(item);
    return inside;
  }
  // Every value word of an object, by the extent table.
  static void addValueWords(uint32_t object, std::set<uint32_t>& slots) {
    const ObjectExtent extent = extentOf(at(object), at(object + 4));
    for (int range = 0; range < 2; ++range)
      for (uint32_t i = 0; i < extent.wordCount[range]; ++i)
        slots.insert(object + 4 * (extent.firstWord[range] + i));
  }
};

TEST_F(HeapWalkers, ScanAllVisitsWhatWasMadeBySelector) {
  populate();
  GsOldArea* closed = GsOldAreas;
  GsOldArea* open = GsLastOldArea;
  ASSERT_EQ(GsOpenOldAreaFence, open);
  struct Case {
    int32_t selector;
    int includeNew;
    std::set<uint32_t> conses, objects;
  };
  std::set<uint32_t> allConses = old_.conses, allObjects = old_.objects;
  allConses.insert(new_.conses.begin(), new_.conses.end());
  allObjects.insert(new_.objects.begin(), new_.objects.end());
  const Case cases[] = {
      {0, 0, {}, {}},
      {0, 1, new_.conses, new_.objects},
      {-1, 0, oldIn(old_.conses, closed), oldIn(old_.objects, closed)},
      {-2, 0, oldIn(old_.conses, open), oldIn(old_.objects, open)},
      {7, 1, allConses, allObjects},
  };
  for (const Case& c : cases) {
    g_cells.clear();
    g_objects.clear();
    gsgc_scan_all(recordCell, recordObject, c.selector, c.includeNew, 0);
    EXPECT_EQ(asSet(g_cells), c.conses) << "selector " << c.selector;
    EXPECT_EQ(asSet(g_objects), c.objects) << "selector " << c.selector;
    EXPECT_EQ(g_cells.size() + g_objects.size(), c.conses.size() + c.objects.size());
  }
}

TEST_F(HeapWalkers, TheClosedLimitPicksTheSavedFillOfClosedPages) {
  oldCons();
  const uint32_t page = pageStart(*old_.conses.begin());
  addAreaBelowNewSpace();
  setOpenOldFence(1);  // fills the rest of the page with (nil . nil)
  ASSERT_EQ(consPage(page)->fill, page + kPageBytes);
  gsgc_scan_all(recordCell, nullptr, -1, 0, 0);
  EXPECT_EQ(asSet(g_cells), old_.conses);
  g_cells.clear();
  gsgc_scan_all(recordCell, nullptr, -1, 0, 1);
  EXPECT_EQ(g_cells.size(), kConsesPerPage);
}

TEST_F(HeapWalkers, ConsPagesAreWalkedFromTheHighestPageDown) {
  const uint32_t first = oldCons();
  while (pageStart(oldCons()) == pageStart(first)) {
  }
  gsgc_scan_all(recordCell, nullptr, 1, 0, 1);
  ASSERT_EQ(g_cells.size(), old_.conses.size());
  EXPECT_EQ(g_cells.front(), first);  // the first page is the highest
  EXPECT_LT(g_cells.back(), pageStart(first));
}

TEST_F(HeapWalkers, AllSlotsAreEveryConsHalfAndEveryValueWord) {
  populate();
  std::set<uint32_t> expected;
  for (const auto* made : {&old_, &new_}) {
    for (uint32_t cell : made->conses) expected.insert({cell, cell + 4});
    for (uint32_t object : made->objects) addValueWords(object, expected);
  }
  // Closing the first area filled its open cons page with (nil . nil) cells.
  const uint32_t closedPage = pageStart(*old_.conses.begin());
  for (uint32_t cell = consPage(closedPage)->savedFill; cell < consPage(closedPage)->fill;
       cell += kConsCellBytes)
    expected.insert({cell, cell + 4});
  gsgc_scan_all_slots(recordSlot, ignoreSlot);
  std::set<uint32_t> heapSlots;
  for (uint32_t slot : g_slots)
    if (slot >= areaAddress(GsOldAreas) && slot < GsNewTop) heapSlots.insert(slot);
  EXPECT_EQ(heapSlots, expected);
}

TEST_F(HeapWalkers, MarkScanCoversTheClosedAreasButNotNewSpace) {
  populate();
  const GsOldArea* closed = GsOldAreas;
  std::set<uint32_t> expected;
  for (uint32_t cell : oldIn(old_.conses, closed)) expected.insert({cell, cell + 4});
  for (uint32_t object : oldIn(old_.objects, closed)) addValueWords(object, expected);
  gsgc_scan_mark(recordSlot, ignoreSlot);
  std::set<uint32_t> heapSlots;
  for (uint32_t slot : g_slots)
    if (slot >= areaAddress(GsOldAreas) && slot < GsNewTop) heapSlots.insert(slot);
  EXPECT_EQ(heapSlots, expected);  // saved fills: not the (nil . nil) cells closing added
}

TEST_F(HeapWalkers, ScanStacksStopsAtTheFirstNonZeroResult) {
  populate();
  const std::vector<uint32_t> objects(new_.objects.begin(), new_.objects.end());
  g_stopAt = objects[1];
  EXPECT_EQ(gsgc_scan_stacks(recordObject), objects[1]);
  EXPECT_EQ(g_objects, (std::vector<uint32_t>{objects[0], objects[1]}));
  g_objects.clear();
  g_stopAt = 0;
  EXPECT_EQ(gsgc_scan_stacks(recordObject), 0u);
  EXPECT_EQ(asSet(g_objects), new_.objects);
}

TEST_F(HeapWalkers, SysvectorSlotsByKind) {
  // Direct: count 2 of a capacity of 3; indirect through a direct block.
  alignas(8) uint32_t direct[8] = {((4 * 3 + 12) << 8) | 13, lisp::makeFixnum(1), 2, 0, 1, 2, 3};
  alignas(8) uint32_t indirect[8] = {((4 * 1 + 12) << 8) | 13, lisp::makeFixnum(3),
                                     lisp::pointerWord(addressOf(direct), lisp::Tag::Other)};
  const SlotTreatment treatment{recordSlot, recordSlot};
  scan_other_item(addressOf(direct), &treatment);
  EXPECT_EQ(g_slots, (std::vector<uint32_t>{addressOf(&direct[4]), addressOf(&direct[5])}));
  g_slots.clear();
  scan_other_item(addressOf(indirect), &treatment);
  EXPECT_EQ(g_slots, (std::vector<uint32_t>{addressOf(&direct[4]), addressOf(&direct[5])}));
  direct[2] = 100;  // more than the block holds: only what it holds
  g_slots.clear();
  scan_other_item(addressOf(direct), &treatment);
  EXPECT_EQ(g_slots.size(), 3u);
  indirect[2] = 0;  // no storage: nothing
  g_slots.clear();
  scan_other_item(addressOf(indirect), &treatment);
  EXPECT_TRUE(g_slots.empty());
}

TEST_F(HeapWalkers, BadSysvectorsAndUnknownTypesAreFatal) {
  alignas(8) uint32_t block[8] = {(16 << 8) | 13, lisp::makeFixnum(2)};
  alignas(8) uint32_t indirect[8] = {(16 << 8) | 13, lisp::makeFixnum(3),
                                     lisp::pointerWord(addressOf(block), lisp::Tag::Other)};
  alignas(8) uint32_t unknown[4] = {76};
  const SlotTreatment treatment{recordSlot, recordSlot};
  const auto message = [](const char* text, const void* address) {
    char expected[160];
    std::snprintf(expected, sizeof expected, "^Vexmora CL: System Error \\(gsgc\\): %s\n$", text);
    char full[200];
    std::snprintf(full, sizeof full, expected, addressOf(address));
    return std::string(full);
  };
  EXPECT_EXIT(scan_other_item(addressOf(block), &treatment), testing::ExitedWithCode(1),
              message("Unrecognized type of sysvector \\(0x%x\\)", block));
  EXPECT_EXIT(scan_other_item(addressOf(indirect), &treatment), testing::ExitedWithCode(1),
              message("Unrecognized type of real sysvector \\(0x%x\\)", indirect));
  EXPECT_EXIT(ausize_other(addressOf(unknown)), testing::ExitedWithCode(1),
              message("Unknown object type at \\(0x%x\\)", unknown));
}

// ---- image ranges ----

std::vector<std::pair<uint32_t, uint32_t>> g_ranges;
int recordRange(void* data, uint32_t start, uint32_t end) {
  g_ranges.emplace_back(start, end);
  return data ? *static_cast<int*>(data) : 0;
}

TEST_F(HeapWalkers, SaveImageRangesWithTheLowerSemispaceAndABreakAboveNewSpace) {
  populate();
  g_ranges.clear();
  uint32_t newBreak = 0;
  ASSERT_EQ(limited_setbrk(0x10000, &newBreak), 0);
  const GsNewArea& semispace = GsNewAllocationArea;
  ASSERT_EQ(semispace.start, GsNewFence);
  EXPECT_EQ(gsgcd_walk_areas_save_image(recordRange, nullptr), 0);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {lisp_heap.base, GsOldAreas->end},
      {GsOldAreas->end, GsLastOldArea->end},
      {GsLastOldArea->end, global(global::kNewOtherTop)},
      {semispace.pageLowMark, semispace.end},
      {GsNewTop, newBreak},
  };
  EXPECT_EQ(g_ranges, expected);
}

TEST_F(HeapWalkers, SaveImageRangesWithTheUpperSemispace) {
  // New space flipped: the upper half allocates, the lower one is the to-space.
  const uint32_t lower = GsNewFence, half = GsNewSemiSize;
  GsNewAreaSetup(lower + half, half);
  GsNewScavengeToArea = lower;
  newCons();
  vector(false, 3);
  g_ranges.clear();
  EXPECT_EQ(gsgcd_walk_areas_save_image(recordRange, nullptr), 0);
  const GsNewArea& semispace = GsNewAllocationArea;
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {lisp_heap.base, GsOldAreas->end},
      {semispace.start, global(global::kNewOtherTop)},
      {semispace.pageLowMark, lisp_heap.brk},
  };
  EXPECT_EQ(g_ranges, expected);  // the empty range up to the to-space is left out
  int stop = 7;
  g_ranges.clear();
  EXPECT_EQ(gsgcd_walk_areas_save_image(recordRange, &stop), 7);
  EXPECT_EQ(g_ranges.size(), 1u);
}

}  // namespace

namespace {

TEST_F(HeapWalkers, GlobalSlotsAreTheListedWordsInAddressOrderThenTheThreadRecord) {
  scan_global_slots(recordSlot, ignoreSlot);
  const auto globalWordAddress = [&](int32_t index) { return nil() - 0x15 + 4 * index; };
  ASSERT_EQ(g_slots.size(), 252u + 46u);
  const std::vector<uint32_t> globals(g_slots.begin(), g_slots.begin() + 252);
  EXPECT_TRUE(std::is_sorted(globals.begin(), globals.end()));
  EXPECT_EQ(asSet(globals).size(), 252u);
  EXPECT_EQ(globals.front(), globalWordAddress(-344));
  EXPECT_EQ(globals.back(), globalWordAddress(0));
  const std::set<uint32_t> listed = asSet(globals);
  for (int32_t index : {-311, -187, -46, -36, -17, -5, -2})
    EXPECT_TRUE(listed.count(globalWordAddress(index))) << index;
  // Raw words: the allocation words, the new-space fence, the thread-slot index's neighbours.
  for (int32_t index : {-310, -207, -214, -215, -89, -3, -4})
    EXPECT_FALSE(listed.count(globalWordAddress(index))) << index;
  const uint32_t record = lisp::objectAddress(lisp::dummyThreadWord());
  for (uint32_t word = 1; word <= 46; ++word) EXPECT_EQ(g_slots[251 + word], record + 4 * word);
}

}  // namespace
