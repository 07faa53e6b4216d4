// One step of the ramp through the engine's entry points, on the model's own
// description of the linkage (sim/mechanism): kinematics, dynamics and
// derivatives separately, and the whole step as the programs' Euler loop
// makes it: the major step's kinematics and dynamics, the derivatives, the
// Euler update, the minor step's kinematics and dynamics (as far as the
// articulated inertia, as the model runs it), and the post-step with its
// stabilisation.
//
// The ramp is loaded and powered: four persons stand on it and the actuator
// pushes with a constant force while the ramp swings under its weight. Every
// 1000 steps (1 s of model time) the state goes back to the described
// configuration, outside the timed region and outside the allocation count,
// so every run measures the same motion and counts only what a step
// allocates.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine2d/provided_methods.h"
#include "mech_engine_common/engine_allocation.h"
#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_method_table.h"
#include "sim/mechanism/ramp_mechanism.h"

namespace {

constexpr int kStates = 10;
constexpr int kStepsBeforeReset = 1000;
constexpr double kStepSize = 0.001;

// Counts the engine's allocations while a benchmark runs (the step is meant
// to allocate nothing).
struct AllocationCount {
  static inline long blocks = 0;
  static inline long bytes = 0;
  static inline bool counting = true;  // off while the state is set back
  static void* allocate(std::size_t count, std::size_t size) {
    if (counting) {
      ++blocks;
      bytes += static_cast<long>(count * size);
    }
    return std::calloc(count, size);
  }
  static void release(void* block) { std::free(block); }
};

[[noreturn]] void fail(const char* what) {
  const char* text = getEngineError()->text;
  std::fprintf(stderr, "ramp step benchmark: %s failed: %s\n", what, text != nullptr ? text : "");
  std::exit(1);
}

// The model's 26 dynamic inputs as its initialisation wires them: four foot
// forces and the ramp weight as (0, F, 0), the ramp mass, its inertia row by
// row, the actuator force. Each foot carries a person of 100 kg.
struct RampInputs {
  double zero = 0.0;
  double one = 1.0;
  double personWeight = -100.0 * 9.81;
  double weight = -693.0 * 9.81;
  double mass = 693.0;
  double inertiaTerm = 693.0 * 0.6756;
  double actuatorForce = 2000.0;
  double* port[26];

  RampInputs() {
    int k = 0;
    for (int force = 0; force < 5; ++force) {
      port[k++] = &zero;
      port[k++] = force == 4 ? &weight : &personWeight;
      port[k++] = &zero;
    }
    port[k++] = &mass;
    double* inertia[9] = {&one, &zero, &zero, &zero, &one, &zero, &zero, &zero, &inertiaTerm};
    for (double* entry : inertia) port[k++] = entry;
    port[k] = &actuatorForce;
  }
};

// The created ramp with the ports the model's engine blocks give it.
class Ramp {
 public:
  Ramp() {
    mechanism_ = sim::buildMechanismDescription();
    char error[sim::kMechanismErrorBufferSize] = {};
    if (sim::mechanismCallback(mechanism_, sim::kMechanismParameters.data(), error,
                               sim::kMechanismErrorTextLimit)) {
      std::fprintf(stderr, "ramp step benchmark: parameter callback failed: %s\n", error);
      std::exit(1);
    }
    static EngineMethodTable methods{};
    fillProvidedEngineMethods(&methods);
    resetEngineMethodSet();
    registerMechanismMethods(&methods);
    if (createEngineMechanism(mechanism_)) fail("createEngineMechanism");
    // Until the model's assembly analysis sets them up, the motion arrays and
    // the active constraint equations are set up here, as the engine's tests do.
    if (setupMotionArrays(mechanism_, nullptr, nullptr, nullptr) || positionSweep2D(mechanism_) ||
        setVelocityConstraint2D(mechanism_))
      fail("setting up the motion arrays");
    classifyConstraintEquations(mechanism_);
    mechanism_->stateVector = state_;
    if (updateState(state_, mechanism_)) fail("updateState");
    std::memcpy(initialState_, state_, sizeof state_);

    kinematicsIn_.firstCallFlag = &assembled_;
    kinematicsOut_.isMajorStep = 1;
    kinematicsOut_.numOutputPorts = 2;
    kinematicsOut_.outputPorts[0] = kinematicOutputs_;
    kinematicsOut_.outputPorts[1] = stateOut_;
    dynamicsIn_.numInputPorts = 2;
    dynamicsIn_.inputPorts[0] = inputs_.port;
    dynamicsIn_.inputPorts[1] = environment_;
    dynamicsOut_.numOutputPorts = 1;
    dynamicsOut_.outputPorts[0] = &dynamicOutput_;
  }
  ~Ramp() { destroyEngineMechanism(mechanism_); }

  // Back to the described state and through the first step, at the start
  // time, where the kinematics step runs its start-of-run work once (not
  // counted as a step's allocations).
  void restart() {
    AllocationCount::counting = false;
    std::memcpy(state_, initialState_, sizeof state_);
    step_ = 0;
    step();
    AllocationCount::counting = true;
  }
  // The first step's time: entry points called again and again from here do
  // the work of an ordinary step, not that of the start time.
  void leaveStartTime() {
    step_ = 1;
    setTime();
    kinematicsOut_.isMajorStep = dynamicsOut_.isMajorStep = 1;
  }
  void setTime() { kinematicsIn_.time = dynamicsIn_.time = step_ * kStepSize; }
  void kinematics() {
    if (mechanismKinematicsStep(mechanism_, &kinematicsIn_, &kinematicsOut_))
      fail("mechanismKinematicsStep");
  }
  void dynamics() {
    if (mechanismDynamicsStep(mechanism_, &dynamicsIn_, &dynamicsOut_))
      fail("mechanismDynamicsStep");
  }
  void derivatives() {
    if (mechanismDerivatives(mechanism_, derivatives_)) fail("mechanismDerivatives");
  }
  // One step of the model's loop at t_n = step·h: the major step, the
  // derivatives, the Euler update to t_n+1, the minor step there and the
  // post-step. False when the run is due for a restart.
  bool step() {
    setTime();
    kinematicsOut_.isMajorStep = dynamicsOut_.isMajorStep = 1;
    kinematics();
    dynamics();
    derivatives();
    ++step_;
    setTime();
    for (int i = 0; i < kStates; ++i) state_[i] += kStepSize * derivatives_[i];
    kinematicsOut_.isMajorStep = dynamicsOut_.isMajorStep = 0;
    if (mechanismKinematicsStepWithoutOutputs(mechanism_, &kinematicsIn_, &kinematicsOut_))
      fail("mechanismKinematicsStepWithoutOutputs");
    if (mechanismArticulatedInertiaStep(mechanism_, &dynamicsIn_, &dynamicsOut_))
      fail("mechanismArticulatedInertiaStep");
    if (mechanismPostStep(mechanism_, &kinematicsIn_)) fail("mechanismPostStep");
    return step_ < kStepsBeforeReset;
  }
  const double* derivativeValues() const { return derivatives_; }

 private:
  EngineMechanism* mechanism_ = nullptr;
  double state_[kStates] = {};
  double initialState_[kStates] = {};
  double derivatives_[kStates] = {};
  int step_ = 0;
  int assembled_ = 1;
  RampInputs inputs_;
  double gravity_[3] = {0.0, 0.0, 0.0};  // the weight comes in as an applied force
  double* environment_[3] = {&gravity_[0], &gravity_[1], &gravity_[2]};
  double kinematicOutputs_[3] = {};
  double stateOut_[kStates] = {};
  double dynamicOutput_ = 0.0;
  MechanismInputView kinematicsIn_{};
  MechanismOutputView kinematicsOut_{};
  MechanismInputView dynamicsIn_{};
  MechanismOutputView dynamicsOut_{};
};

// Engine allocations made during the timed loop, per iteration.
class CountAllocations {
 public:
  CountAllocations() {
    AllocationCount::blocks = AllocationCount::bytes = 0;
    setEngineAllocator(&AllocationCount::allocate, &AllocationCount::release);
  }
  void report(benchmark::State& state) {
    setEngineAllocator(nullptr, nullptr);
    state.counters["allocs/step"] = benchmark::Counter(static_cast<double>(AllocationCount::blocks),
                                                       benchmark::Counter::kAvgIterations);
    state.counters["alloc bytes/step"] = benchmark::Counter(
        static_cast<double>(AllocationCount::bytes), benchmark::Counter::kAvgIterations);
  }
};

void BM_RampKinematicsStep(benchmark::State& state) {
  Ramp ramp;
  ramp.restart();
  ramp.leaveStartTime();
  ramp.kinematics();
  CountAllocations count;
  for (auto _ : state) ramp.kinematics();
  count.report(state);
}
BENCHMARK(BM_RampKinematicsStep);

void BM_RampDynamicsStep(benchmark::State& state) {
  Ramp ramp;
  ramp.restart();
  ramp.leaveStartTime();
  ramp.kinematics();
  CountAllocations count;
  for (auto _ : state) ramp.dynamics();
  count.report(state);
}
BENCHMARK(BM_RampDynamicsStep);

void BM_RampDerivatives(benchmark::State& state) {
  Ramp ramp;
  ramp.restart();
  ramp.leaveStartTime();
  ramp.kinematics();
  ramp.dynamics();
  CountAllocations count;
  for (auto _ : state) {
    ramp.derivatives();
    benchmark::DoNotOptimize(ramp.derivativeValues());
  }
  count.report(state);
}
BENCHMARK(BM_RampDerivatives);

void BM_RampWholeStep(benchmark::State& state) {
  Ramp ramp;
  ramp.restart();
  CountAllocations count;
  for (auto _ : state) {
    if (!ramp.step()) {
      state.PauseTiming();
      ramp.restart();
      state.ResumeTiming();
    }
  }
  count.report(state);
  state.SetLabel("major step, derivatives, Euler update, minor step, post-step");
}
BENCHMARK(BM_RampWholeStep);

}  // namespace
