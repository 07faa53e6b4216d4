// The integer routines as compiled code calls them, through their entry
// slots: the fixnum fast path, a fixnum meeting a bignum (the borrowed
// temporary), and bignum products and quotients by operand length.
//
// The heap is laid out once (both heaps at their default addresses, GsInit).
// This runtime has no scavenger yet, so each iteration gives the new space
// its results took back (the bump pointer and the bytes left are restored);
// the operands are made before the mark and stay.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/support/quiet_stdout.h"
#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/forget_heaps.h"
#include "testing/lisp_call_harness.h"

namespace {

namespace nbg = lisp::nil_block::global;

constexpr uint32_t kOldSize = 0x100000;   // 1 MB
constexpr uint32_t kNewSize = 0x1000000;  // two semispaces of 8 MB
constexpr int32_t kSpread = 2;
constexpr int32_t kCallsPerIteration = 100;

constexpr int32_t kIntegerAdd = 0x18b;
constexpr int32_t kIntegerMultiply = 0x193;
constexpr int32_t kIntegerTruncate = 0x1d3;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "integer benchmark: %s failed\n", what);
  std::exit(1);
}

using testing_support::forgetHeaps;

// What bench_routine_loop (routine_loop.S) calls, and how often.
struct RoutineLoop {
  uint32_t target, nil, thread, eax, edx, ecx;
  int32_t count;
};
extern "C" uint32_t bench_routine_loop(const RoutineLoop* loop);

class IntegerHeap {
 public:
  IntegerHeap() {
    slot_ = platform::allocateThreadSlot();
    if (slot_ < 0) fail("allocating a thread slot");
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    forgetHeaps();
    if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) fail("setup_heaps");
    {
      bench_support::QuietStdout quiet;
      GsInit(kOldSize, kNewSize, kSpread, 0);
    }
    thread_ = lisp::wordOf(threadRecord_, lisp::Tag::Other);
    lisp::wordAt(thread_, lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
  }
  ~IntegerHeap() {
    free_heaps(0);
    forgetHeaps();
    platform::freeThreadSlot(slot_);
  }

  // A bignum of `digits` digits, every digit `fill` (the top one odd, so
  // that it is non-zero).
  lisp::lispval bignum(uint32_t digits, uint16_t fill) {
    testing_support::LispCallSetup setup;
    setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&newbignum));
    setup.edi = nilval;
    setup.ebx = thread_;
    setup.eax = digits;
    setup.frame[testing_support::frameIndex(0x1c)] = thread_;
    const lisp::lispval word = testing_support::callWithLispConventions(setup).eax;
    auto* object = lisp::objectOf<lisp::BignumObject>(word);
    for (uint32_t i = 0; i < digits; ++i) object->digits[i] = fill;
    object->digits[digits - 1] |= 1;
    return word;
  }
  RoutineLoop loop(int32_t slot, uint32_t eax, uint32_t edx) const {
    return {gc::globalWord(slot), nilval, thread_, eax, edx, 2, kCallsPerIteration};
  }
  void mark() {
    next_ = gc::globalWord(nbg::kNewSpaceNext);
    left_ = gc::globalWord(nbg::kNewSpaceFree);
  }
  void rewind() {
    gc::globalWord(nbg::kNewSpaceNext) = next_;
    gc::globalWord(nbg::kNewSpaceFree) = left_;
    gc::globalWord(nbg::kDivisorScratch) = nilval;
  }

 private:
  int32_t slot_ = -1;
  alignas(8) uint32_t threadRecord_[lisp::thread_record::kRecordWords] = {};
  lisp::lispval thread_ = 0;
  uint32_t next_ = 0, left_ = 0;
};

void runLoop(benchmark::State& state, IntegerHeap& heap, const RoutineLoop& loop) {
  heap.mark();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench_routine_loop(&loop));
    heap.rewind();
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerIteration);
}

// Two fixnums whose sum fits: the entry returns without a frame.
void BM_AddFixnums(benchmark::State& state) {
  IntegerHeap heap;
  runLoop(state, heap, heap.loop(kIntegerAdd, lisp::makeFixnum(12345), lisp::makeFixnum(-678)));
}
BENCHMARK(BM_AddFixnums);

// A fixnum and a bignum of n digits: the temporary, one addition, prunebig.
void BM_AddFixnumToBignum(benchmark::State& state) {
  IntegerHeap heap;
  const lisp::lispval big = heap.bignum(static_cast<uint32_t>(state.range(0)), 0x1234);
  runLoop(state, heap, heap.loop(kIntegerAdd, lisp::makeFixnum(-5), big));
}
BENCHMARK(BM_AddFixnumToBignum)->Arg(3)->Arg(64);

// Bignum × bignum, n digits each (odd n reads the spare tail digit).
void BM_MultiplyBignums(benchmark::State& state) {
  IntegerHeap heap;
  const auto n = static_cast<uint32_t>(state.range(0));
  const lisp::lispval a = heap.bignum(n, 0x9abc), b = heap.bignum(n, 0x4321);
  runLoop(state, heap, heap.loop(kIntegerMultiply, a, b));
}
BENCHMARK(BM_MultiplyBignums)->Arg(4)->Arg(17)->Arg(125);

// A 2n-digit dividend by an n-digit divisor: the long division with the
// shifted divisor in the scratch bignum.
void BM_TruncateBignums(benchmark::State& state) {
  IntegerHeap heap;
  const auto n = static_cast<uint32_t>(state.range(0));
  const lisp::lispval a = heap.bignum(2 * n, 0x9abc), b = heap.bignum(n, 0x0321);
  runLoop(state, heap, heap.loop(kIntegerTruncate, a, b));
}
BENCHMARK(BM_TruncateBignums)->Arg(3)->Arg(16)->Arg(125);

// A bignum by a one-digit fixnum: no remainder buffer.
void BM_TruncateByDigit(benchmark::State& state) {
  IntegerHeap heap;
  const lisp::lispval a = heap.bignum(static_cast<uint32_t>(state.range(0)), 0x9abc);
  runLoop(state, heap, heap.loop(kIntegerTruncate, a, lisp::makeFixnum(10)));
}
BENCHMARK(BM_TruncateByDigit)->Arg(4)->Arg(125);

}  // namespace
