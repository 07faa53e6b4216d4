// Thread records in test memory entered in the registry, both thread queues,
// list cells and gates in test memory, recording stand-ins for the Lisp
// calls, the clock and the alarm of the thread operations, on a fresh Lisp
// heap whose entry slots the harness calls. Record 0 is the caller.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_routine_heap.h"

namespace thread_ops_test {

namespace tr = lisp::thread_record;
namespace to = lisp::thread_ops;
using lisp::lispval;
using lisp::makeFixnum;
using os_test::RecordInMemory;

inline constexpr int kRecords = 8;
inline constexpr int32_t kThreadOperation = 0x37f;
// The thread machinery's runtime globals the tests set.
inline constexpr int32_t kThreadGlobals[] = {
    to::global::kRescheduleRequest, to::global::kClockQueueHeader, to::global::kThreadStructureType,
    to::global::kSchedulerSpecial0, to::global::kSchedulerSpecial1};

// What the recording services saw.
struct Seen {
  std::vector<int32_t> breakpoints;
  std::vector<std::pair<lispval, lispval>> applied;  // function, arguments
  // The caller's hold list, run list and wait function while a function ran.
  std::vector<std::array<lispval, 3>> stateWhileApplied;
  int typeFunctionCalls = 0;
  int32_t nowSeconds = 100, nowMilliseconds = 0;
  std::vector<std::pair<int32_t, int32_t>> alarmsOn;
  int alarmsOff = 0;
  lispval applyResult = 0;
  lispval caller = 0;
};
inline Seen g_seen;

class ThreadOperations : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    g_seen = Seen{};
    g_seen.applyResult = nil();
    lisp::registry::forgetRegistry();
    lisp::mp_log::setUp();
    for (auto& e : std::span(vxm_mplog, mplog_size)) e = {0xffffffff, 0, 0, 0, 0};
    mp_logging = static_cast<int>(makeFixnum(1));
    queue_init(ready_.raw());
    queue_init(waiting_.raw());
    ready_thread_header_aligned = ready_.raw();
    waiting_thread_header_aligned = waiting_.raw();
    ready_thread_queue = ready_.tagged();
    waiting_thread_queue = waiting_.tagged();
    for (int i = 0; i < kRecords; ++i) {
      RecordInMemory& r = records_[i];
      r.words[0] = tr::kHeader;
      r.at(tr::kQueueNext) = r.at(tr::kQueuePrevious) = nil();
      r.at(tr::kPriority) = makeFixnum(0);
      r.at(tr::kLeafCallStack) = nil();
      r.at(tr::kClinkHead) = tr::kEmptyClinkChain;
      r.at(tr::kDescriptorWaitList) = nil();
      for (int32_t slot : {to::kPendingInterrupts, to::kHoldList, to::kWaitFunction,
                           to::kWaitArguments, to::kRetestFlag, tr::kOwner})
        r.at(slot) = nil();
      r.at(to::kRunList) = cons(makeFixnum(i), nil());
      r.at(tr::kRegistryIndex) = static_cast<uint32_t>(i);
      r.at(tr::kOsThreadId) = 1000 + static_cast<uint32_t>(i);
      r.at(tr::kWakeEvent) = allocate_os_lock(1);
      vxm_thread_control.registryTable[i] = r.raw();
    }
    vxm_thread_control.registryCount = kRecords;
    threadctl_lowest = 0xffffffff;
    for (RecordInMemory& r : records_) {
      threadctl_lowest = std::min(threadctl_lowest, gc::addressOf(r.raw()));
      threadctl_highest = std::max(threadctl_highest, gc::addressOf(r.raw()));
    }
    vxm_thread_control.lispThreadCount = kRecords;
    thread_ = records_[0].tagged();
    g_seen.caller = thread_;
    general_wait_thread = general_wait_gate = 0;
    to::services() =
        to::Services{apply, callTypeFunction, consInPool, now, alarmOn, alarmOff, breakpoint};
    for (const int32_t global : kThreadGlobals) to::setRuntimeGlobal(global, nil());
    mp_clock_event_delta = makeFixnum(75);
    suppress_clock_events = 0;
  }

  void TearDown() override {
    to::resetServices();
    for (RecordInMemory& r : records_)
      if (r.at(tr::kWakeEvent)) free_os_lock(r.at(tr::kWakeEvent));
    lisp::registry::forgetRegistry();
    ready_thread_header_aligned = waiting_thread_header_aligned = nullptr;
    ready_thread_queue = waiting_thread_queue = 0;
    for (const int32_t global : kThreadGlobals) to::setRuntimeGlobal(global, 0);
    general_wait_thread = general_wait_gate = 0;
    mp_logging = 0;
    LispRoutineHeap::TearDown();
  }

  // ---- Lisp objects in test memory ----
  static lispval consInPool(lispval first, lispval rest, lispval* = nullptr, uint32_t = 0) {
    alignas(8) static std::array<uint32_t, 1 << 14> pool;
    static size_t used = 0;
    if (used + 2 > pool.size()) used = 0;
    uint32_t* cell = &pool[used];
    used += 2;
    cell[0] = first;
    cell[1] = rest;
    return lisp::pointerWord(gc::addressOf(cell), lisp::Tag::Cons);
  }
  lispval cons(lispval first, lispval rest) { return consInPool(first, rest); }
  lispval list(std::initializer_list<lispval> elements) {
    lispval result = nil();
    for (auto it = std::rbegin(elements); it != std::rend(elements); ++it) result = cons(*it, result);
    return result;
  }
  std::vector<lispval> elements(lispval list) {
    std::vector<lispval> out;
    for (; lisp::isCons(list) && out.size() < 100; list = lisp::cdr(list)) out.push_back(lisp::car(list));
    return out;
  }
  // An other object of `words` words after its header, zeroed.
  lispval object(uint32_t words) {
    objects_store_.emplace_back(std::vector<uint64_t>((words + 2) / 2 + 1, 0));
    uint32_t* block = reinterpret_cast<uint32_t*>(objects_store_.back().data());
    block[0] = (words << 8) | 13;
    return lisp::pointerWord(gc::addressOf(block), lisp::Tag::Other);
  }
  lispval gate() { return object(2); }
  // Numbers in test memory.
  lispval doubleFloat(double value) {
    objects_store_.emplace_back(std::vector<uint64_t>(2, 0));
    auto* block = reinterpret_cast<lisp::DoubleFloatObject*>(objects_store_.back().data());
    block->header = lisp::headerWord(lisp::type_code::DoubleFloat);
    block->value = value;
    return lisp::pointerWord(gc::addressOf(block), lisp::Tag::Other);
  }
  lispval singleFloat(float value) {
    objects_store_.emplace_back(std::vector<uint64_t>(1, 0));
    auto* block = reinterpret_cast<lisp::SingleFloatObject*>(objects_store_.back().data());
    block->header = lisp::headerWord(lisp::type_code::SingleFloat);
    block->value = value;
    return lisp::pointerWord(gc::addressOf(block), lisp::Tag::Other);
  }
  lispval bignum(std::initializer_list<uint16_t> digits) {
    objects_store_.emplace_back(std::vector<uint64_t>(digits.size() / 4 + 2, 0));
    auto* block = reinterpret_cast<lisp::BignumObject*>(objects_store_.back().data());
    block->header = lisp::bignumHeader(static_cast<uint32_t>(digits.size()));
    uint16_t* digit = block->digits;
    for (const uint16_t d : digits) *digit++ = d;
    return lisp::pointerWord(gc::addressOf(block), lisp::Tag::Other);
  }
  // A symbol whose global value is `value` (no per-thread bindings).
  lispval symbol(lispval value) {
    objects_store_.emplace_back(std::vector<uint64_t>(4, 0));
    auto* block = reinterpret_cast<lisp::SymbolObject*>(objects_store_.back().data());
    block->typeByte = lisp::kSymbolTypeByte;
    block->globalValue = value;
    block->function = block->name = block->propertyList = block->valueVector = nil();
    block->lispSlot = nil();
    return lisp::pointerWord(gc::addressOf(block), lisp::Tag::Symbol);
  }
  static lispval globalValue(lispval symbol) {
    return lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue;
  }
  uint32_t* state(lispval gate) { return to::gateStateWord(gate); }

  // ---- queues ----
  std::vector<int> order(RecordInMemory& header) {
    std::vector<int> out;
    const lispval h = header.tagged();
    for (lispval at = header.at(tr::kQueueNext); at != h && out.size() <= kRecords;
         at = lisp::wordAt(at, tr::kQueueNext))
      out.push_back(static_cast<int>(lisp::wordAt(at, tr::kRegistryIndex)));
    return out;
  }
  std::vector<int> readyOrder() { return order(ready_); }
  std::vector<int> waitingOrder() { return order(waiting_); }
  lispval rec(int i) { return records_[i].tagged(); }
  uint32_t& field(int i, int32_t offset) { return records_[i].at(offset); }

  // Puts record i on the waiting queue, waiting on the gate.
  void waitOn(int i, lispval g) {
    thread_to_wait_queue(rec(i));
    field(i, to::kWaitedObject) = gc::addressOf(state(g));
    field(i, to::kWaitFunction) = nil();
  }

  bool wakeEventSet(int i) {
    const uint32_t event = field(i, tr::kWakeEvent);
    return platform::waitForAny({&event, 1}, 0) == 0;
  }

  // ---- the entry ----
  // An argument left out is nil.
  static constexpr lispval kOmitted = 3;  // no Lisp value has this shape
  testing_support::LispCallResult operation(int32_t code, lispval a1 = kOmitted,
                                            lispval a3 = kOmitted) {
    testing_support::LispCallSetup setup =
        setupFor(kThreadOperation, a1 == kOmitted ? nil() : a1, makeFixnum(code), 3);
    setup.stack[2] = a3 == kOmitted ? nil() : a3;
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.ebx, thread_);
    return result;
  }

  // ---- recording services ----
  static lispval apply(lispval function, lispval arguments, lispval*, uint32_t) {
    g_seen.applied.emplace_back(function, arguments);
    g_seen.stateWhileApplied.push_back({lisp::wordAt(g_seen.caller, to::kHoldList),
                                        lisp::wordAt(g_seen.caller, to::kRunList),
                                        lisp::wordAt(g_seen.caller, to::kWaitFunction)});
    return g_seen.applyResult;
  }
  static lispval callTypeFunction(lispval, lispval*, uint32_t) {
    ++g_seen.typeFunctionCalls;
    return nilval;
  }
  static void now(int32_t* seconds, int32_t* milliseconds) {
    *seconds = g_seen.nowSeconds;
    *milliseconds = g_seen.nowMilliseconds;
  }
  static int32_t alarmOn(int32_t seconds, int32_t microseconds) {
    g_seen.alarmsOn.emplace_back(seconds, microseconds);
    return 0;
  }
  static void alarmOff() { ++g_seen.alarmsOff; }
  static void breakpoint(int32_t code) { g_seen.breakpoints.push_back(code); }

  RecordInMemory ready_, waiting_;
  std::array<RecordInMemory, kRecords> records_;
  std::vector<std::vector<uint64_t>> objects_store_;
};

}  // namespace thread_ops_test
