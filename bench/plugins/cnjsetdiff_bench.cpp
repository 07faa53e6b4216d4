// cnjsetdiff on two sorted, disjoint vectors of n elements each (every
// element of A is kept, so each search runs as far as it ever does): the
// time grows linearly with n. The plain search to the end of B, used for a
// B that is not sorted, is measured beside it on a B in descending order.
#include <benchmark/benchmark.h>

#include <vector>

#include "numhost/loader.h"

namespace {

void runDifference(benchmark::State& state, bool ascendingB) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<double> a(n), b(n);
  for (std::size_t i = 0; i < n; ++i) {
    a[i] = 2.0 * static_cast<double>(i);
    b[ascendingB ? i : n - 1 - i] = 2.0 * static_cast<double>(i) + 1.0;
  }
  numhost::Plugin plugin(PLUGIN_PATH);
  auto aArray = numhost::makeMatrix(1, n, a);
  auto bArray = numhost::makeMatrix(1, n, b);
  for (auto _ : state) {
    auto outcome = plugin.call(1, {aArray.get(), bArray.get()});
    benchmark::DoNotOptimize(outcome.results[0].get());
  }
  state.SetComplexityN(state.range(0));
}

void BM_SortedDisjoint(benchmark::State& state) {
  runDifference(state, true);
}
BENCHMARK(BM_SortedDisjoint)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 18)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Quadratic: kept small so the benchmark stays bounded.
void BM_UnsortedBScan(benchmark::State& state) {
  runDifference(state, false);
}
BENCHMARK(BM_UnsortedBScan)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 14)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNSquared);

}  // namespace
