#include "runtime/gc/root_scan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "runtime/gc/allocation.h"
#include "testing/lisp_heap_fixture.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::Tag;

// A stand-in scavenger: records the slots it is given and "tenures" the
// values listed in g_tenured by rewriting the slot to their old-space copy.
std::vector<uint32_t> g_valueSlots, g_codeSlots;
std::map<lispval, lispval> g_tenured;

void modelChecknslot(uint32_t slot) {
  g_valueSlots.push_back(slot);
  if (auto copy = g_tenured.find(at(slot)); copy != g_tenured.end()) at(slot) = copy->second;
}
void modelCheckcslot(uint32_t slot) {
  g_codeSlots.push_back(slot);
  modelChecknslot(slot);
  g_valueSlots.pop_back();
}
constexpr SlotTreatment kModel = {modelChecknslot, modelCheckcslot};

class RootScan : public LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    g_valueSlots.clear();
    g_codeSlots.clear();
    g_tenured.clear();
    newX_ = lisp::pointerWord(other_from_new_xsmp(16), Tag::Other);
    newY_ = lisp::pointerWord(other_from_new_xsmp(16), Tag::Other);
    const uint32_t copy = other_from_old_xsmp(16);
    at(copy) = lisp::headerWord(lisp::type_code::DoubleFloat);
    copyOfX_ = lisp::pointerWord(copy, Tag::Other);
    g_tenured[newX_] = copyOfX_;
  }
  // An old simple vector of n elements, all nil.
  uint32_t oldVector(uint32_t n) {
    const uint32_t vector = other_from_old_xsmp(8 + 4 * n);
    at(vector) = lisp::headerWord(lisp::type_code::SimpleVector);
    at(vector + 4) = lisp::makeFixnum(static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) at(vector + 8 + 4 * i) = nilval;
    return vector;
  }
  // A byte vector that fills `bytes` (a multiple of 8) of old space.
  uint32_t oldFiller(uint32_t bytes) {
    const uint32_t filler = other_from_old_xsmp(bytes);
    at(filler) = lisp::headerWithLength(lisp::type_code::ByteVector, bytes - 8);
    return filler;
  }
  uint32_t element(uint32_t vector, uint32_t i) { return vector + 8 + 4 * i; }
  // A store through the native barrier.
  void store(uint32_t slot, lispval value) {
    at(slot) = value;
    cnoteroot(slot);
  }
  // What earlier scavenges would have left: every object so far scanned.
  void settle() { GsOldAreas->rootScanLimit = GsOldAreas->frontier; }
  std::set<uint32_t> visited() const { return {g_valueSlots.begin(), g_valueSlots.end()}; }
  // Value slots of a vector that lie on the given page.
  std::set<uint32_t> elementsOnPage(uint32_t vector, uint32_t n, uint32_t page) {
    std::set<uint32_t> slots;
    for (uint32_t i = 0; i < n; ++i)
      if (pageStart(element(vector, i)) == page) slots.insert(element(vector, i));
    return slots;
  }

  lispval newX_ = 0, newY_ = 0, copyOfX_ = 0;
};

TEST_F(RootScan, ClearsBitsAndMarksAgainPagesThatStillPointIntoNewSpace) {
  const uint32_t a = oldVector(4);
  oldFiller(kPageBytes);
  const uint32_t b = oldVector(4);
  ASSERT_NE(pageStart(a), pageStart(b));
  settle();
  store(element(a, 1), newX_);  // tenured by the scan
  store(element(b, 2), newY_);  // stays in new space
  EXPECT_EQ(count_root_bits(), 2u);

  scan_rootset_entries(&kModel);
  EXPECT_EQ(at(element(a, 1)), copyOfX_);
  EXPECT_EQ(at(element(b, 2)), newY_);
  EXPECT_FALSE(rootBitSet(element(a, 1)));
  EXPECT_TRUE(rootBitSet(element(b, 2)));
  EXPECT_EQ(count_root_bits(), 1u);
  std::set<uint32_t> expected = elementsOnPage(a, 4, pageStart(a));
  expected.merge(elementsOnPage(b, 4, pageStart(b)));
  EXPECT_EQ(visited(), expected);
  EXPECT_EQ(g_valueSlots.size(), expected.size());  // each slot once
}

TEST_F(RootScan, AnObjectThatRunsIntoADirtyPageIsScannedThere) {
  // v starts on a clean page and runs into the next one; w starts on that
  // page after v's end, so the pagemap entry of the dirty page names w.
  const uint32_t n = 3000;  // 12 KB: crosses at least one page boundary
  const uint32_t v = oldVector(n);
  const uint32_t w = oldVector(2);
  settle();
  const uint32_t tailPage = pageStart(w);
  ASSERT_GT(tailPage, pageStart(v));
  ASSERT_EQ(pagemapEntry(GsOldAreas, tailPage), w);
  const uint32_t tailSlot = element(v, n - 1);
  ASSERT_EQ(pageStart(tailSlot), tailPage);
  store(tailSlot, newY_);

  scan_rootset_entries(&kModel);
  std::set<uint32_t> expected = elementsOnPage(v, n, tailPage);
  expected.merge(elementsOnPage(w, 2, tailPage));
  EXPECT_EQ(visited(), expected);
  EXPECT_TRUE(rootBitSet(tailSlot));
  EXPECT_EQ(count_root_bits(), 1u);
}

TEST_F(RootScan, AnObjectScannedAcrossSeveralDirtyPagesSkipsTheCleanOnes) {
  const uint32_t n = 6000;  // about three pages
  const uint32_t v = oldVector(n);
  settle();
  const uint32_t firstPage = pageStart(element(v, 0));
  const uint32_t lastPage = pageStart(element(v, n - 1));
  ASSERT_GE(lastPage - firstPage, 2 * kPageBytes);
  store(element(v, 0), newX_);
  store(element(v, n - 1), newX_);

  scan_rootset_entries(&kModel);
  std::set<uint32_t> expected = elementsOnPage(v, n, firstPage);
  expected.merge(elementsOnPage(v, n, lastPage));
  EXPECT_EQ(visited(), expected);
  EXPECT_EQ(count_root_bits(), 0u);  // both tenured
}

TEST_F(RootScan, ConsPagesAreScannedUpToTheirFillOrTheCatchUpPoint) {
  const uint32_t first = cons_from_old();
  const uint32_t page = pageStart(first);
  std::vector<uint32_t> cells = {first};
  for (int i = 0; i < 4; ++i) cells.push_back(cons_from_old());
  for (uint32_t cell : cells) at(cell) = at(cell + 4) = nilval;
  store(cells[3] + 4, newY_);  // a cdr

  // As a previous scavenge would leave it: its tenured conses end at cell 2.
  GsTenureCatchupConsPage = page;
  GsTenureCatchupConsItem = cells[2];
  scan_rootset_entries(&kModel);
  EXPECT_EQ(visited(), (std::set<uint32_t>{cells[0], cells[0] + 4, cells[1], cells[1] + 4}));
  EXPECT_FALSE(rootBitSet(page));  // cell 3 lies past the catch-up point

  g_valueSlots.clear();
  GsTenureCatchupConsItem = consPage(page)->fill;
  noteroot(page);
  scan_rootset_entries(&kModel);
  EXPECT_EQ(g_valueSlots.size(), 10u);
  EXPECT_TRUE(rootBitSet(page));

  g_valueSlots.clear();
  consPage(page)->flags = kConsPageSkipRootScan;
  scan_rootset_entries(&kModel);
  EXPECT_TRUE(g_valueSlots.empty());
}

TEST_F(RootScan, AFunctionsCodeSlotGoesToTheCodeSlotTreatment) {
  const uint32_t function = other_from_old_xsmp(lisp::functionObjectBytes(2));
  at(function) = lisp::headerWord(lisp::type_code::Function, 0, 2);
  for (uint32_t word = 1; word < 11; ++word) at(function + 4 * word) = nilval;
  settle();
  store(function + 16, newX_);  // the code-vector slot

  scan_rootset_entries(&kModel);
  EXPECT_EQ(g_codeSlots, std::vector<uint32_t>{function + 16});
  std::set<uint32_t> expected;
  for (uint32_t word : {3u, 5u, 6u, 7u, 8u, 9u, 10u}) expected.insert(function + 4 * word);
  EXPECT_EQ(visited(), expected);
  EXPECT_EQ(at(function + 16), copyOfX_);
}

TEST_F(RootScan, SysvectorsAndUnknownTypesInOldSpaceAreFatal) {
  const struct {
    uint32_t header;
    const char* message;
  } cases[] = {
      {lisp::headerWithLength(lisp::type_code::Sysvector, 4),
       "Found a sysvector in old space at \\(0x%x\\)"},
      {76, "Unknown object type at \\(0x%x\\)"},
  };
  for (const auto& c : cases) {
    const uint32_t object = other_from_old_xsmp(32);
    at(object) = c.header;
    at(object + 8) = newY_;
    settle();
    noteroot(object);
    char expected[160];
    std::snprintf(expected, sizeof expected, c.message, object);
    EXPECT_EXIT(scan_rootset_entries(&kModel), testing::ExitedWithCode(1),
                std::string("^Vexmora CL: System Error \\(gsgc\\): ") + expected + "\n$");
    at(object) = lisp::headerWord(lisp::type_code::SingleFloat);  // 8 bytes, then filler
    at(object + 8) = lisp::headerWithLength(lisp::type_code::ByteVector, 13);
  }
}

TEST_F(RootScan, NextDirtyPageFindsAndClearsOneBitAtATime) {
  const uint32_t base = global(global::kHeapBasePage) << kPageShift;
  for (uint32_t page : {3u, 70u, 71u}) noteroot(base + page * kPageBytes);
  EXPECT_EQ(rootscan_next_dirty_page(base, base + 100 * kPageBytes), base + 3 * kPageBytes);
  EXPECT_EQ(rootscan_next_dirty_page(base + 5, base + 100 * kPageBytes), base + 70 * kPageBytes);
  EXPECT_EQ(rootscan_next_dirty_page(base, base + 71 * kPageBytes), 0u);  // `to` is exclusive
  EXPECT_EQ(rootscan_next_dirty_page(base + 71 * kPageBytes + 8, base + 72 * kPageBytes),
            base + 71 * kPageBytes);
  EXPECT_EQ(rootscan_next_dirty_page(0x1000, base + 100 * kPageBytes), 0u);  // below the heap
  EXPECT_EQ(count_root_bits(), 0u);
}

}  // namespace
