// The scavenger: copy throughput in MB/s of live data copied (new_copy plus
// old_copy) with 10 % and 50 % of a semispace live, and cons allocation in
// ns per cons through the shared cons pointer with the scavenges it causes
// amortised. The global collector: time per MB of old space with 10 % and
// 50 % of it garbage.
//
// The heap is laid out as the collector's tests lay it out (both heaps at
// their default addresses, GsInit), with 4 MB semispaces whose size the
// sizing rules leave alone (no minimum free page or object space).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/support/quiet_stdout.h"
#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/external_slot_managers.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/scavenger.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "scavenger benchmark: %s failed\n", what);
  std::exit(1);
}

constexpr uint32_t kOldSize = 0x400000;         // 4 MB
constexpr uint32_t kGlobalOldSize = 0x1000000;  // 16 MB
constexpr uint32_t kNewSize = 0x800000;         // two semispaces of 4 MB
constexpr int32_t kSpread = 2;
constexpr uint32_t kDefaultMaxHeapSize = 0x4000000;
constexpr uint32_t kRootCount = 1024;

lisp::lispval g_roots[kRootCount];

void presentRoots(gsgc_slot_routine slot, void*) {
  for (lisp::lispval& root : g_roots) slot(gc::addressOf(&root));
}

uint32_t& word(uint32_t address) {
  return gc::wordAt(address);
}

class Heap {
 public:
  explicit Heap(uint32_t oldSize = kOldSize) {
    slot_ = platform::allocateThreadSlot();
    if (slot_ < 0) fail("allocating a thread slot");
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    forget();
    if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) fail("setup_heaps");
    {
      bench_support::QuietStdout quiet;
      GsInit(oldSize, kNewSize, kSpread, 0);
    }
    GsMinFreeNewPageSpace = GsMinFreeNewOther = 0;
    for (lisp::lispval& root : g_roots) root = nilval;
    handle_ = register_external_slot_manager(presentRoots, nullptr);
  }
  ~Heap() {
    unregister_external_slot_manager(handle_);
    free_heaps(0);
    forget();
    platform::freeThreadSlot(slot_);
  }

  // Lisp's fast path on the shared cons pointer, the slow path when it is full.
  static uint32_t cons(lisp::lispval car, lisp::lispval cdr) {
    uint32_t& fill = gc::globalWord(gc::global::kConsFill);
    uint32_t cell;
    if (fill < gc::globalWord(gc::global::kConsLimit)) {
      cell = fill - gc::kConsWordBias;
      fill += gc::kConsCellBytes;
    } else {
      cell = cons_from_new_page();
    }
    word(cell) = car;
    word(cell + 4) = cdr;
    return cell;
  }
  static uint32_t vector(uint32_t n) {
    const uint32_t object = other_from_new_xsmp(8 + 4 * n);
    word(object) = lisp::headerWord(lisp::type_code::SimpleVector);
    word(object + 4) = lisp::makeFixnum(static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) word(object + 8 + 4 * i) = nilval;
    return object;
  }

 private:
  static void forget() {
    const uint32_t zeros[gc::kGcDataWords] = {};
    restore_gc_data(zeros);
    maxheapsize = kDefaultMaxHeapSize;
    GsNewTopLV = GsWorstCasePagesize = GsFailedHlimit = GsFailedSbrk = InScavenge = 0;
    vxmmalloc_frees = 0;
    std::memset(nextf, 0, sizeof nextf);
    std::memset(nmalloc, 0, sizeof nmalloc);
    malloc_low_water = malloc_high_water = 0;
  }
  int32_t slot_ = -1;
  void* handle_ = nullptr;
};

// Live data of about `percent` of a semispace: lists of conses whose cars
// are small vectors, hung from the roots. Nothing is tenured (flag a is
// clear and the generation is not 0), so every scavenge copies it all.
void BM_ScavengeThroughput(benchmark::State& state) {
  Heap heap;
  const uint64_t target = uint64_t{GsNewSemiSize} * static_cast<uint64_t>(state.range(0)) / 100;
  uint64_t made = 0;
  for (uint32_t i = 0; made < target; ++i) {
    const uint32_t object = Heap::vector(4);
    const lisp::lispval tail = g_roots[i % kRootCount];
    g_roots[i % kRootCount] = lisp::pointerWord(
        Heap::cons(lisp::pointerWord(object, lisp::Tag::Other), tail), lisp::Tag::Cons);
    made += 8 + 24 + 8;
  }
  scavenge(0);  // settle new space's size before timing
  uint64_t copied = 0;
  for (auto _ : state) {
    scavenge(0);
    copied += uint64_t{new_copy} + old_copy;
  }
  state.SetBytesProcessed(static_cast<int64_t>(copied));
  state.counters["live bytes"] = static_cast<double>(copied) / state.iterations();
  state.counters["semispace bytes"] = GsNewSemiSize;
}
BENCHMARK(BM_ScavengeThroughput)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

// Garbage conses, with one list of 1000 kept live: ns per cons including
// the scavenges that the exhausted cons pages cause.
void BM_ConsAllocation(benchmark::State& state) {
  Heap heap;
  const uint32_t before = ScavengeCt;
  uint32_t i = 0;
  for (auto _ : state) {
    const uint32_t cell = Heap::cons(lisp::makeFixnum(1), nilval);
    if (++i % 4096 == 0)
      g_roots[(i / 4096) % kRootCount] = lisp::pointerWord(cell, lisp::Tag::Cons);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["scavenges"] = ScavengeCt - before;
}
BENCHMARK(BM_ConsAllocation);

// Old space filled with about 12 MB of vectors, each holding a string and a
// short list; `percent` of them garbage. Each iteration builds the heap
// anew (not timed) and times one global collection.
void BM_GlobalCollection(benchmark::State& state) {
  const uint32_t garbagePercent = static_cast<uint32_t>(state.range(0));
  uint64_t oldBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Heap heap(kGlobalOldSize);
    const uint32_t start = GsOldAreas->frontier;
    for (uint32_t i = 0; sum_old_free() > 0x400000; ++i) {
      const uint32_t string = other_from_old_xsmp(40);
      word(string) = lisp::headerWord(lisp::type_code::SimpleString);
      word(string + 4) = lisp::makeFixnum(12);  // 40 bytes
      uint32_t list = nilval;
      for (int k = 0; k < 3; ++k)
        if (const uint32_t cell = cons_from_old()) {
          word(cell) = lisp::makeFixnum(k);
          word(cell + 4) = list;
          list = lisp::pointerWord(cell, lisp::Tag::Cons);
        }
      const uint32_t vector = other_from_old_xsmp(16);
      word(vector) = lisp::headerWord(lisp::type_code::SimpleVector);
      word(vector + 4) = lisp::makeFixnum(2);
      word(vector + 8) = lisp::pointerWord(string, lisp::Tag::Other);
      word(vector + 12) = list;
      if (i % 100 >= garbagePercent) {
        const uint32_t cell = cons_from_old();
        if (cell == 0) break;
        word(cell) = lisp::pointerWord(vector, lisp::Tag::Other);
        word(cell + 4) = g_roots[i % kRootCount];
        g_roots[i % kRootCount] = lisp::pointerWord(cell, lisp::Tag::Cons);
      }
    }
    oldBytes += GsOldAreas->frontier - start + (GsOldAreas->end - GsOldAreas->lowestConsPage);
    state.ResumeTiming();
    global_gc(0);
  }
  state.counters["old MB"] = static_cast<double>(oldBytes) / state.iterations() / (1 << 20);
  state.counters["s per MB"] =
      benchmark::Counter(static_cast<double>(oldBytes) / (1 << 20),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GlobalCollection)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

}  // namespace
