// Thread records in test memory, entered in the registry with their wake
// events, an empty ready queue, a free heap mutex, and a stand-in nil block,
// for tests of the heap-ownership lock with real threads.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"

namespace heap_lock_test {

namespace tr = lisp::thread_record;
using os_test::RecordInMemory;

inline constexpr int kRecords = 10;

class HeapLock : public ::testing::Test {
 protected:
  void SetUp() override {
    savedNil_ = nilval;
    nilBlock_ = std::make_unique<uint32_t[]>(0x1000 / 4);
    const auto start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(nilBlock_.get()));
    nilval = lisp::nil_block::nilForBlockStart(start);
    lisp::wordAt(nilval, lisp::nil_block::global::kInterruptCounter) = lisp::makeFixnum(0);

    lisp::registry::forgetRegistry();
    lisp::mp_log::setUp();
    for (auto& e : std::span(vxm_mplog, mplog_size)) e = {0xffffffff, 0, 0, 0, 0};
    mp_logging = static_cast<int>(lisp::makeFixnum(1));
    auto& control = vxm_thread_control;
    queue_init(ready.raw());
    queue_init(waiting.raw());
    ready_thread_header_aligned = ready.raw();
    waiting_thread_header_aligned = waiting.raw();
    for (int i = 0; i < kRecords; ++i) {
      RecordInMemory& r = records[i];
      r.words[0] = tr::kHeader;
      r.at(tr::kQueueNext) = r.at(tr::kQueuePrevious) = nilval;
      r.at(tr::kPriority) = lisp::makeFixnum(0);
      r.at(tr::kLeafCallStack) = nilval;
      r.at(tr::kClinkHead) = tr::kEmptyClinkChain;
      r.at(tr::kDescriptorWaitList) = nilval;
      r.at(tr::kOwner) = nilval;
      r.at(tr::kRegistryIndex) = static_cast<uint32_t>(i);
      r.at(tr::kWakeEvent) = allocate_os_lock(1);
      r.at(tr::kSelectBlockAddress) = address(&r.at(tr::kSelectBlock));
      control.registryTable[i] = r.raw();
    }
    control.registryCount = kRecords;
    control.lispThreadCount = kRecords;
    control.heapMutex = create_os_mutex();
    control.heapHolds = 0;
    control.heapOwnerIndex = -2;
    tcp_that_owns_heap = nullptr;
  }

  void TearDown() override {
    lisp::heap_lock::beforeSleepHook = nullptr;
    for (RecordInMemory& r : records)
      if (r.at(tr::kWakeEvent)) free_os_lock(r.at(tr::kWakeEvent));
    lisp::registry::forgetRegistry();
    ready_thread_header_aligned = waiting_thread_header_aligned = nullptr;
    mp_logging = 0;
    InScavenge = 0;
    nilval = savedNil_;
  }

  static uint32_t address(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
  }

  // Registry indices on the ready queue, head first.
  std::vector<int> readyOrder() {
    std::vector<int> order;
    lisp::registry::lockReadyQueue();
    const lisp::lispval header = ready.tagged();
    for (lisp::lispval at = ready.at(tr::kQueueNext); at != header && order.size() <= kRecords;
         at = lisp::wordAt(at, tr::kQueueNext))
      order.push_back(static_cast<int>(lisp::wordAt(at, tr::kRegistryIndex)));
    lisp::registry::unlockReadyQueue();
    return order;
  }

  // Links records onto the ready queue in this order, behind what is there.
  void queueInOrder(std::initializer_list<int> indices) {
    for (int i : indices) {
      RecordInMemory& r = records[i];
      const lisp::lispval last = ready.at(tr::kQueuePrevious);
      r.at(tr::kQueueNext) = ready.tagged();
      r.at(tr::kQueuePrevious) = last;
      lisp::wordAt(last, tr::kQueueNext) = r.tagged();
      ready.at(tr::kQueuePrevious) = r.tagged();
    }
  }

  bool wakeEventSet(int i) {
    const uint32_t event = records[i].at(tr::kWakeEvent);
    return platform::waitForAny({&event, 1}, 0) == 0;
  }

  // Codes and values logged after the entry with this sequence number.
  static std::vector<std::pair<uint32_t, uint32_t>> loggedSince(uint32_t sequence) {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (uint32_t s = sequence; s < mplog_sequence; ++s)
      for (const auto& e : std::span(vxm_mplog, mplog_size))
        if (e.sequence == s) entries.emplace_back(e.code, e.value);
    return entries;
  }

  std::string describe() {
    const auto& control = vxm_thread_control;
    std::string text = "owner " + std::to_string(control.heapOwnerIndex) + " holds " +
                       std::to_string(control.heapHolds) + " freeze " +
                       std::to_string(control.freezeCount) + "\nready queue:";
    const lisp::lispval header = ready.tagged();
    int guard = 0;
    for (lisp::lispval at = ready.at(tr::kQueueNext); at != header && guard++ <= kRecords;
         at = lisp::wordAt(at, tr::kQueueNext))
      text += " " + std::to_string(lisp::wordAt(at, tr::kRegistryIndex));
    text += "\nstates:";
    for (RecordInMemory& r : records) text += " " + std::to_string(int32_t(r.at(tr::kState)));
    text += "\nlast log entries (sequence, thread, code, value):\n";
    const uint32_t newest = mplog_sequence;
    for (uint32_t s = newest > 50 ? newest - 50 : 0; s < newest; ++s)
      for (const auto& e : std::span(vxm_mplog, mplog_size))
        if (e.sequence == s)
          text += std::to_string(e.sequence) + " " + std::to_string(e.osThreadId) + " " +
                  std::to_string(e.code) + " " + std::to_string(e.value) + "\n";
    return text;
  }

  RecordInMemory ready, waiting;
  std::array<RecordInMemory, kRecords> records;

 private:
  lisp::lispval savedNil_ = 0;
  std::unique_ptr<uint32_t[]> nilBlock_;
};

}  // namespace heap_lock_test
