// One base step of the zorvath model through its scheduler (oneStep): the
// three engine blocks in the major and the minor step, the controller, the
// viewer sender (one datagram to 127.0.0.1), the pacer (multiplier 0: no
// waiting), the logger, the Euler update and the post-step. When the run
// reaches its 20 s stop time the model is terminated and initialised again
// outside the timed region.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/support/quiet_stdout.h"
#include "sim/model/sim_model.h"

namespace {

void initialise() {
  bench_support::QuietStdout quiet;
  sim::parameters = sim::kDefaultParameters;
  sim::modelInitialize();
  if (sim::model->errorStatus != nullptr) {
    std::fprintf(stderr, "model benchmark: initialisation failed: %s\n", sim::model->errorStatus);
    std::exit(1);
  }
}

void terminate() {
  bench_support::QuietStdout quiet;
  sim::modelTerminate();
}

void BM_ZorvathModelStep(benchmark::State& state) {
  initialise();
  long runs = 1;
  for (auto _ : state) {
    sim::oneStep();
    if (sim::model->errorStatus != nullptr) {
      state.PauseTiming();
      if (std::strcmp(sim::model->errorStatus, sim::kSimulationFinished) != 0) {
        std::fprintf(stderr, "model benchmark: the run ended with: %s\n", sim::model->errorStatus);
        std::exit(1);
      }
      terminate();
      initialise();
      ++runs;
      state.ResumeTiming();
    }
  }
  terminate();
  state.counters["runs of 20 s"] = static_cast<double>(runs);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZorvathModelStep);

}  // namespace
