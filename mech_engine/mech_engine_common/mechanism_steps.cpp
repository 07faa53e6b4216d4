#include "mech_engine_common/engine_entry_points.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_method_signatures.h"
#include "mech_engine_common/engine_method_table.h"
#include "mech_engine_common/engine_methods.h"
#include "mech_engine_common/matrix_multiply.h"

// The per-step entry points. Every method is called through its
// MechanismMethods slot: an empty slot is skipped, and the first method that
// fails ends the entry point with true (its message is in the error record).

namespace {

using S = MechanismSlot;

// Calls slot `slot` with its signature when bound; false (success) when empty.
template <typename Signature, typename... Args>
bool call(const EngineMechanism* mechanism, MechanismSlot slot, Args... args) {
  if (mechanism->methods == nullptr) return false;  // not created: nothing is bound
  const EngineMethod method = (*mechanism->methods)[slot];
  return method != nullptr && methodAs<Signature>(method)(args...);
}

double** inputPort(const MechanismInputView* in, int index) {
  if (index < 0 || index >= in->numInputPorts || index >= kMechanismBlockPortCapacity) {
    return nullptr;
  }
  return in->inputPorts[index];
}

double* outputPort(const MechanismOutputView* out, int index) {
  if (index < 0 || index >= out->numOutputPorts || index >= kMechanismBlockPortCapacity) {
    return nullptr;
  }
  return out->outputPorts[index];
}

// With events, a signal passes from input port `from` to the last output port.
void passThrough(const MechanismInputView* in, int from, const MechanismOutputView* out) {
  double** source = inputPort(in, from);
  double* target = outputPort(out, out->numOutputPorts - 1);
  if (source != nullptr && source[0] != nullptr && target != nullptr) target[0] = *source[0];
}

bool isAtStartTime(const MechanismInputView* in) {
  return in->time == in->startTime;
}

// Whether the stabilisation of the post step before recorded its sweeps'
// coordinates (no other entry point ran since); every entry point clears the
// mark, a stabilisation that succeeds sets it.
bool takeSweepsRecordedMark(EngineMechanism* m) {
  const bool recorded = m->sweepsRecorded != 0;
  m->sweepsRecorded = 0;
  return recorded;
}

bool positionAndVelocitySweeps(EngineMechanism* m) {
  return call<MechanismMethod>(m, S::positionSweep, m) ||
         call<MechanismMethod>(m, S::velocitySweep, m);
}

// Step 5 of the kinematics step: assemble, or keep the mechanism on its path.
bool kinematicsByMode(EngineMechanism* m, const MechanismInputView* in,
                      const MechanismOutputView* out, bool assembled, bool sweepsCurrent) {
  if (!assembled) {
    if (call<MechanismSwitchMethod>(m, S::assemblyAnalysis, m, true)) return true;
    if (call<StateVectorMethod>(m, S::updateState, m->stateVector, m)) return true;
    if (in->firstCallFlag != nullptr) *in->firstCallFlag = 1;
    return false;
  }
  switch (m->environment->analysisMode) {
    case kAnalysisTrimming:
      return positionAndVelocitySweeps(m);
    case kAnalysisDynamics:
      if (isAtStartTime(in) && out->isMajorStep && m->kinematicData != nullptr) {
        return call<MechanismSwitchMethod>(m, S::assemblyAnalysis, m, false) ||
               call<StateVectorMethod>(m, S::updateState, m->stateVector, m);
      }
      if (sweepsCurrent) return false;
      return positionAndVelocitySweeps(m);
    case kAnalysisKinematics:
      if (call<MechanismSwitchMethod>(m, S::assemblyAnalysis, m, false)) return true;
      return out->isMajorStep && call<StateVectorMethod>(m, S::updateState, m->stateVector, m);
    case kAnalysisInputOutputOnly:
      return false;
    default:
      releaseAssertion();
      return false;
  }
}

bool anyRequest(const MachineEnvironment* environment, std::initializer_list<int> requests) {
  for (int request : requests) {
    if (environment->kinematicRequest[request - 1] != 0) return true;
  }
  return false;
}

// How far a kinematics step goes.
enum class KinematicsReach { Whole, WithoutOutputs };

bool kinematicsStep(EngineMechanism* m, MechanismInputView* in, MechanismOutputView* out,
                    KinematicsReach reach) {
  const MachineEnvironment* environment = m->environment;
  const bool assembled = in->firstCallFlag != nullptr && *in->firstCallFlag != 0;
  const bool sweepsRecorded = takeSweepsRecordedMark(m);
  m->kinematicsStepSwept = 0;

  if (m->kinematicData != nullptr) {
    reinterpret_cast<std::uint8_t*>(m->kinematicData)[kKinematicDataStepFlagByte] = 0;
  }
  m->time = in->time;
  if (environment->numKinematicInputs > 0 &&
      call<InputPortMethod>(m, S::kinematicInputs, inputPort(in, 0), m)) {
    return true;
  }
  if (call<MechanismSwitchMethod>(m, S::unpackState, m, !assembled)) return true;
  // Right after a post step whose stabilisation ended with both sweeps, the
  // placements and velocities still belong to the coordinates read back
  // (nothing has run since); without kinematic inputs nothing else they are
  // made from can have changed, so they are not made again.
  const bool sweepsCurrent = sweepsRecorded && environment->numKinematicInputs == 0 &&
                             sweptCoordinatesUnchanged(m);
  if (kinematicsByMode(m, in, out, assembled, sweepsCurrent)) return true;

  int port = 0;
  double* outputs = environment->numKinematicOutputs > 0 ? outputPort(out, port++) : nullptr;
  double* stateOutputs = environment->numStates > 0 ? outputPort(out, port++) : nullptr;
  // Writing the outputs raises no error of its own: a caller that reads
  // neither port loses nothing the whole step would do.
  if (reach == KinematicsReach::Whole) {
    if (call<OutputPortMethod>(m, S::kinematicOutputs, outputs, m)) return true;
    if (environment->numStates > 0 &&
        call<StateVectorMethod>(m, S::updateState, stateOutputs, m)) {
      return true;
    }
  }
  if (environment->analysisMode == kAnalysisTrimming &&
      call<ConstraintOutputsMethod>(m, S::outputConstraints, m, outputPort(out, port),
                                    outputPort(out, port + 1))) {
    return true;
  }
  if (environment->hasEvents) passThrough(in, in->numInputPorts - 2, out);
  m->kinematicsStepSwept = 1;
  return false;
}

}  // namespace

bool mechanismKinematicsStep(EngineMechanism* m, MechanismInputView* in, MechanismOutputView* out) {
  return kinematicsStep(m, in, out, KinematicsReach::Whole);
}

bool mechanismKinematicsStepWithoutOutputs(EngineMechanism* m, MechanismInputView* in,
                                           MechanismOutputView* out) {
  return kinematicsStep(m, in, out, KinematicsReach::WithoutOutputs);
}

namespace {

// How far a dynamics step goes.
enum class DynamicsReach { Whole, ArticulatedInertia };

bool dynamicsStep(EngineMechanism* m, MechanismInputView* in, MechanismOutputView* out,
                  DynamicsReach reach) {
  takeSweepsRecordedMark(m);
  const MachineEnvironment* environment = m->environment;
  if (environment->numDynamicInputs > 0 &&
      call<InputPortMethod>(m, S::dynamicInputs, inputPort(in, 0), m)) {
    return true;
  }

  // The environment vector (gravity) from the last input port, into the plane in 2D.
  double** last = inputPort(in, in->numInputPorts - 1);
  EngineMatrix* environmentVector = environment->environmentVector;
  if (last != nullptr && environmentVector != nullptr && environmentVector->data != nullptr) {
    double signals[3];
    for (int i = 0; i < 3; ++i) signals[i] = last[i] != nullptr ? *last[i] : 0.0;
    if (m->allowedSimulationDimensions == kEngineDimension2D && m->transform2D != nullptr) {
      matrixMultiply(environmentVector->data, m->transform2D->data, signals, 3, 3, 3, 1,
                     kFormGeneral, kFormGeneral, kMultiplyProduct);
    } else {
      for (int i = 0; i < 3; ++i) environmentVector->data[i] = signals[i];
    }
  }

  double* outputs = environment->numDynamicOutputs > 0 ? outputPort(out, 0) : nullptr;
  switch (environment->analysisMode) {
    case kAnalysisTrimming:
    case kAnalysisDynamics:
      if (call<MechanismMethod>(m, S::dynamicSweep, m) ||
          call<MechanismSwitchMethod>(m, S::external, m, true) ||
          call<MechanismMethod>(m, S::ricatti, m)) {
        return true;
      }
      // What is left forms equations and sums and raises no error of its
      // own: stopping here keeps every error the whole step would raise.
      if (reach == DynamicsReach::ArticulatedInertia) {
        if (environment->hasEvents) passThrough(in, in->numInputPorts - 2, out);
        return false;
      }
      if (call<MechanismMethod>(m, S::lagrange, m) ||
          call<MechanismSwitchMethod>(m, S::acceleration, m, true)) {
        return true;
      }
      break;
    case kAnalysisKinematics:
      if (anyRequest(environment, {1, 5, 6, 7})) {
        if (call<MechanismMethod>(m, S::kinematicAcceleration, m)) return true;
        if (anyRequest(environment, {1, 6, 7}) &&
            call<MechanismMethod>(m, S::kinematicLagrange, m)) {
          return true;
        }
      }
      break;
    default:  // input and output methods only
      break;
  }
  if (call<OutputPortMethod>(m, S::dynamicOutputs, outputs, m)) return true;
  if (environment->hasEvents) passThrough(in, in->numInputPorts - 2, out);
  return false;
}

}  // namespace

bool mechanismDynamicsStep(EngineMechanism* m, MechanismInputView* in, MechanismOutputView* out) {
  return dynamicsStep(m, in, out, DynamicsReach::Whole);
}

bool mechanismArticulatedInertiaStep(EngineMechanism* m, MechanismInputView* in,
                                     MechanismOutputView* out) {
  return dynamicsStep(m, in, out, DynamicsReach::ArticulatedInertia);
}

bool mechanismEventStep(EngineMechanism* m, MechanismInputView* in, MechanismOutputView* out) {
  takeSweepsRecordedMark(m);
  const MachineEnvironment* environment = m->environment;
  if (!environment->hasEvents) return false;
  if (out->isMajorStep) {
    m->kinematicsStepSwept = 0;  // the modes may change
    if (in->firstCallFlag != nullptr && *in->firstCallFlag != 0) {
      *in->firstCallFlag = 0;  // the first major step skips the event inputs
    } else if (call<InputPortMethod>(m, S::eventInputs,
                                     environment->numEventInputs > 0 ? inputPort(in, 0) : nullptr,
                                     m)) {
      return true;
    }
    call<ModeVectorMethod>(m, S::updateModeVector, m, in->inputPorts[6]);  // result ignored
  }
  passThrough(in, in->numInputPorts - 1, out);
  return false;
}

bool mechanismDerivatives(EngineMechanism* m, double* derivatives) {
  takeSweepsRecordedMark(m);
  m->kinematicsStepSwept = 0;
  const std::int32_t mode = m->environment->analysisMode;
  if (mode != kAnalysisTrimming && mode != kAnalysisDynamics) return false;
  return call<StateVectorMethod>(m, S::updateStateDerivatives, derivatives, m);
}

namespace {

bool postStep(EngineMechanism* m, MechanismInputView* in) {
  const MachineEnvironment* environment = m->environment;
  if (isAtStartTime(in)) return call<StateVectorMethod>(m, S::updateState, m->stateVector, m);
  const std::int32_t mode = environment->analysisMode;
  if (mode == kAnalysisTrimming || mode == kAnalysisKinematics) return false;

  if (m->numConstraints == 0) {
    return call<MechanismMethod>(m, S::scaleQuaternions, m) ||
           call<StateVectorMethod>(m, S::updateState, m->stateVector, m);
  }
  if (environment->numKinematicInputs > 0 &&
      call<InputPortMethod>(m, S::kinematicInputs, inputPort(in, 0), m)) {
    return true;
  }
  if (call<MechanismSwitchMethod>(m, S::unpackState, m, false)) return true;
  if (environment->constraintSolverKind == kConstraintSolverStabilising) {
    // The stabilisation may leave the sweeps-recorded mark; a failure after it clears it.
    if (call<MechanismMethod>(m, S::stabilise, m) ||
        call<MechanismMethod>(m, S::assemblyCheck, m) ||
        call<StateVectorMethod>(m, S::updateState, m->stateVector, m)) {
      m->sweepsRecorded = 0;
      return true;
    }
    return false;
  } else {
    // The projection solver's slot is checked like every other. Whether it
    // converged is left to the assembly check that follows.
    std::uint8_t converged = 0;
    if (call<NonlinearSolverMethod>(m, S::nonlinearSolver, m, false, &converged) ||
        call<MechanismMethod>(m, S::assemblyCheck, m) ||
        call<MechanismSwitchMethod>(m, S::projectVelocity, m, false)) {
      return true;
    }
  }
  return call<StateVectorMethod>(m, S::updateState, m->stateVector, m);
}

}  // namespace

bool mechanismPostStep(EngineMechanism* m, MechanismInputView* in) {
  takeSweepsRecordedMark(m);
  const bool failed = postStep(m, in);
  m->kinematicsStepSwept = 0;  // the stabilisation has read it
  return failed;
}
