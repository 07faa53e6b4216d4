// Lisp threads on real OS threads over a laid-out heap and a set-up registry:
// the recording stand-ins for the Lisp start function and the Lisp callbacks,
// what they saw, and the fixture that starts, ends and describes the threads.
// The start function does what the Lisp side does for an immigrant record
// (thread operation 26).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_start.h"
#include "runtime/rs/foreign_callbacks.h"
#include "testing/emulation.h"
#include "testing/lisp_heap_fixture.h"
#include "testing/watchdog.h"

namespace lisp_thread_test {

namespace tr = lisp::thread_record;
namespace ts = lisp::thread_start;
namespace ev = lisp::mp_event;
using lisp::lispval;
using lisp::makeFixnum;
using lisp::registry::tagged;
using lisp::registry::word;
using namespace std::chrono_literals;

inline uint32_t address(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Polls until the condition holds; false when it has not within the limit.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition())
    if (std::chrono::steady_clock::now() > end)
      return false;
    else
      std::this_thread::sleep_for(1ms);
  return true;
}

// What the stand-ins saw, written by the threads under the heap.
struct StartSeen {
  int runs = 0;
  uint32_t record = 0;
  uint32_t bindingTop = 1, bindingRoom = 0, specialFill = 1, word65 = 1, catchChain = 1;
  uint32_t leafCallStack = 0, clinkHead = 0, bindingIndex = 0, stackBase = 0, state = 99;
  uint32_t stackLimit = 0;
  uint32_t bindingStack = 0, bindingElement = 0, startMarker = 0;
  int32_t heapOwner = -5;
  uint32_t osIdSlot = 0;
  bool sawItsOwnRecord = false;
  int skipStackScan = -1;
};
inline StartSeen g_start;
inline std::mutex g_seenLock;
inline std::atomic<int> g_owners{0};
inline std::atomic<int> g_ownerFaults{0};
inline std::atomic<int> g_callbacks{0};
// Run by the start function of a Lisp thread after it recorded what it saw.
inline std::function<void(uint32_t* record)> g_lispBody;

inline uint32_t* callerRecord() {
  const int32_t index = vxm_thread_registered_p(identify_os_thread());
  return index >= 0 ? vxm_thread_control.registryTable[index] : nullptr;
}

inline void recordingStartFunction(lispval record) {
  uint32_t* raw = lisp::registry::rawRecord(record);
  if (word(raw, tr::kCallbackFlag) == 1) {  // an immigrant's call: what operation 26 does
    immigrant_callback_docall(record);
    return;
  }
  {
    std::lock_guard guard(g_seenLock);
    StartSeen& s = g_start;
    ++s.runs;
    s.record = address(raw);
    s.bindingTop = word(raw, tr::kBindingStackTop);
    s.bindingRoom = word(raw, tr::kBindingStackRoom);
    s.specialFill = word(raw, tr::kSpecialFill);
    s.word65 = word(raw, ts::kBindingWord65);
    s.catchChain = word(raw, tr::kCatchChain);
    s.leafCallStack = word(raw, tr::kLeafCallStack);
    s.clinkHead = word(raw, tr::kClinkHead);
    s.bindingIndex = word(raw, tr::kBindingIndex);
    s.stackBase = word(raw, tr::kStackBase);
    s.stackLimit = word(raw, tr::kStackLimit);
    s.state = word(raw, tr::kState);
    s.bindingStack = word(raw, tr::kBindingStack);
    if (lisp::isOther(s.bindingStack))
      s.bindingElement = lisp::wordAt(s.bindingStack, 12 - 0x12);  // sysvector word 3
    s.startMarker = word(raw, ts::kStartMarkerSlot);
    s.heapOwner = vxm_thread_control.heapOwnerIndex;
    s.osIdSlot = word(raw, tr::kOsIdSlot);
    s.sawItsOwnRecord = my_pthreadctl(nullptr) == raw;
    s.skipStackScan = skip_stack_scan;
  }
  if (g_lispBody) g_lispBody(raw);
}

// A Lisp callback: its argument block's first word plus the callback index.
// Counts a fault when the calling thread does not own the heap or another
// callback runs at the same time.
inline uint32_t recordingCallback(uint32_t block, int32_t index) {
  if (g_owners.fetch_add(1) != 0) ++g_ownerFaults;
  uint32_t* record = callerRecord();
  if (!record ||
      vxm_thread_control.heapOwnerIndex != static_cast<int32_t>(word(record, tr::kRegistryIndex)))
    ++g_ownerFaults;
  ++g_callbacks;
  const uint32_t result =
      *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(block)) + static_cast<uint32_t>(index);
  --g_owners;
  return result;
}

inline constexpr uint32_t kMissingCallbackResult = 0x4d;
inline uint32_t recordingMissingCallback() {
  return kMissingCallbackResult;
}

// A clock entry in test memory: an other object with a record's queue links
// (slots 2 and 3) and a due time in slots 4 and 5,
// an action cell in slot 6 and a thread in slot 7.
struct ClockEntryInMemory {
  alignas(8) uint32_t words[8] = {};
  lispval tagged() { return lisp::wordOf(words, lisp::Tag::Other); }
  uint32_t& at(int32_t offset) { return lisp::wordAt(tagged(), offset); }
};

class ThreadStart : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    mp_logging = static_cast<int>(makeFixnum(1));
    g_start = StartSeen{};
    g_owners = g_ownerFaults = g_callbacks = 0;
    g_lispBody = nullptr;
    ts::services() = {recordingStartFunction, recordingCallback, recordingMissingCallback};
    first_ = vxm_thread_control.registryTable[0];
    // The test thread leaves the heap to the threads it starts.
    lisp::heap_lock::releaseOffQueue(first_, 0, 0);
  }
  void TearDown() override {
    scheduler_started = 0;
    lisp::thread_ops::setRuntimeGlobal(lisp::thread_ops::global::kClockQueueHeader, 0);
    platform::setThreadCreationFaultHook(nullptr);
    ts::resetServices();
    g_lispBody = nullptr;
    lisp::registry::forgetRegistry();
    mp_logging = 0;
    LispHeap::TearDown();
  }

  // Codes and values logged from the entry with this sequence number on.
  static std::vector<std::pair<uint32_t, uint32_t>> loggedSince(uint32_t sequence) {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (uint32_t s = sequence; s < mplog_sequence; ++s)
      for (const auto& e : std::span(vxm_mplog, mplog_size))
        if (e.sequence == s) entries.emplace_back(e.code, e.value);
    return entries;
  }
  static std::vector<std::pair<uint32_t, uint32_t>> logged(uint32_t sequence, uint32_t code) {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (const auto& e : loggedSince(sequence))
      if (e.first == code) entries.push_back(e);
    return entries;
  }

  static bool onAvailableList(uint32_t* record) {
    for (uint32_t* r = threadctl_available; r; r = lisp::registry::nextOnChain(r))
      if (r == record) return true;
    return false;
  }

  // A new record, allocated as operation 11 does, with the heap.
  uint32_t* newLispThread() {
    vxm_grab_heap();
    lisp::registry::lockReadyQueue();
    const lispval record = allocate_lisp_thread();
    lisp::registry::unlockReadyQueue();
    vxm_release_heap();
    return lisp::registry::rawRecord(record);
  }

  // Starts the record and waits until its OS thread has given everything back.
  void runToTheEnd(uint32_t* record) {
    const uint32_t sequence = mplog_sequence;
    ASSERT_EQ(start_vxm_thread(tagged(record)), nilval);
    ASSERT_TRUE(eventually([&] { return !logged(sequence, ev::kLispThreadExit).empty(); }))
        << describe();
  }

  std::string describe() {
    const auto& control = vxm_thread_control;
    std::string text = "owner " + std::to_string(control.heapOwnerIndex) + " holds " +
                       std::to_string(control.heapHolds) + " lisp threads " +
                       std::to_string(control.lispThreadCount) + "\nlog:";
    for (const auto& [code, value] : loggedSince(mplog_sequence > 40 ? mplog_sequence - 40 : 0))
      text += " " + std::to_string(code) + ":" + std::to_string(value);
    return text;
  }

  uint32_t* first_ = nullptr;
};

}  // namespace lisp_thread_test
