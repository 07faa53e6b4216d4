#include <cmath>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_vector_kernels.h"

// Kinematic inputs and outputs: the signals between the kinematics block's
// ports and the joint and constraint coordinates, and the body sensors.

namespace {

double scaleOf(const EngineSensor& sensor) {
  return sensor.scale != nullptr ? sensor.scale[0] : 1.0;
}

// Position, velocity and mode of one scalar primitive of a joint or constraint.
struct PrimitiveValues {
  const double* positions;
  const double* velocities;
  const std::int32_t* modes;
  double sign;
};

// Writes the position (code 8) or velocity (code 9) sensor values of one
// sensor entry; other codes write nothing.
void writeSensor(const EngineSensor& sensor, int numPrimitives, const EnginePrimitive* primitives,
                 const PrimitiveValues& values, double** running) {
  const int i = sensor.primitiveIndex;
  if (i < 0 || i >= numPrimitives) return;
  const EnginePrimitive& primitive = primitives[i];
  const double scale = scaleOf(sensor);
  if (primitive.kind != kPrimitiveRevolute && primitive.kind != kPrimitivePrismatic) {
    releaseAssertion();
    return;
  }
  if (sensor.code == 8) {
    const double position = values.sign * values.positions[i];
    const double value =
        primitive.kind == kPrimitiveRevolute ? wrapRevoluteAngle(position) : position;
    *(*running)++ = scale * value;
  } else if (sensor.code == 9) {
    const double velocity = values.velocities[i];
    double value = scale * velocity;
    // At a one-sided stop the rate reads as a tiny value on the allowed side.
    if (primitive.stiction == kStictionActuated && values.modes != nullptr) {
      if (values.modes[i] == kModeStopLower && velocity <= 0.0) value = 10.0 * kEngineRealmin;
      if (values.modes[i] == kModeStopUpper && velocity >= 0.0) value = -10.0 * kEngineRealmin;
    }
    *(*running)++ = values.sign * value;
  }
}

// out = frame ᵀ·v (operation 3 of the output frame), or v when there is none.
void throughFrame(const double* frame, const double* v, double* out) {
  if (frame == nullptr) {
    out[0] = v[0];
    out[1] = v[1];
    out[2] = v[2];
    return;
  }
  for (int j = 0; j < 3; ++j) {
    out[j] = frame[3 * j] * v[0] + frame[3 * j + 1] * v[1] + frame[3 * j + 2] * v[2];
  }
}

EngineMethod jointMethod(const EngineJoint* joint, JointMethod method) {
  const EngineGeneralJoint* g = generalOf(joint);
  return g != nullptr ? g->methods[method] : nullptr;
}

}  // namespace

double wrapRevoluteAngle(double angle) {
  constexpr double kTwoPi = 2.0 * kEnginePi;
  if (angle == kEnginePi) return angle;
  if (angle > 0.0) return angle - kTwoPi * std::floor((angle + kEnginePi) / kTwoPi);
  return angle + kTwoPi * std::floor((kEnginePi - angle) / kTwoPi);
}

void writeBodySensors(const EngineBody* body, const EngineJoint* placement, double** running) {
  const EngineBodyDescription* d = body->description;
  if (d == nullptr) return;
  const EngineJointRotation* rotation = placement->rotation;
  const double* velocity = motionData(placement, kMotionVelocity);
  const double* zero = frameRotation(outboardSide(placement));
  for (int s = 0; s < d->numSensors; ++s) {
    const EngineSensor& sensor = d->sensors[s];
    const double scale = scaleOf(sensor);
    // The sensor point's offset, turned from the described frame to now.
    double offset[3] = {0, 0, 0};
    if (sensor.position != nullptr) {
      const double local[2] = {zero[0] * sensor.position[0] + zero[1] * sensor.position[1],
                               zero[3] * sensor.position[0] + zero[4] * sensor.position[1]};
      rotate2(rotation->rotation, local, offset);
    }
    double value[3];
    switch (sensor.code) {
      case 1: {  // orientation: the planar rotation in a 3x3 matrix (1 in the corner)
        const double* r = rotation->rotation;
        const double embedded[9] = {r[0], r[1], 0, r[2], r[3], 0, 0, 0, 1};
        for (int j = 0; j < 3; ++j) {
          double column[3];
          throughFrame(sensor.transform, embedded + 3 * j, column);
          for (int i = 0; i < 3; ++i) *(*running)++ = scale * column[i];
        }
        continue;
      }
      case 8:
        value[0] = rotation->position[0] + offset[0];
        value[1] = rotation->position[1] + offset[1];
        value[2] = 0.0;
        break;
      case 9:
        value[0] = velocity[1] - velocity[0] * offset[1];
        value[1] = velocity[2] + velocity[0] * offset[0];
        value[2] = 0.0;
        break;
      case 12:
        value[0] = 0.0;
        value[1] = 0.0;
        value[2] = velocity[0];
        break;
      default:
        continue;
    }
    double out[3];
    throughFrame(sensor.transform, value, out);
    for (int i = 0; i < 3; ++i) *(*running)++ = scale * out[i];
  }
}

bool kinematicInputs(double** input, EngineMechanism* mechanism) {
  if (input == nullptr) return false;
  double** running = input;
  if (forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
        return callRecordMethod<JointInputMethod>(jointMethod(joint, kJointKinematicInputs), joint,
                                                  &running);
      })) {
    return true;
  }
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    if (constraint->general == nullptr) continue;
    if (callRecordMethod<ConstraintInputMethod>(
            constraint->general->methods[kConstraintKinematicInputs], constraint, &running)) {
      return true;
    }
  }
  return false;
}

bool kinematicOutputs2D(double* output, EngineMechanism* mechanism) {
  if (output == nullptr) return false;
  double* running = output;
  return forEachSignalRecord(
      mechanism,
      [&](const EngineBody* body, EngineJoint* joint) {
        if (body != nullptr && body->description != nullptr && body->description->numSensors > 0) {
          writeBodySensors(body, joint, &running);
        }
        return callRecordMethod<JointWriteMethod>(jointMethod(joint, kJointKinematicOutputs), joint,
                                                  &running);
      },
      [&](EngineConstraint* constraint) {
        return callRecordMethod<ConstraintWriteMethod>(
            constraint->general->methods[kConstraintKinematicOutputs], constraint, &running);
      });
}

bool generalJointKinematicOutputs(EngineJoint* joint, double** running) {
  // A joint's primitive i has position and velocity index i (scalar primitives).
  const PrimitiveValues values{jointPositions(joint), jointVelocities(joint),
                               generalOf(joint)->modes->indices, joint->reversed ? -1.0 : 1.0};
  for (int s = 0; s < joint->numSensors; ++s) {
    writeSensor(joint->sensors[s], joint->numPrimitives, joint->primitives, values, running);
  }
  return false;
}

bool generalConstraintKinematicOutputs2D(EngineConstraint* constraint, double** running) {
  const EngineGeneralConstraint* g = constraint->general;
  const PrimitiveValues values{g->positions->data, g->velocities->data, g->modes->indices, 1.0};
  for (int s = 0; s < constraint->numSensors; ++s) {
    writeSensor(constraint->sensors[s], constraint->numPrimitives, constraint->primitives, values,
                running);
  }
  return false;
}
