// The profiler's cost per sample: a stack of raw frames laid out in memory,
// recorded through record_stack_difference into files that go to /dev/null.
// An unchanged stack costs the comparison of the innermost frames; a stack
// whose innermost frames change costs their encoding too.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "runtime/gc/profiler.h"

namespace {

constexpr uint32_t kFrameWords = 4;

uint32_t address(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// A stack of `depth` raw frames, outermost highest, the innermost
// `changing` frames with pcs that move at every sample.
class RawStack {
 public:
  explicit RawStack(uint32_t depth) : depth_(depth), words_((depth + 4) * kFrameWords, 0) {
    top_ = address(words_.data() + words_.size() - 2 * kFrameWords);
    for (uint32_t k = 0; k < depth; ++k) {
      uint32_t* fp = at(k);
      fp[-1] = 0;  // no function
      fp[0] = k + 1 < depth ? framePointer(k + 1) : 0;
      fp[1] = 0x08100000 + 16 * (k + 1);
    }
    prof_stackbase = top_;
  }
  void move(uint32_t changing, uint32_t round) {
    for (uint32_t k = 0; k + 1 < changing && k + 1 < depth_; ++k)
      at(k)[1] = 0x09000000 + 16 * (round % 64) + k;
    pc_ = 0x09100000 + 4 * (round % 64);
  }
  void sample() { record_stack_difference(pc_, framePointer(0), 0); }

 private:
  uint32_t framePointer(uint32_t k) const { return top_ - 4 * (depth_ - k) * kFrameWords; }
  uint32_t* at(uint32_t k) {
    return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(framePointer(k)));
  }
  uint32_t depth_;
  std::vector<uint32_t> words_;
  uint32_t top_ = 0;
  uint32_t pc_ = 0x08100000;
};

void startProfile() {
  if (start_profiler(2, INT_MAX, 10, 0, "/dev/null", "/dev/null") != 2) {
    std::fputs("profiler benchmark: start_profiler failed\n", stderr);
    std::exit(1);
  }
}

// Arguments: stack depth, innermost frames that change per sample (0: none).
void BM_Sample(benchmark::State& state) {
  RawStack stack(static_cast<uint32_t>(state.range(0)));
  const auto changing = static_cast<uint32_t>(state.range(1));
  startProfile();
  uint32_t round = 0;
  for (auto _ : state) {
    if (changing) stack.move(changing, ++round);
    stack.sample();
  }
  stop_profiler();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sample)
    ->Args({20, 0})
    ->Args({20, 3})
    ->Args({200, 0})
    ->Args({200, 3})
    ->Args({200, 200})
    ->Args({2100, 2100});

}  // namespace

BENCHMARK_MAIN();
