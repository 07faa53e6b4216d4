// The logger on a ramp-sized variable set: one updateDataLogging per major
// step, and the matrix-file write that ends a run.
//
// Neither zorvath nor zorvath_cli logs a signal: their runs create the matrix
// file and remove it again, and their per-step logging call returns at once.
// These figures are the logger's own cost, for a build that logs this set;
// they are no part of either program's step.
//
// The variable set: time, the ten continuous states, the final states, and
// four outputs (kinematic outputs 3 x double, foot forces 4 x double, feet
// occupied 4 x uint8, actuator force 1 x double), logged at 1 ms over a run of
// 20 s, in matrix format or as structures with time.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/quiet_stdout.h"
#include "sim/logging/data_logging.h"
#include "sim/logging/log_memory.h"
#include "sim/logging/log_variables.h"

namespace {

using namespace sim;

constexpr double kStepSize = 0.001;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "logging benchmark: %s\n", what);
  std::exit(1);
}

// Bytes the logger asked for (buffers and records), while installed.
struct CountingAllocator {
  static inline std::uint64_t bytes = 0;
  static void* allocateZeroed(std::size_t size) {
    bytes += size;
    return std::calloc(1, size == 0 ? 1 : size);
  }
  static void* reallocate(void* block, std::size_t size) {
    bytes += size;
    return std::realloc(block, size);
  }
  static void release(void* block) { std::free(block); }
  static constexpr LogAllocator kAllocator = {&allocateZeroed, &reallocate, &release};
};

constexpr int32_t kScalar[] = {1};
constexpr int32_t kThree[] = {3};
constexpr int32_t kFour[] = {4};
constexpr int32_t kTen[] = {10};

// The ramp-sized model whose signals are logged.
struct RampSignals {
  double time[3] = {};
  double states[10] = {};
  double kinematicOutputs[3] = {};
  double footForces[4] = {};
  std::uint8_t footOn[4] = {};
  double actuatorForce = 0.0;
  const void* stateSignals[1] = {states};
  const void* outputSignals[4] = {kinematicOutputs, footForces, footOn, &actuatorForce};

  const int32_t stateWidths[1] = {10};
  const int32_t stateNumDims[1] = {1};
  const int32_t* stateDims[1] = {kTen};
  const int32_t stateTypes[1] = {kTypeDouble};
  const char* stateLabels[1] = {"RampLinkage"};
  const int32_t outputWidths[4] = {3, 4, 4, 1};
  const int32_t outputNumDims[4] = {1, 1, 1, 1};
  const int32_t* outputDims[4] = {kThree, kFour, kFour, kScalar};
  const int32_t outputTypes[4] = {kTypeDouble, kTypeDouble, kTypeUint8, kTypeDouble};
  const char* outputLabels[4] = {"kinematics", "footForces", "footOn", "actuatorForce"};
  LogSignalDescription stateDescription{};
  LogSignalDescription outputDescription{};
  LoggingSetup setup{};
  long step = 0;

  explicit RampSignals(LogFormat format) {
    stateDescription.numSignals = 1;
    stateDescription.widths = stateWidths;
    stateDescription.numDimensions = stateNumDims;
    stateDescription.dimensions = stateDims;
    stateDescription.dataTypes = stateTypes;
    stateDescription.labels = stateLabels;
    outputDescription.numSignals = 4;
    outputDescription.widths = outputWidths;
    outputDescription.numDimensions = outputNumDims;
    outputDescription.dimensions = outputDims;
    outputDescription.dataTypes = outputTypes;
    outputDescription.labels = outputLabels;
    setup.stateSignals = stateSignals;
    setup.outputSignals = outputSignals;
    setup.format = format;
    setup.decimation = 1;
    setup.nameModifier = "none";
    setup.timeName = "tout";
    setup.stateName = "xout";
    setup.finalStateName = "xFinal";
    setup.outputNames = "kinematics,footForces,footOn,actuatorForce";
    setup.loggedSignalsName = "";
    setup.stateSignalsDescription = &stateDescription;
    setup.outputSignalsDescription = &outputDescription;
  }
  ~RampSignals() { discard(); }

  // Starts logging a run of `seconds`; returns the bytes the logger took.
  std::uint64_t start(double seconds) {
    discard();
    CountingAllocator::bytes = 0;
    setLogAllocator(&CountingAllocator::kAllocator);
    const char* status = nullptr;
    {
      bench_support::QuietStdout quiet;
      startDataLogging(&setup, 0.0, seconds, kStepSize, &status);
    }
    if (status != nullptr || setup.state == nullptr) fail("startDataLogging failed");
    step = 0;
    return CountingAllocator::bytes;
  }
  void discard() {
    if (setup.state != nullptr) destroyLoggingState(setup.state);
    setup.state = nullptr;
    setLogAllocator(nullptr);
  }
  // Moves every signal on by one step and logs it.
  void logStep() {
    const double t = static_cast<double>(step) * kStepSize;
    time[0] = t;
    for (int i = 0; i < 10; ++i) states[i] = t * (i + 1);
    kinematicOutputs[0] = -t;
    kinematicOutputs[1] = 2 * t;
    kinematicOutputs[2] = 2.0;
    for (int i = 0; i < 4; ++i) {
      footForces[i] = -1000.0 * (i + 1) * t;
      footOn[i] = static_cast<std::uint8_t>((step >> (10 + i)) & 1);
    }
    actuatorForce = 2.0e4 * t;
    updateDataLogging(&setup, time);
    ++step;
  }
};

const char* formatName(LogFormat format) {
  return format == kLogFormatMatrix ? "matrix format" : "structures with time";
}

// One sample of every variable; the logging restarts after each 20 s run
// (outside the timed region), so the buffers never wrap or grow.
void BM_UpdateDataLogging(benchmark::State& state) {
  const auto format = static_cast<LogFormat>(state.range(0));
  constexpr double kRunSeconds = 20.0;
  const long stepsPerRun = static_cast<long>(kRunSeconds / kStepSize) + 1;
  RampSignals model(format);
  const std::uint64_t bytes = model.start(kRunSeconds);
  for (auto _ : state) {
    if (model.step == stepsPerRun) {
      state.PauseTiming();
      model.start(kRunSeconds);
      state.ResumeTiming();
    }
    model.logStep();
  }
  state.counters["logger bytes for 20 s"] = static_cast<double>(bytes);
  state.SetLabel(std::string(formatName(format)) + " (not logged by either program)");
}
BENCHMARK(BM_UpdateDataLogging)->Arg(kLogFormatMatrix)->Arg(kLogFormatStructureWithTime);

// A scratch directory for the written files, removed at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/bench_sim_logging_XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("cannot make a scratch directory");
    path_ = pattern;
  }
  ~ScratchDirectory() { rmdir(path_.c_str()); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// stopDataLogging after a whole run: fix-up of every buffer into column
// order, the matrix file's write and close, and freeing the logger. The run
// is logged outside the timed region.
void BM_WriteMatrixFile(benchmark::State& state) {
  const auto format = static_cast<LogFormat>(state.range(0));
  const double seconds = static_cast<double>(state.range(1));
  const long steps = static_cast<long>(seconds / kStepSize) + 1;
  ScratchDirectory scratch;
  const std::string file = scratch.file("run.qmf");
  RampSignals model(format);
  std::int64_t fileBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    model.start(seconds);
    for (long k = 0; k < steps; ++k) model.logStep();
    state.ResumeTiming();
    {
      bench_support::QuietStdout quiet;
      stopDataLogging(file.c_str(), &model.setup);
    }
    state.PauseTiming();
    struct stat written;
    if (stat(file.c_str(), &written) != 0) fail("the matrix file was not written");
    fileBytes = written.st_size;
    unlink(file.c_str());
    model.discard();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * fileBytes);
  state.counters["file bytes"] = static_cast<double>(fileBytes);
  state.SetLabel(std::string(formatName(format)) + " (not logged by either program)");
}
BENCHMARK(BM_WriteMatrixFile)
    ->Args({kLogFormatMatrix, 20})
    ->Args({kLogFormatStructureWithTime, 20})
    ->Args({kLogFormatMatrix, 100})
    ->Unit(benchmark::kMillisecond);

}  // namespace
