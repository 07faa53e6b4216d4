// The runtime's logarithm, exponential and power beside the platform's, on
// a fixed spread of arguments (one call per iteration, cycling through them).

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstddef>

#include "runtime/rs/float_functions.h"

namespace {

constexpr size_t kArguments = 256;

// Arguments spread over e^-700 .. e^700 (log), -740 .. 700 (exp) and pairs
// whose powers stay finite (pow).
struct Arguments {
  std::array<double, kArguments> positive{}, exponent{}, base{}, power{};
  Arguments() {
    for (size_t i = 0; i < kArguments; ++i) {
      const double t = static_cast<double>(i) / kArguments;
      positive[i] = std::exp(-700 + 1400 * t);
      exponent[i] = -740 + 1440 * t;
      base[i] = 0.1 + 20 * t;
      power[i] = -30 + 60 * (1 - t);
    }
  }
};
const Arguments kArgumentsTable;

template <double (*F)(double)>
void unary(benchmark::State& state, const std::array<double, kArguments>& xs) {
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(F(xs[i]));
    i = (i + 1) % kArguments;
  }
}
template <double (*F)(double, double)>
void binary(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(F(kArgumentsTable.base[i], kArgumentsTable.power[i]));
    i = (i + 1) % kArguments;
  }
}

double platformLog(double x) {
  return std::log(x);
}
double platformExp(double x) {
  return std::exp(x);
}
double platformPow(double x, double y) {
  return std::pow(x, y);
}

void BM_LispLog(benchmark::State& s) {
  unary<lisp_log>(s, kArgumentsTable.positive);
}
void BM_PlatformLog(benchmark::State& s) {
  unary<platformLog>(s, kArgumentsTable.positive);
}
void BM_LispExp(benchmark::State& s) {
  unary<lisp_exp>(s, kArgumentsTable.exponent);
}
void BM_PlatformExp(benchmark::State& s) {
  unary<platformExp>(s, kArgumentsTable.exponent);
}
void BM_LispPow(benchmark::State& s) {
  binary<lisp_pow>(s);
}
void BM_PlatformPow(benchmark::State& s) {
  binary<platformPow>(s);
}

BENCHMARK(BM_LispLog);
BENCHMARK(BM_PlatformLog);
BENCHMARK(BM_LispExp);
BENCHMARK(BM_PlatformExp);
BENCHMARK(BM_LispPow);
BENCHMARK(BM_PlatformPow);

}  // namespace

BENCHMARK_MAIN();
