// The thread registry on a real native heap: record allocation and release,
// validation, the calling thread's look-up, set-up after an image restore,
// and what the collector is shown.
#include "runtime/os/thread_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/thread_block.h"
#include "platform/threads.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/catch_frame_layout.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_heap_fixture.h"
#include "testing/watchdog.h"

extern "C" uint32_t globreg;

namespace {

namespace tr = lisp::thread_record;
using lisp::lispval;
using lisp::registry::tagged;
using lisp::registry::word;
using namespace std::chrono_literals;

uint32_t address(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// A Lisp value vector (type 96) or other small object in test memory.
template <uint32_t Words>
struct ObjectInMemory {
  alignas(8) uint32_t words[Words + 2] = {};
  explicit ObjectInMemory(uint8_t typeCode = lisp::type_code::LispVector) {
    words[0] = lisp::headerWithLength(typeCode, Words);
  }
  lispval tagged() const { return lisp::wordOf(words, lisp::Tag::Other); }
  uint32_t* data() { return &words[1]; }
};

class Registry : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    lisp::registry::forgetRegistry();
  }
  void TearDown() override {
    lisp::registry::forgetRegistry();
    mp_logging = 0;
    LispHeap::TearDown();
  }

  std::vector<uint32_t> availableIndices() {
    std::vector<uint32_t> indices;
    for (uint32_t* r = threadctl_available; r; r = next(r))
      indices.push_back(word(r, tr::kRegistryIndex));
    return indices;
  }
  static uint32_t* next(uint32_t* record) {
    return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(word(record, tr::kChainLink)));
  }
};

// ---- allocation ----

TEST_F(Registry, AllocationSetsEveryListedWord) {
  allocate_threadctl();
  uint32_t* record = allocate_threadctl();
  ASSERT_NE(record, nullptr);
  struct Expected {
    const char* what;
    int32_t offset;
    uint32_t value;
  };
  const Expected rows[] = {
      {"binding index", tr::kBindingIndex, lisp::makeFixnum(2)},
      {"state new", tr::kState, 11},
      {"gcstate foreign", tr::kGcState, 1},
      {"clink empty", tr::kClinkHead, 0xffffffff},
      {"select block", tr::kSelectBlockAddress, address(&word(record, tr::kSelectBlock))},
      {"registry index", tr::kRegistryIndex, 1},
      {"queue word 47", tr::kQueueWord1, 0},
      {"queue word 48", tr::kQueueWord2, 0},
      {"clock word", tr::kClockWord, 0},
      {"word 52", tr::kClearedWord52, 0},
      {"saved native stack", tr::kSavedNativeStack, 0},
      {"OS thread id", tr::kOsThreadId, 0},
      {"word 68", tr::kClearedWord68, 0},
      {"word 69", tr::kClearedWord69, 0},
      {"word 73", tr::kClearedWord73, 0},
  };
  EXPECT_EQ(record[0], (46u << 8) | 15);
  for (const Expected& row : rows) {
    EXPECT_EQ(word(record, row.offset), row.value) << row.what;
  }
  for (uint32_t slot = 1; slot <= 46; ++slot) {
    if (slot != 29) {
      EXPECT_EQ(record[slot], nilval) << "slot " << slot;
    }
  }
  EXPECT_EQ(threadctl_active, record);
  EXPECT_EQ(vxm_thread_control.registryCount, 2u);
  EXPECT_EQ(thread_chain_length(threadctl_active), 2u);
}

TEST_F(Registry, TwoThousandIndicesThenNoneUntilOneIsFreed) {
  std::vector<uint32_t*> records;
  for (int i = 0; i < 2000; ++i) {
    uint32_t* record = allocate_threadctl();
    ASSERT_NE(record, nullptr) << i;
    records.push_back(record);
  }
  EXPECT_EQ(allocate_threadctl(), nullptr);
  EXPECT_EQ(allocate_lisp_thread(), nilval);
  EXPECT_EQ(vxm_register_thread(), -1);
  free_threadctl_c(records[1234]);
  uint32_t* again = allocate_threadctl();
  EXPECT_EQ(again, records[1234]);
  EXPECT_EQ(word(again, tr::kRegistryIndex), 1234u);
  EXPECT_EQ(word(again, tr::kBindingIndex), lisp::makeFixnum(1235));
  EXPECT_EQ(threadctl_allocated, 2000u);
}

TEST_F(Registry, FreedRecordsAreReusedLowestIndexFirst) {
  std::vector<uint32_t*> records;
  for (int i = 0; i < 9; ++i) records.push_back(allocate_threadctl());
  for (int index : {7, 3, 5}) free_threadctl_c(records[index]);
  EXPECT_EQ(availableIndices(), (std::vector<uint32_t>{3, 5, 7}));
  for (int index : {3, 5, 7}) EXPECT_EQ(allocate_threadctl(), records[index]);
  EXPECT_EQ(vxm_thread_control.registryCount, 9u);
}

TEST_F(Registry, ASecondFreeLeavesBothListsAlone) {
  std::vector<uint32_t*> records;
  for (int i = 0; i < 4; ++i) records.push_back(allocate_threadctl());
  free_threadctl_c(records[2]);
  uint32_t* const active = threadctl_active;
  const uint32_t activeCount = thread_chain_length(threadctl_active);
  free_threadctl_c(records[2]);
  EXPECT_EQ(threadctl_active, active);
  EXPECT_EQ(thread_chain_length(threadctl_active), activeCount);
  EXPECT_EQ(availableIndices(), std::vector<uint32_t>{2});
  // The two next allocations hand out two different records.
  EXPECT_NE(allocate_threadctl(), allocate_threadctl());
}

TEST_F(Registry, ValidationRefusesAnythingButARegisteredRecord) {
  uint32_t* first = allocate_threadctl();
  uint32_t* second = allocate_threadctl();
  ObjectInMemory<600> outside(lisp::type_code::Structure);
  struct Case {
    const char* what;
    lispval value;
    int valid;
  };
  const lispval secondTagged = tagged(second);
  const Case cases[] = {
      {"a registered record", secondTagged, 1},
      {"wrong tag", secondTagged - 2 + 1, 0},
      {"a fixnum", lisp::makeFixnum(5), 0},
      {"outside the bounds", outside.tagged(), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(valid_thread_p(c.value), c.valid) << c.what;

  word(second, tr::kRegistryIndex) = 7;  // beyond the count
  EXPECT_EQ(valid_thread_p(secondTagged), 0) << "index beyond the count";
  word(second, tr::kRegistryIndex) = 0;  // the table holds another record there
  EXPECT_EQ(valid_thread_p(secondTagged), 0) << "another record at that index";
  word(second, tr::kRegistryIndex) = 1;
  EXPECT_EQ(validate_thread(tagged(first)), first);
}

TEST_F(Registry, IndexLookUpsRefuseIndicesOutsideTheRegistry) {
  uint32_t* record = allocate_threadctl();
  word(record, tr::kOsThreadId) = 4321;
  for (int32_t index : {-1, -2000, 1, 2000, INT32_MIN}) {
    EXPECT_EQ(thread_from_index(index), nilval) << index;
    EXPECT_EQ(get_thread_osid(index), 0u) << index;
  }
  EXPECT_EQ(thread_from_index(0), tagged(record));
  EXPECT_EQ(get_thread_osid(0), 4321u);
}

TEST_F(Registry, PriorityRanksNilLowestAndNonNumbersHighest) {
  EXPECT_EQ(xpriority_value(nilval), INT32_MIN);
  EXPECT_EQ(xpriority_value(nilval + 8), INT32_MAX);
  EXPECT_LT(xpriority_value(lisp::makeFixnum(-3)), xpriority_value(lisp::makeFixnum(0)));
  EXPECT_LT(xpriority_value(lisp::makeFixnum(0)), xpriority_value(lisp::makeFixnum(2)));
}

TEST_F(Registry, FreeingCleansTheThreadsBindingsOutOfValueVectors) {
  uint32_t* record = allocate_threadctl();  // index 0: binding element 1
  ObjectInMemory<4> values;                 // a symbol's value vector
  alignas(8) lisp::SymbolObject symbol{};
  const lispval symbolWord = lisp::wordOf(&symbol, lisp::Tag::Symbol);
  symbol.valueVector = values.tagged();
  values.data()[1] = 0x1234;  // this thread's binding cell
  ObjectInMemory<8> stack;
  stack.data()[0] = symbolWord;  // the first entry
  word(record, tr::kBindingStack) = stack.tagged();
  word(record, tr::kBindingStackTop) = 8;
  free_threadctl_c(record);
  EXPECT_EQ(values.data()[1], symbolWord);
  EXPECT_EQ(word(record, tr::kBindingStackTop), 0u);
}

TEST_F(Registry, SavedStacksCoverTheirStretchUpToTheStackBase) {
  uint32_t* parked = allocate_threadctl();
  uint32_t* running = allocate_threadctl();
  word(parked, tr::kSavedNativeStack) = 0x5000;
  word(parked, tr::kStackBase) = 0x6000;
  word(running, tr::kStackBase) = 0x9000;  // no saved stack: not counted
  EXPECT_EQ(savedstack_allocated_p(0x4fff), 0);
  EXPECT_EQ(savedstack_allocated_p(0x5000), 1);
  EXPECT_EQ(savedstack_allocated_p(0x5fff), 1);
  EXPECT_EQ(savedstack_allocated_p(0x6000), 0);
  EXPECT_EQ(savedstack_allocated_p(0x8000), 0);
}

TEST_F(Registry, ThePlaceholderRecordEndsItsForeignCallChain) {
  alignas(8) uint32_t clink[6] = {1, 2, 3, 4, 5, 6};
  setup_dummy_threadctl(clink);
  const lispval placed = platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4));
  ASSERT_TRUE(lisp::isOther(placed));
  EXPECT_EQ(lisp::wordAt(placed, tr::kClinkHead), address(clink));
  EXPECT_EQ(lisp::wordAt(placed, tr::kBindingIndex), 4096u);
  EXPECT_EQ(lisp::wordAt(placed, -0x12), (46u << 8) | 15);
  EXPECT_EQ(clink[0], 0xffffffffu);
  EXPECT_EQ(clink[1], 0u);
  EXPECT_EQ(clink[2], 0u);
  EXPECT_EQ(clink[3], nilval);
  const lispval before = dummy_thread;
  setup_dummy_threadctl(nullptr);
  EXPECT_NE(dummy_thread, before);
  EXPECT_EQ(lisp::wordAt(dummy_thread, tr::kClinkHead), 0xffffffffu);
}

// ---- the calling thread ----

TEST_F(Registry, AFrameWithinReachBelowTheClinkHeadBelongsToTheThread) {
  tls_active = 0;
  uint32_t* record = allocate_threadctl();
  word(record, tr::kState) = 0;
  word(record, tr::kStackBase) = 0x80000000;
  word(record, tr::kClinkHead) = 0x70000000;
  EXPECT_EQ(my_pthreadctl(reinterpret_cast<void*>(0x70000000 - 65535)), record);
  EXPECT_EQ(my_pthreadctl(reinterpret_cast<void*>(0x70000000 - 65536)), nullptr);
  EXPECT_EQ(thread_subsumes_fp(record, 0x80000000), 0);
}

TEST_F(Registry, WithAnEmptyClinkChainTheStackExtentBounds) {
  uint32_t* record = allocate_threadctl();
  word(record, tr::kStackBase) = 0x80000000;
  word(record, tr::kStackSize) = lisp::makeFixnum(0x100000);
  EXPECT_EQ(thread_subsumes_fp(record, 0x80000000 - 0x100000), 1);
  EXPECT_EQ(thread_subsumes_fp(record, 0x80000000 - 0x100001), 0);
}

// Every thread registers itself and must find its own record, by its slot
// and, with the slot switched off, by its OS thread id.
TEST_F(Registry, SixteenRegisteredThreadsEachFindTheirOwnRecord) {
  ASSERT_EQ(init_tls(&tls_key), 1);
  tls_active = 1;
  testing_support::Watchdog watchdog("sixteen registered threads", 20s);
  constexpr int kThreads = 16;
  std::atomic<int> registered{0}, checked{0};
  std::atomic<bool> slotsOff{false};
  std::atomic<int> foundBySlot{0}, foundById{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      lisp::registry::lockReadyQueue();
      const int32_t index = vxm_register_thread();
      lisp::registry::unlockReadyQueue();
      ++registered;
      while (registered < kThreads) std::this_thread::yield();
      uint32_t* mine = lisp::registry::recordAt(index);
      if (my_pthreadctl(nullptr) == mine && my_lisp_thread() == tagged(mine)) ++foundBySlot;
      ++checked;
      while (!slotsOff) std::this_thread::yield();
      if (my_pthreadctl(nullptr) == mine && vxm_thread_registered_p(identify_os_thread()) == index)
        ++foundById;
    });
  while (checked < kThreads) std::this_thread::yield();
  tls_active = 0;
  slotsOff = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(foundBySlot, kThreads);
  EXPECT_EQ(foundById, kThreads);
  EXPECT_EQ(my_pthreadctl(nullptr), nullptr);  // this thread never registered
  platform::freeThreadSlot(static_cast<int32_t>(tls_key));
}

// ---- set-up ----

TEST_F(Registry, SetUpMakesTheCallerTheHeapOwningRecordZero) {
  initialize_thread_registry(0);
  uint32_t* record = vxm_thread_control.registryTable[0];
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(first_thread, tagged(record));
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
  EXPECT_EQ(vxm_thread_control.environmentIndex, 0);
  EXPECT_EQ(tcp_that_owns_heap, record);
  EXPECT_EQ(platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4)), tagged(record));
  EXPECT_EQ(my_pthreadctl(nullptr), record);
  EXPECT_EQ(word(record, tr::kState), 0u);
  EXPECT_EQ(word(record, tr::kGcState), 0u);
  EXPECT_EQ(word(record, tr::kLeafCallStack), nilval);  // no spare foreign-call record
  EXPECT_EQ(word(record, tr::kOsThreadId), identify_os_thread());
  EXPECT_EQ(current_thread_bix(), 1u);
  EXPECT_EQ(Profile_current_thread_p(), 1);
  EXPECT_EQ(vxm_thread_control.lispThreadCount, 1u);
  EXPECT_EQ(vxm_thread_control.heapHolds, 1u);
  EXPECT_EQ(tls_active2, 1);
  // The owner is the ready queue's only member.
  EXPECT_EQ(word(record, tr::kQueueNext), ready_thread_queue);
  EXPECT_EQ(word(ready_thread_header_aligned, tr::kQueuePrevious), tagged(record));
  EXPECT_EQ(word(waiting_thread_header_aligned, tr::kQueueNext), waiting_thread_queue);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(globreg)), lisp_tls_index);
}

TEST_F(Registry, TheHeapOwnerIsTheActiveThread) {
  initialize_thread_registry(0);
  uint32_t* owner = vxm_thread_control.registryTable[0];
  uint32_t* other = allocate_threadctl();
  EXPECT_EQ(thread_is_active(owner), 1);
  EXPECT_EQ(thread_is_active(other), 0);
  EXPECT_EQ(heap_owner_handle(), word(owner, tr::kOsThreadHandle));
  EXPECT_EQ(prelink_stack(other, 0, 0, 0), 0);  // no saved stack to prepare
}

TEST_F(Registry, WithoutAnOwnerTheBindingIndexIs4096) {
  EXPECT_EQ(current_thread_bix(), 4096u);
  EXPECT_EQ(Profile_current_thread_p(), 0);
}

// Records as an image brings them: A has an owner, B was never started, C
// neither (it dies and is released), D was already released.
TEST_F(Registry, RestoredRecordsKeepTheirIndices) {
  uint32_t* a = allocate_threadctl();
  uint32_t* b = allocate_threadctl();
  uint32_t* c = allocate_threadctl();
  uint32_t* d = allocate_threadctl();
  free_threadctl_c(d);
  word(a, tr::kOwner) = lisp::makeFixnum(1);
  word(a, tr::kState) = 0;
  word(c, tr::kState) = 0;
  ObjectInMemory<3> process(lisp::type_code::Structure);
  process.data()[1] = 777;  // the OS thread word
  word(a, tr::kProcessObject) = process.tagged();
  for (uint32_t* r : {a, b, c}) word(r, tr::kOsIdSlot) = lisp::makeFixnum(99);
  // A fresh process knows only the two lists.
  std::memset(vxm_thread_control.registryTable, 0, sizeof vxm_thread_control.registryTable);
  vxm_thread_control.registryCount = 0;

  initialize_thread_registry(1);
  EXPECT_EQ(vxm_thread_control.registryCount, 4u);
  EXPECT_EQ(lisp::registry::recordAt(0), a);
  EXPECT_EQ(lisp::registry::recordAt(3), d);
  EXPECT_EQ(word(a, tr::kState), tr::kStateNew);
  EXPECT_EQ(word(a, tr::kOwner), nilval);
  EXPECT_EQ(word(a, tr::kOsIdSlot), nilval);
  EXPECT_EQ(process.data()[1], 0u);
  EXPECT_EQ(word(b, tr::kState), tr::kStateNew);
  EXPECT_EQ(word(d, tr::kState), tr::kStateDead);
  // C was freed first in line: the calling thread's record is C.
  EXPECT_EQ(first_thread, tagged(c));
  EXPECT_EQ(availableIndices(), std::vector<uint32_t>{3});
}

// A damaged image: a record with an index no registry holds, and a list
// that runs in a circle. Both lists are cut and set-up goes on.
TEST_F(Registry, RestoreCutsDamagedLists) {
  uint32_t* a = allocate_threadctl();
  uint32_t* b = allocate_threadctl();
  free_threadctl_c(b);
  word(b, tr::kRegistryIndex) = 5000;
  word(a, tr::kChainLink) = address(a);  // a circle
  std::memset(vxm_thread_control.registryTable, 0, sizeof vxm_thread_control.registryTable);
  vxm_thread_control.registryCount = 0;
  testing_support::Watchdog watchdog("restore of damaged lists", 10s);
  initialize_thread_registry(1);
  EXPECT_EQ(threadctl_available, nullptr);
  EXPECT_EQ(valid_thread_p(tagged(b)), 0);
  EXPECT_EQ(lisp::registry::recordAt(0), a);
  EXPECT_EQ(thread_chain_length(threadctl_active), 2u);
  EXPECT_EQ(valid_thread_p(first_thread), 1);
}

TEST_F(Registry, RestoreFollowsAStandardInstanceToItsSlotVector) {
  uint32_t* a = allocate_threadctl();
  word(a, tr::kOwner) = lisp::makeFixnum(1);
  ObjectInMemory<3> slots;
  slots.data()[1] = 555;
  ObjectInMemory<3> instance(lisp::type_code::StandardInstance);
  instance.data()[1] = slots.tagged();
  word(a, tr::kProcessObject) = instance.tagged();
  std::memset(vxm_thread_control.registryTable, 0, sizeof vxm_thread_control.registryTable);
  vxm_thread_control.registryCount = 0;
  initialize_thread_registry(1);
  EXPECT_EQ(slots.data()[1], 0u);
  EXPECT_EQ(instance.data()[1], slots.tagged());
}

// ---- the collector's view ----

std::vector<uint32_t> g_slots;
void recordSlot(uint32_t slot) {
  g_slots.push_back(slot);
}
void ignoreReturn(uint32_t) {}

TEST_F(Registry, TheCollectorSeesSlotsUsedStacksAndHeaders) {
  initialize_thread_registry(0);
  uint32_t* owner = vxm_thread_control.registryTable[0];
  uint32_t* other = allocate_threadctl();
  ObjectInMemory<16> binding, special;
  word(other, tr::kBindingStack) = binding.tagged();
  word(other, tr::kBindingStackTop) = 24;
  word(other, tr::kSpecialStack) = special.tagged();
  word(other, tr::kSpecialFill) = 5;
  g_slots.clear();
  gc_scan_thread_registry(recordSlot);
  std::vector<uint32_t> expected;
  for (uint32_t* r : {other, owner}) {
    for (uint32_t slot = 1; slot <= 46; ++slot) expected.push_back(address(&r[slot]));
    if (r == other) {
      for (int i = 0; i < 6; ++i) expected.push_back(address(&binding.data()[i]));
      for (int i = 0; i < 5; ++i) expected.push_back(address(&special.data()[i]));
    }
  }
  expected.push_back(address(&ready_thread_header_aligned[1]));
  expected.push_back(address(&waiting_thread_header_aligned[1]));
  EXPECT_EQ(g_slots, expected);
}

TEST_F(Registry, StacksOfThreadsOutsideLispAreScannedFromTheirSavedPosition) {
  initialize_thread_registry(0);
  uint32_t* parked = allocate_threadctl();
  uint32_t* fresh = allocate_threadctl();
  alignas(8) uint32_t parkedCatch[CATCH_FRAME_BYTES / 4] = {};
  alignas(8) uint32_t freshCatch[CATCH_FRAME_BYTES / 4] = {};
  word(parked, tr::kCatchChain) = address(parkedCatch);
  word(parked, tr::kSavedNativeStack) = address(parkedCatch);
  word(fresh, tr::kCatchChain) = address(freshCatch);
  skip_stack_scan = 1;
  g_slots.clear();
  scan_os_stacks(recordSlot, ignoreReturn);
  skip_stack_scan = 0;
  EXPECT_EQ(g_slots, (std::vector<uint32_t>{address(&parkedCatch[CATCH_TAG / 4]),
                                             address(&parkedCatch[CATCH_VALUE / 4])}));
}

TEST_F(Registry, ScavengeSetUpLeavesTheSpecialFillAndTheBindingsAndEmptiesValuesVectors) {
  uint32_t* record = allocate_threadctl();
  ObjectInMemory<4> binding, special, first, second;
  binding.data()[0] = lisp::makeFixnum(5);  // the first entry's symbol word stays
  word(record, tr::kBindingStack) = binding.tagged();
  word(record, tr::kBindingStackTop) = 16;
  word(record, tr::kSpecialStack) = special.tagged();
  word(record, tr::kSpecialFill) = 3;
  word(record, tr::kScratch) = lisp::makeFixnum(1);
  // Two values vectors linked through element 1; the first carries value 3
  // of values in flight in element 3.
  first.words[0] = second.words[0] = lisp::headerWithLength(lisp::type_code::ValuesVector, 4);
  first.data()[1] = second.tagged();
  first.data()[3] = second.data()[3] = lisp::makeFixnum(8);
  second.data()[1] = nilval;
  word(record, tr::kValuesVectors) = first.tagged();
  scavenge_per_thread_setup();
  EXPECT_EQ(binding.data()[0], lisp::makeFixnum(5));
  EXPECT_EQ(special.data()[0], lisp::makeFixnum(12));
  EXPECT_EQ(word(record, tr::kScratch), nilval);
  EXPECT_EQ(word(record, tr::kValuesVectors), first.tagged());
  EXPECT_EQ(first.data()[1], nilval);
  EXPECT_EQ(first.data()[3], lisp::makeFixnum(8));
  EXPECT_EQ(second.data()[3], lisp::makeFixnum(8));
}

// ---- the event log ----

class EventLog : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    lisp::mp_log::setUp();
    mplog_sequence = 0;
    std::memset(vxm_mplog, 0, 1000 * sizeof vxm_mplog[0]);
    mp_logging = static_cast<int>(lisp::makeFixnum(1));
  }
};

TEST_F(EventLog, TheRingWrapsAfterEntry999AndTheSequenceGoesOn) {
  for (uint32_t i = 0; i < 1001; ++i) EXPECT_EQ(mp_log_event(100, i), i);
  EXPECT_EQ(vxm_mplog[0].sequence, 1000u);
  EXPECT_EQ(vxm_mplog[0].value, 1000u);
  EXPECT_EQ(vxm_mplog[999].sequence, 999u);
  EXPECT_EQ(vxm_mplog_last_entry, &vxm_mplog[0]);
  EXPECT_EQ(vxm_mplog[0].osThreadId, identify_os_thread());
  EXPECT_EQ(vxm_thread_control.logPosition, 1u);
}

TEST_F(EventLog, ScavengesInARowShareOneEntry) {
  mp_log_event(7, 0);
  for (int i = 0; i < 3; ++i) mp_log_scavenge();
  EXPECT_EQ(mplog_sequence, 2u);
  EXPECT_EQ(vxm_mplog[1].code, 32u);
  EXPECT_EQ(vxm_mplog[1].value, 3u);
}

TEST_F(EventLog, DetailedCodesNeedAnOddLoggingFixnum) {
  mp_logging = static_cast<int>(lisp::makeFixnum(2));
  mp_log_event(600, 1);
  EXPECT_EQ(mplog_sequence, 0u);
  mp_log_event(634, 1);
  EXPECT_EQ(mplog_sequence, 1u);
  mp_logging = static_cast<int>(lisp::makeFixnum(3));
  mp_log_event(600, 1);
  EXPECT_EQ(mplog_sequence, 2u);
  mp_logging = 0;
  mp_log_event(5, 1);
  mp_log_scavenge();
  EXPECT_EQ(mplog_sequence, 2u);
}

TEST_F(EventLog, ConcurrentWritersGetUniqueGapFreeSequenceNumbers) {
  testing_support::Watchdog watchdog("eight logging threads", 60s);
  constexpr int kThreads = 8, kEvents = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEvents; ++i) mp_log_event(200 + t, static_cast<uint32_t>(i));
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mplog_sequence, static_cast<uint32_t>(kThreads * kEvents));
  std::set<uint32_t> sequences;
  for (uint32_t i = 0; i < mplog_size; ++i) sequences.insert(vxm_mplog[i].sequence);
  ASSERT_EQ(sequences.size(), 1000u);
  EXPECT_EQ(*sequences.begin(), kThreads * kEvents - 1000u);
  EXPECT_EQ(*sequences.rbegin(), kThreads * kEvents - 1u);
}

TEST_F(EventLog, EnvironmentSwitchesAreLogged) {
  uint32_t* record = allocate_threadctl();
  word(record, tr::kSavedNativeStack) = 0x1000;
  lisp::mp_log::setUp();
  mplog_sequence = 0;
  EXPECT_EQ(switch_thread_dynamic_environment(0), record);
  EXPECT_EQ(word(record, tr::kSavedNativeStack), 0u);
  EXPECT_EQ(vxm_make_environment_neutral(), 0);
  EXPECT_EQ(vxm_make_environment_neutral(), -1);
  ASSERT_EQ(mplog_sequence, 2u);
  EXPECT_EQ(vxm_mplog[0].code, 8u);
  EXPECT_EQ(vxm_mplog[1].code, 7u);
}

}  // namespace
