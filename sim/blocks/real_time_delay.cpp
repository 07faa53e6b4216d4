// RealTimeDelay: ties model time to wall-clock time. At each base step it
// waits until TimeMultiplier x sample time has passed since its previous
// step (sleeping for whole milliseconds, then busy-waiting), and counts the
// steps that took more than 1.1 times that target.
//
// Work vectors: integer [reference counter high word, low word, timeout
// count]; real [0, accumulated wall time, accumulated target time, counter
// frequency]. Output: [accumulated wall time, accumulated target time, this
// step's wall time].
#include "sim/blocks/real_time_delay.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "sim/blocks/driver_blocks.h"

namespace sim {

namespace {

constexpr int kParameterCount = 2;
constexpr double kSleepThreshold = 0.001;     // s: shorter waits are spent busy
constexpr double kBusyWaitThreshold = 1e-07;  // s
constexpr double kTimeoutFactor = 1.1;

constexpr const char* kWrongParameterCountText =
    "Wrong number of input arguments passed.\n%d arguments are expected\n";
constexpr const char* kSampleTimeNotScalarText = "Sample time argument must be a scalar\n";
constexpr const char* kFrequencyText = "CPU Frequency %1.2e\n       ";
constexpr const char* kTimeoutsText = "%d Timeouts\n";

enum IntegerWork : int { kReferenceHigh = 0, kReferenceLow = 1, kTimeouts = 2 };
enum RealWork : int { kAlwaysZero = 0, kWallTime = 1, kTargetTime = 2, kFrequency = 3 };

char statusText[128];

std::uint64_t monotonicFrequency() {
  return 1000000000ull;
}

std::uint64_t monotonicCounter() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull + now.tv_nsec;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
  timespec rest{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

constexpr PacerClock kMonotonicClock = {&monotonicFrequency, &monotonicCounter, &sleepMilliseconds};
const PacerClock* pacerClock = &kMonotonicClock;

// The reference counter value kept in the two integer-work words.
std::uint64_t reference(const BlockRecord* block) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(block->integerWork[kReferenceHigh]))
          << 32) |
         static_cast<std::uint32_t>(block->integerWork[kReferenceLow]);
}

void setReference(BlockRecord* block, std::uint64_t value) {
  block->integerWork[kReferenceHigh] = static_cast<std::int32_t>(value >> 32);
  block->integerWork[kReferenceLow] = static_cast<std::int32_t>(value & 0xffffffffu);
}

// Seconds from `since` to `now`, over the whole 64-bit difference.
double elapsed(std::uint64_t since, std::uint64_t now, double frequency) {
  return static_cast<double>(now - since) / frequency;
}

// Whole milliseconds of a wait, truncated; a wait longer than a sleep request
// can hold (a huge or infinite TimeMultiplier) asks for the longest sleep and
// leaves the rest to the busy wait.
std::uint32_t sleepCount(double seconds) {
  const double milliseconds = seconds * 1000.0;
  if (!(milliseconds < 4294967296.0)) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(milliseconds);
}

void setStatus(BlockRecord* block, const char* text) {
  *block->modelInfo->errorStatus = text;
}

double parameterValue(const BlockRecord* block, int k) {
  return block->parameters[k][2];
}

void sizes(BlockRecord* block) {
  block->expectedParameterCount = kParameterCount;
  if (block->numParameters != kParameterCount) {
    std::snprintf(statusText, sizeof statusText, kWrongParameterCountText, kParameterCount);
    setStatus(block, statusText);
    return;
  }
  const double* sampleTime = block->parameters[0];
  if (static_cast<int>(sampleTime[0]) != 1 || static_cast<int>(sampleTime[1]) != 1) {
    setStatus(block, kSampleTimeNotScalarText);
    return;
  }
  block->numContinuousStates = 0;
  block->numDiscreteStates = 0;
  block->numInputPorts = 0;
  block->numOutputPorts = 1;
  block->outputWidth = 3;
  block->numSampleTimes = 1;
  block->numIntegerWork = 3;
  block->numRealWork = 4;
  block->numPointerWork = 0;
}

void sampleTimes(BlockRecord* block) {
  if (block->numParameters != kParameterCount) return;
  *block->sampleTime = parameterValue(block, 0);
  *block->offset = 0.0;
}

void start(BlockRecord* block) {
  const std::uint64_t frequency = pacerClock->frequency();
  const std::uint64_t now = pacerClock->counter();
  std::printf(kFrequencyText, static_cast<double>(frequency));
  double* real = block->realWork;
  real[kAlwaysZero] = 0.0;
  real[kWallTime] = 0.0;
  real[kTargetTime] = 0.0;
  real[kFrequency] = static_cast<double>(frequency);
  setReference(block, now);
  block->integerWork[kTimeouts] = 0;
}

void outputs(BlockRecord* block, int) {
  double* real = block->realWork;
  const double frequency = real[kFrequency];
  const double target = parameterValue(block, 0) * parameterValue(block, 1);
  const std::uint64_t since = reference(block);
  const std::uint64_t now = pacerClock->counter();
  setReference(block, now);

  const double remaining = target - elapsed(since, now, frequency);
  if (remaining > kSleepThreshold) pacerClock->sleepMilliseconds(sleepCount(remaining));
  if (remaining > kBusyWaitThreshold)
    while (target - elapsed(since, pacerClock->counter(), frequency) > kBusyWaitThreshold) {
    }

  const std::uint64_t end = pacerClock->counter();
  setReference(block, end);
  const double stepTime = elapsed(since, end, frequency);
  real[kWallTime] += stepTime;
  real[kTargetTime] += target;
  block->outputSignal[0] = real[kWallTime];
  block->outputSignal[1] = real[kTargetTime];
  block->outputSignal[2] = stepTime;
  if (stepTime > kTimeoutFactor * target) ++block->integerWork[kTimeouts];
}

void terminate(BlockRecord* block) {
  std::printf(kTimeoutsText, block->integerWork[kTimeouts]);
}

}  // namespace

void setPacerClock(const PacerClock* replacement) {
  pacerClock = replacement != nullptr ? replacement : &kMonotonicClock;
}

void registerRealTimeDelayMethods(BlockRecord* block) {
  block->initializeSizes = &sizes;
  block->initializeSampleTimes = &sampleTimes;
  block->start = &start;
  block->outputs = &outputs;
  block->terminate = &terminate;
}

}  // namespace sim
