// The runtime's allocation hot paths: the native heap (vxmmalloc / vxmfree)
// over a mix of size classes, conses and other objects from new space, the
// runtime's cons and vector routines, symbols and functions, and the write
// barrier as compiled code calls it.
//
// The Lisp heap is laid out as the collector's tests lay it out (both heaps
// at their default addresses, GsInit). This runtime has no scavenger yet, so
// when new space runs low the heap is torn down and laid out again, outside
// the timed region, and its new space is touched once (each page written
// with what it holds) so that the timings show the allocator, not the
// kernel's first-touch page faults: with a scavenger, semispaces are reused
// warm.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "bench/support/quiet_stdout.h"
#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"
#include "testing/forget_heaps.h"
#include "testing/lisp_call_harness.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "runtime benchmark: %s failed\n", what);
  std::exit(1);
}

// ---- the native heap ----

using testing_support::forgetNativeHeap;

// The native heap alone, 16 MB at its default address.
class NativeHeap {
 public:
  NativeHeap() {
    forgetNativeHeap();
    if (try_setup_heap("vxmmalloc", &vxmmalloc_heap, 0x54000000, 0x1000000, 0) != 1)
      fail("reserving the native heap");
  }
  ~NativeHeap() {
    lisp_free_heap(&vxmmalloc_heap);
    forgetNativeHeap();
  }
};

// One allocation and its free per iteration, at one request size (the
// blocks come from and go back to the class's free list).
void BM_VxmmallocFree(benchmark::State& state) {
  NativeHeap heap;
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    void* block = vxmmalloc(size, 0, 0);
    benchmark::DoNotOptimize(block);
    vxmfree(block, 0);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VxmmallocFree)->Arg(24)->Arg(200)->Arg(4000)->Arg(60000);

// Request sizes of a mixed workload, small blocks most often: classes 1 to 13.
constexpr uint32_t kMixedSizes[] = {8,   24, 40,   16, 100, 56,   300, 24,
                                    800, 12, 2000, 40, 64,  5000, 120, 30000};

// 64 live blocks of mixed sizes, then all freed in an interleaved order; the
// free lists are refilled during the first round only.
void BM_VxmmallocFreeMixed(benchmark::State& state) {
  NativeHeap heap;
  constexpr int kLive = 64;
  void* blocks[kLive];
  uint64_t requested = 0;
  for (auto _ : state) {
    for (int i = 0; i < kLive; ++i) {
      const uint32_t size = kMixedSizes[i % std::size(kMixedSizes)];
      blocks[i] = vxmmalloc(size, 0, 0);
      requested += size;
    }
    benchmark::DoNotOptimize(blocks);
    for (int i = 0; i < kLive; i += 2) vxmfree(blocks[i], 0);
    for (int i = 1; i < kLive; i += 2) vxmfree(blocks[i], 0);
  }
  state.SetItemsProcessed(state.iterations() * kLive);
  state.counters["requested bytes/iter"] =
      benchmark::Counter(static_cast<double>(requested), benchmark::Counter::kAvgIterations);
  uint32_t freeBytes[native_heap::kFreeTableWords], usedBytes[native_heap::kUsedTableWords];
  get_nextf(freeBytes, usedBytes);
  uint64_t carved = 0;  // what the refills carved, all back on the free lists
  for (uint32_t bytes : freeBytes) carved += bytes;
  state.counters["free-list bytes after"] = static_cast<double>(carved);
}
BENCHMARK(BM_VxmmallocFreeMixed);

// ---- the Lisp heap ----

constexpr uint32_t kOldSize = 0x100000;   // 1 MB
constexpr uint32_t kNewSize = 0x1000000;  // two semispaces of 8 MB
constexpr int32_t kSpread = 2;
// New space left when the heap is laid out again (more than any one request).
constexpr int32_t kNewSpaceReserve = 0x10000;

using testing_support::forgetHeaps;

int32_t newSpaceFree() {
  return static_cast<int32_t>(gc::globalWord(gc::global::kNewFree));
}

// Both heaps reserved at their default addresses and laid out by GsInit.
class LispHeap {
 public:
  LispHeap() {
    slot_ = platform::allocateThreadSlot();
    if (slot_ < 0) fail("allocating a thread slot");
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    layOut();
  }
  ~LispHeap() {
    tearDown();
    platform::freeThreadSlot(slot_);
  }
  // Lays the heap out afresh when new space is nearly used up.
  void renewIfLow(benchmark::State& state) {
    if (newSpaceFree() >= kNewSpaceReserve) return;
    state.PauseTiming();
    tearDown();
    layOut();
    ++layouts_;
    state.ResumeTiming();
  }
  int layouts() const { return layouts_; }

 private:
  void layOut() {
    forgetHeaps();
    if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) fail("setup_heaps");
    {
      bench_support::QuietStdout quiet;
      GsInit(kOldSize, kNewSize, kSpread, 0);
    }
    touchNewSpace();
  }
  static void touchNewSpace() {
    for (uint32_t address = GsNewFence; address < GsNewTop; address += 4096) {
      auto* word = reinterpret_cast<volatile uint32_t*>(static_cast<uintptr_t>(address));
      *word = *word;
    }
  }
  void tearDown() {
    free_heaps(0);
    forgetHeaps();
  }
  int32_t slot_ = -1;
  int layouts_ = 1;
};

// Laying a heap out costs milliseconds (reserving, GsInit, touching 16 MB),
// so the new-space benchmarks run a fixed count that fits one layout, in a
// few repetitions, instead of letting the library pick a count.
constexpr int kRepetitions = 5;
constexpr int64_t kNewSpaceBudget = 0x800000 - 4 * kNewSpaceReserve;  // of 8 MB

// The slow path of consing: the shared cons pointer is full and a fresh
// cons page (1019 cells) is taken from new space.
void BM_ConsPageFromNewSpace(benchmark::State& state) {
  LispHeap heap;
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(cons_from_new_page());
  }
  state.counters["cons cells"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1019,
                                                    benchmark::Counter::kIsRate);
  state.counters["heap layouts"] = heap.layouts();
}
BENCHMARK(BM_ConsPageFromNewSpace)
    ->Iterations(kNewSpaceBudget / gc::kPageBytes)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// Other objects (vectors, strings, closures...) from new space, each behind
// its prefix.
void BM_OtherFromNewSpace(benchmark::State& state) {
  LispHeap heap;
  const auto bytes = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(other_from_new_xsmp(bytes));
  }
  // Space handed out, not written: the allocator touches only the prefix.
  state.counters["allocated bytes"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * bytes, benchmark::Counter::kIsRate);
  state.counters["heap layouts"] = heap.layouts();
}
const bool otherFromNewSpaceRegistered = [] {
  for (int64_t bytes : {16, 64, 1024, 16384}) {
    benchmark::RegisterBenchmark("BM_OtherFromNewSpace", BM_OtherFromNewSpace)
        ->Arg(bytes)
        ->Iterations(kNewSpaceBudget / (bytes + 8))
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
  }
  return true;
}();

// ---- the runtime's allocation routines, as compiled code calls them ----

// What bench_routine_loop calls, and how often.
struct RoutineLoop {
  uint32_t target, nil, thread, eax, edx, ecx;
  int32_t count;
};
extern "C" uint32_t bench_routine_loop(const RoutineLoop* loop);

constexpr int32_t kQconsSlot = 0x2b;
constexpr int32_t kNewSimpleVectorSlot = 0x17f;
constexpr int32_t kCallsPerIteration = 1000;

RoutineLoop loopThroughSlot(int32_t slot, uint32_t eax, uint32_t edx, uint32_t ecx) {
  alignas(8) static uint32_t threadRecord[lisp::thread_record::kRecordWords] = {};
  const lisp::lispval thread = lisp::wordOf(threadRecord, lisp::Tag::Other);
  lisp::wordAt(thread, lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
  return {gc::globalWord(slot), nilval, thread, eax, edx, ecx, kCallsPerIteration};
}

// qcons through its slot: the bump of the shared cons area, and once per
// 1019 conses lisp_cons taking a fresh page inside a foreign-call record.
void BM_QconsThroughSlot(benchmark::State& state) {
  LispHeap heap;
  const RoutineLoop loop = loopThroughSlot(kQconsSlot, lisp::makeFixnum(1), nilval, 2);
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(bench_routine_loop(&loop));
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerIteration);
  state.counters["heap layouts"] = heap.layouts();
}
BENCHMARK(BM_QconsThroughSlot)
    ->Iterations(kNewSpaceBudget / (int64_t{kCallsPerIteration} * 8 * 8192 / 8152))
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// new_simple_vector of n elements, filled with nil: the inline allocation
// sequence and the fill.
void BM_NewSimpleVectorThroughSlot(benchmark::State& state) {
  LispHeap heap;
  const auto length = static_cast<int32_t>(state.range(0));
  const RoutineLoop loop =
      loopThroughSlot(kNewSimpleVectorSlot, lisp::makeFixnum(length), lisp::makeFixnum(0), 2);
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(bench_routine_loop(&loop));
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerIteration);
  state.counters["heap layouts"] = heap.layouts();
}
const bool newSimpleVectorRegistered = [] {
  for (int64_t length : {2, 16, 128}) {
    const int64_t bytes = (8 + 4 * length + 8 + 7) / 8 * 8;
    benchmark::RegisterBenchmark("BM_NewSimpleVectorThroughSlot", BM_NewSimpleVectorThroughSlot)
        ->Arg(length)
        ->Iterations((kNewSpaceBudget - kNewSpaceReserve) / (kCallsPerIteration * bytes))
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
  }
  return true;
}();

// ---- symbols and functions ----

constexpr int32_t kNewSymbolSlot = 0x127;
constexpr int32_t kNewFunctionSlot = 0xfb;

// new_symbol with a name: its one-element value vector through
// new_simple_vector, then the symbol, with three barrier stores.
void BM_NewSymbolThroughSlot(benchmark::State& state) {
  LispHeap heap;
  const RoutineLoop loop =
      loopThroughSlot(kNewSymbolSlot, lisp::makeFixnum(0), lisp::makeFixnum(0x1234), 2);
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(bench_routine_loop(&loop));
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerIteration);
  state.counters["heap layouts"] = heap.layouts();
}
BENCHMARK(BM_NewSymbolThroughSlot)
    ->Iterations((kNewSpaceBudget - kNewSpaceReserve) / (kCallsPerIteration * (24 + 40)))
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// new_function of four constants, compiled flags: the serial number and
// every word filled.
void BM_NewFunctionThroughSlot(benchmark::State& state) {
  LispHeap heap;
  const RoutineLoop loop = loopThroughSlot(kNewFunctionSlot, lisp::makeFixnum(4), 0x80, 2);
  for (auto _ : state) {
    heap.renewIfLow(state);
    benchmark::DoNotOptimize(bench_routine_loop(&loop));
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerIteration);
  state.counters["heap layouts"] = heap.layouts();
}
BENCHMARK(BM_NewFunctionThroughSlot)
    ->Iterations((kNewSpaceBudget - kNewSpaceReserve) / (kCallsPerIteration * (56 + 8)))
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// ---- the write barrier ----

constexpr int32_t kSetfProtectSlot = 0x3f;  // gc_setf_protect's entry-table slot (from nil)

// A store through gc_setf_protect, called through its entry-table slot with
// the Lisp register conventions by the test harness: into an old object, of
// a pointer to a new cons (the page gets marked) or of a fixnum (nothing to
// mark). The time includes the harness's frame set-up and register capture.
void BM_SetfProtectThroughHarness(benchmark::State& state) {
  LispHeap heap;
  const bool storesNewPointer = state.range(0) != 0;
  const uint32_t oldObject = other_from_old_xsmp(64);
  const uint32_t newCons = cons_from_new_page();
  alignas(8) static uint32_t threadRecord[128] = {};
  testing_support::LispCallSetup setup;
  setup.target = gc::globalWord(kSetfProtectSlot);
  setup.edi = nilval;
  setup.ebx = lisp::wordOf(threadRecord, lisp::Tag::Other);
  setup.esi = 0x30000102;
  setup.ecx = 0x85;
  setup.eax = storesNewPointer ? lisp::pointerWord(newCons, lisp::Tag::Cons) : 0x7ffffff0;
  setup.edx = oldObject + 8;
  testing_support::LispCallResult result{};
  for (auto _ : state) {
    lisp_harness_call(&setup, &result);
    benchmark::DoNotOptimize(result.eax);
  }
  if (result.carry != 0 || result.espDelta != 0) fail("gc_setf_protect's calling convention");
  if (gc::rootBitSet(oldObject + 8) != storesNewPointer) fail("gc_setf_protect's marking");
  state.SetLabel(storesNewPointer ? "new cons into old object (marks)"
                                  : "fixnum into old object (no mark)");
}
BENCHMARK(BM_SetfProtectThroughHarness)->Arg(1)->Arg(0);

// The native entry the loader uses after a store into an old object.
void BM_CnoteRoot(benchmark::State& state) {
  LispHeap heap;
  const uint32_t oldObject = other_from_old_xsmp(64);
  const uint32_t newCons = cons_from_new_page();
  const uint32_t slot = oldObject + 8;
  *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(slot)) =
      lisp::pointerWord(newCons, lisp::Tag::Cons);
  for (auto _ : state) cnoteroot(slot);
  if (!gc::rootBitSet(slot)) fail("cnoteroot's marking");
}
BENCHMARK(BM_CnoteRoot);

}  // namespace
