#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine2d/transform2d_util.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/transform_buffer.h"

// Maps the 3D description of bodies, joints and constraints into the plane of
// motion. Every target is registered in the global transform buffer, so data
// shared by several records is mapped once; the reservations are made by the
// planarity check (jointReservation and bodyReservation in planarity.cpp).

namespace {

constexpr const char* kBodySource = "mech_engine/mech_engine2d/xyTransformBody2D";
constexpr const char* kJointSource = "mech_engine/mech_engine2d/xyTransformGeneralJoint2D";

bool transformPrimitiveAxes(const double* plane, int count, EnginePrimitive* primitives) {
  for (int i = 0; i < count; ++i) {
    EnginePrimitive& primitive = primitives[i];
    switch (primitive.kind) {
      case kPrimitiveWeld:
        break;
      case kPrimitiveRevolute:
        if (transformNormalDirection2D(plane, primitive.axis)) return true;
        break;
      case kPrimitivePrismatic:
        if (transformInPlaneDirection2D(plane, primitive.axis)) return true;
        break;
      default:
        releaseAssertion();
        break;
    }
  }
  return false;
}

// An inertia tensor in world axes turns as T·I·Tᵀ.
bool transformInertia(const double* plane, double* inertia) {
  const TransformRegistration registration = registerTransformTarget(inertia);
  if (registration != TransformRegistration::transform) {
    return registration == TransformRegistration::overflow;
  }
  double turned[9] = {};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) {
        for (int l = 0; l < 3; ++l) sum += plane[i + 3 * k] * inertia[k + 3 * l] * plane[j + 3 * l];
      }
      turned[i + 3 * j] = sum;
    }
  }
  for (int i = 0; i < 9; ++i) inertia[i] = turned[i];
  return false;
}

// A described frame (rotation, then position), when present. The derived
// vectors of a side (attachment, joint vector) are not read by the engine,
// which works them out from the positions.
bool transformSide(const double* plane, EngineAttachment& side) {
  return (side.rotation != nullptr && transformMatrix2D(plane, side.rotation)) ||
         (side.position != nullptr && transformVector2D(plane, side.position));
}

bool transformVectorIfAny(const double* plane, double* v) {
  return v != nullptr && transformVector2D(plane, v);
}

bool transformInputs(const double* plane, int count, EngineBodyInput* inputs) {
  for (int i = 0; i < count; ++i) {
    EngineBodyInput& input = inputs[i];
    if (input.rotation != nullptr && transformMatrix2D(plane, input.rotation)) return true;
    if (input.position == nullptr) {
      assertionFailed("pos_0 != NULL", "actuator pos_0 should not be NULL", kBodySource, 66);
    } else if (transformVector2D(plane, input.position)) {
      return true;
    }
  }
  return false;
}

bool transformSensors(const double* plane, int count, EngineSensor* sensors, bool bodySensors) {
  for (int i = 0; i < count; ++i) {
    EngineSensor& sensor = sensors[i];
    if (sensor.transform != nullptr && transformMatrix2D(plane, sensor.transform)) return true;
    if (!bodySensors) continue;
    if (sensor.position == nullptr) {
      assertionFailed("pos_0 != NULL", "sensor pos_0 should not be NULL", kBodySource, 108);
    } else if (transformVector2D(plane, sensor.position)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool xyTransformBody2D(EngineBody* body, const double* plane) {
  EngineBodyDescription* d = body->description;
  if (d == nullptr) return false;
  return transformVectorIfAny(plane, d->position) ||
         (d->rotation != nullptr && transformMatrix2D(plane, d->rotation)) ||
         transformVectorIfAny(plane, d->centreOfMass) ||
         (d->inertia != nullptr && transformInertia(plane, d->inertia)) ||
         transformInputs(plane, d->numActuators, d->actuators) ||
         transformInputs(plane, d->numMassInputs, d->massInputs) ||
         transformSensors(plane, d->numSensors, d->sensors, true);
}

bool xyTransformGeneralJoint2D(EngineJoint* joint, const double* plane) {
  if (transformSide(plane, joint->base) || transformSide(plane, joint->follower) ||
      transformPrimitiveAxes(plane, joint->numPrimitives, joint->primitives)) {
    return true;
  }
  for (int i = 0; i < joint->numSensors && joint->sensors != nullptr; ++i) {
    if (joint->sensors[i].transform == nullptr) {
      assertionFailed("transform2D != NULL", "sensor transformation should not be NULL",
                      kJointSource, 86);
    } else if (transformMatrix2D(plane, joint->sensors[i].transform)) {
      return true;
    }
  }
  return false;
}

bool xyTransformGeneralConstraint2D(EngineConstraint* constraint, const double* plane) {
  return transformSide(plane, constraint->base) || transformSide(plane, constraint->follower) ||
         transformPrimitiveAxes(plane, constraint->numPrimitives, constraint->primitives) ||
         transformSensors(plane, constraint->numSensors, constraint->sensors, false);
}
