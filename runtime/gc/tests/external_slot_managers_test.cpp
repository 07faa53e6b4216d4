// External slot managers: registration, the order they are called in, and
// the heap walk that reaches their slots and the lisp-static objects.
#include "runtime/gc/external_slot_managers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/native_heap.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using gc_test::at;

// What the managers were called with: (their data, the slot routine).
std::vector<std::pair<void*, gsgc_slot_routine>> g_calls;
std::vector<uint32_t> g_slots;

void recordSlot(uint32_t slot) {
  g_slots.push_back(slot);
}
void ignoreSlot(uint32_t) {}

uint32_t nativeBlocksInUse() {
  return std::accumulate(std::begin(nmalloc), std::end(nmalloc), 0u);
}

// A manager whose data is an array of two Lisp-value slots.
void presentTwoSlots(gsgc_slot_routine slot, void* data) {
  g_calls.emplace_back(data, slot);
  auto* slots = static_cast<uint32_t*>(data);
  slot(gc::addressOf(&slots[0]));
  slot(gc::addressOf(&slots[1]));
}

void* g_ownHandle = nullptr;
void unregisterItself(gsgc_slot_routine, void* data) {
  g_calls.emplace_back(data, nullptr);
  unregister_external_slot_manager(g_ownHandle);
}

class ExternalSlotManagers : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    g_calls.clear();
    g_slots.clear();
    external_slot_managers = nullptr;
  }
  void TearDown() override {
    external_slot_managers = nullptr;
    LispHeap::TearDown();
  }
};

TEST_F(ExternalSlotManagers, ManagersAreCalledNewestFirstWithTheirData) {
  uint32_t first[2] = {}, second[2] = {}, third[2] = {};
  register_external_slot_manager(presentTwoSlots, first);
  void* middle = register_external_slot_manager(presentTwoSlots, second);
  register_external_slot_manager(presentTwoSlots, third);

  scan_external_slots(recordSlot);
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[0].first, third);
  EXPECT_EQ(g_calls[1].first, second);
  EXPECT_EQ(g_calls[2].first, first);
  for (const auto& call : g_calls) EXPECT_EQ(call.second, recordSlot);
  EXPECT_EQ(g_slots, (std::vector<uint32_t>{gc::addressOf(&third[0]), gc::addressOf(&third[1]),
                                            gc::addressOf(&second[0]), gc::addressOf(&second[1]),
                                            gc::addressOf(&first[0]), gc::addressOf(&first[1])}));

  g_calls.clear();
  EXPECT_EQ(unregister_external_slot_manager(middle), 1);
  scan_external_slots(ignoreSlot);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[0].first, third);
  EXPECT_EQ(g_calls[1].first, first);
}

TEST_F(ExternalSlotManagers, UnregisteringTwiceAnswersOneThenZeroAndGivesTheNodeBack) {
  const uint32_t blocksBefore = nativeBlocksInUse();
  void* handle = register_external_slot_manager(presentTwoSlots, nullptr);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(unregister_external_slot_manager(handle), 1);
  EXPECT_EQ(unregister_external_slot_manager(handle), 0);
  EXPECT_EQ(unregister_external_slot_manager(nullptr), 0);
  EXPECT_EQ(nativeBlocksInUse(), blocksBefore);
  EXPECT_EQ(external_slot_managers, nullptr);
}

TEST_F(ExternalSlotManagers, AManagerMayUnregisterItselfDuringTheScan) {
  uint32_t slots[2] = {};
  register_external_slot_manager(presentTwoSlots, slots);
  g_ownHandle = register_external_slot_manager(unregisterItself, nullptr);
  scan_external_slots(recordSlot);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_slots.size(), 2u);
  g_calls.clear();
  scan_external_slots(recordSlot);
  EXPECT_EQ(g_calls.size(), 1u);
}

// The heap walks find both through their weak references.
TEST_F(ExternalSlotManagers, TheSlotWalkReachesManagedSlotsAndLispStaticObjects) {
  uint32_t managed[2] = {nil(), nil()};
  register_external_slot_manager(presentTwoSlots, managed);
  const uint32_t header = other_from_static_xsmp(16, 0, nullptr);
  at(header) = lisp::type_code::SimpleVector;
  at(header + 4) = lisp::makeFixnum(2);
  at(header + 8) = at(header + 12) = nil();
  add_lispstatic(lisp::pointerWord(header, lisp::Tag::Other), 0);

  gsgc_scan_all_slots(recordSlot, ignoreSlot);
  for (uint32_t slot :
       {gc::addressOf(&managed[0]), gc::addressOf(&managed[1]), header + 8, header + 12})
    EXPECT_NE(std::find(g_slots.begin(), g_slots.end(), slot), g_slots.end()) << std::hex << slot;
}

}  // namespace
