#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/engine_methods.h"

// Driven and free coordinates of joints and general constraints, stiction
// modes and the equation switches.
//
// Indices count primitives in description order: a weld, revolute or
// prismatic primitive takes one position and one velocity index, a spherical
// primitive four and three. A weld has no freedom: it always sits in the
// driven lists and is never counted.

namespace {

// Where a primitive goes in the lists.
enum class Placement { driven, free, none };

struct MotionLists {
  IndexList* drivenPositions;
  IndexList* drivenVelocities;
  IndexList* freePositions;
  IndexList* freeVelocities;

  void clear() {
    drivenPositions->count = 0;
    drivenVelocities->count = 0;
    freePositions->count = 0;
    freeVelocities->count = 0;
  }
  void add(Placement placement, int position, int velocity, int positions, int velocities) {
    if (placement == Placement::none) return;
    IndexList* p = placement == Placement::driven ? drivenPositions : freePositions;
    IndexList* v = placement == Placement::driven ? drivenVelocities : freeVelocities;
    for (int i = 0; i < positions; ++i) p->indices[p->count++] = position + i;
    for (int i = 0; i < velocities; ++i) v->indices[v->count++] = velocity + i;
  }
};

MotionLists listsOf(EngineJoint* joint) {
  return {joint->drivenPositions, joint->drivenVelocities, joint->freePositions,
          joint->freeVelocities};
}
MotionLists listsOf(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  return {g->drivenPositions, g->drivenVelocities, g->freePositions, g->freeVelocities};
}

bool isStiction(const EnginePrimitive& primitive) {
  return primitive.stiction == kStictionActuated;
}

// The rule of one pass: which list a primitive joins and whether it counts.
using Rule = Placement (*)(const EnginePrimitive& primitive, std::int32_t mode, bool* counted);

Placement setupRule(const EnginePrimitive& primitive, std::int32_t, bool* counted) {
  *counted = primitive.kind != kPrimitiveWeld;
  if (primitive.kind == kPrimitiveWeld) return Placement::driven;
  if (primitive.kind == kPrimitiveSpherical) return Placement::free;
  if (primitive.actuation == kActuationMotionDriven ||
      primitive.initialCondition == kInitialConditionActuated) {
    return Placement::driven;
  }
  return Placement::free;
}

Placement correctRule(const EnginePrimitive& primitive, std::int32_t mode, bool* counted) {
  *counted = primitive.kind != kPrimitiveWeld;
  if (primitive.kind == kPrimitiveWeld) return Placement::driven;
  if (primitive.actuation == kActuationMotionDriven) return Placement::driven;
  if (isStiction(primitive) && mode == kModeLocked) return Placement::driven;
  return Placement::free;
}

// Walks the primitives with a rule, adding to the lists and counters.
template <typename Record>
void buildLists(Record* record, int numPrimitives, const EnginePrimitive* primitives,
                const std::int32_t* modes, Rule rule, std::int32_t* driven, std::int32_t* free,
                bool leaveOutLocked) {
  MotionLists lists = listsOf(record);
  lists.clear();
  int position = 0;
  int velocity = 0;
  for (int i = 0; i < numPrimitives; ++i) {
    const EnginePrimitive& primitive = primitives[i];
    const bool spherical = primitive.kind == kPrimitiveSpherical;
    const int positions = spherical ? 4 : 1;
    const int velocities = spherical ? 3 : 1;
    bool counted = false;
    Placement placement = rule(primitive, modes != nullptr ? modes[i] : 0, &counted);
    if (leaveOutLocked && isStiction(primitive) && modes != nullptr && modes[i] == kModeLocked) {
      placement = Placement::none;
      counted = false;
    }
    lists.add(placement, position, velocity, positions, velocities);
    if (counted) {
      std::int32_t* counter = placement == Placement::driven ? driven : free;
      if (counter != nullptr) *counter += velocities;
    }
    position += positions;
    velocity += velocities;
  }
}

void setModes(std::int32_t* modes, int numPrimitives, const EnginePrimitive* primitives,
              const double* velocities, bool linked) {
  int velocity = 0;
  bool anyMoving = false;
  for (int i = 0; i < numPrimitives; ++i) {
    const EnginePrimitive& primitive = primitives[i];
    if (isStiction(primitive)) {
      const double v = velocities[velocity];
      const std::int32_t atRest = linked ? kModeUndetermined : kModeLocked;
      modes[i] = v == 0.0 ? atRest : (v > 0.0 ? kModeSlidingPositive : kModeSlidingNegative);
      if (v != 0.0) anyMoving = true;
    }
    velocity += primitive.kind == kPrimitiveSpherical ? 3 : 1;
  }
  if (linked && !anyMoving) {
    for (int i = 0; i < numPrimitives; ++i) {
      if (isStiction(primitives[i])) modes[i] = kModeLocked;
    }
  }
}

void unlock(std::int32_t* modes, int numPrimitives, const EnginePrimitive* primitives) {
  for (int i = 0; i < numPrimitives; ++i) {
    if (isStiction(primitives[i])) modes[i] = kModeUnlocked;
  }
}

bool anyMotionDriver(int numPrimitives, const EnginePrimitive* primitives) {
  for (int i = 0; i < numPrimitives; ++i) {
    if (primitives[i].kind != kPrimitiveWeld && primitives[i].actuation == kActuationMotionDriven) {
      return true;
    }
  }
  return false;
}

bool anyInitialCondition(int numPrimitives, const EnginePrimitive* primitives) {
  for (int i = 0; i < numPrimitives; ++i) {
    if (primitives[i].initialCondition == kInitialConditionActuated) return true;
  }
  return false;
}

EngineMethod jointMethod(const EngineJoint* joint, JointMethod method) {
  const EngineGeneralJoint* g = generalOf(joint);
  return g != nullptr ? g->methods[method] : nullptr;
}
EngineMethod constraintMethod(const EngineConstraint* constraint, ConstraintMethod method) {
  return constraint->general != nullptr ? constraint->general->methods[method] : nullptr;
}

// Steps 2-4 shared by setupMotionArrays and correctMotionArrays.
bool countAndFinish(EngineMechanism* mechanism, std::int32_t* drivenOut, std::int32_t* freeOut,
                    std::int32_t* totalOut, bool setup) {
  std::int32_t driven = 0;
  std::int32_t free = 0;
  const JointMethod perJoint = setup ? kJointSetupMotionArrays : kJointCorrectMotionArrays;
  const bool jointFailed = forEachJoint(mechanism, [&](EngineJoint* joint, int, int) {
    const EngineMethod method = jointMethod(joint, perJoint);
    if (method == nullptr) {
      if (!setup && joint->freeVelocities != nullptr) free += joint->freeVelocities->count;
      return false;
    }
    return methodAs<JointCountsMethod>(method)(joint, &driven, &free);
  });
  if (jointFailed) return true;
  if (drivenOut != nullptr) *drivenOut = driven;
  if (freeOut != nullptr) *freeOut = free;
  if (totalOut != nullptr) {
    *totalOut = driven + free;
    if (*totalOut == 0) return setEngineError(kMessageNoDegreesOfFreedom);
  }
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    const ConstraintMethod first =
        setup ? kConstraintSetupInitialState : kConstraintUpdateMotionArrays;
    if (callRecordMethod<ConstraintMethodSignature>(constraintMethod(constraint, first),
                                                    constraint) ||
        callRecordMethod<ConstraintMethodSignature>(
            constraintMethod(constraint, kConstraintDrivingInfo), constraint)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool setupMotionArrays(EngineMechanism* mechanism, std::int32_t* driven, std::int32_t* free,
                       std::int32_t* total) {
  forEachJoint(mechanism, [](EngineJoint* joint, int, int) {
    return callRecordMethod<JointMethodSignature>(jointMethod(joint, kJointUnlockAxes), joint);
  });
  for (int i = 0; i < mechanism->numConstraints; ++i) {
    EngineConstraint* constraint = mechanism->constraints[i];
    callRecordMethod<ConstraintMethodSignature>(constraintMethod(constraint, kConstraintUnlockAxes),
                                                constraint);
  }
  return countAndFinish(mechanism, driven, free, total, true);
}

bool correctMotionArrays(EngineMechanism* mechanism, std::int32_t* driven, std::int32_t* free,
                         std::int32_t* total) {
  return countAndFinish(mechanism, driven, free, total, false);
}

bool setupGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* driven, std::int32_t* free) {
  buildLists(joint, joint->numPrimitives, joint->primitives, nullptr, &setupRule, driven, free,
             false);
  return false;
}

bool correctGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* driven, std::int32_t* free) {
  buildLists(joint, joint->numPrimitives, joint->primitives, generalOf(joint)->modes->indices,
             &correctRule, driven, free, false);
  return false;
}

bool updateGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* velocityTotal,
                                    std::int32_t* driven, std::int32_t* free,
                                    std::int32_t lockSwitch) {
  buildLists(joint, joint->numPrimitives, joint->primitives, generalOf(joint)->modes->indices,
             &correctRule, driven, free, lockSwitch > 0);
  if (velocityTotal != nullptr) *velocityTotal += joint->numVelocities;
  return false;
}

bool releaseGeneralJointMotionDrivers(EngineJoint* joint, std::int32_t* free) {
  if (joint->fixed == 1) {
    const auto allDriven = [](const EnginePrimitive&, std::int32_t, bool* counted) {
      *counted = false;
      return Placement::driven;
    };
    buildLists(joint, joint->numPrimitives, joint->primitives, nullptr, allDriven, nullptr, nullptr,
               false);
    return false;
  }
  const auto released = [](const EnginePrimitive& primitive, std::int32_t, bool* counted) {
    *counted = primitive.kind != kPrimitiveWeld;
    return primitive.kind == kPrimitiveWeld ? Placement::driven : Placement::free;
  };
  buildLists(joint, joint->numPrimitives, joint->primitives, generalOf(joint)->modes->indices,
             released, nullptr, free, true);
  return false;
}

bool setupGeneralConstraintMotionArrays(EngineConstraint* constraint) {
  buildLists(constraint, constraint->numPrimitives, constraint->primitives, nullptr, &setupRule,
             nullptr, nullptr, false);
  return false;
}

bool setupGeneralJointInitialState(EngineJoint* joint) {
  if (joint->numPrimitives > 0 && joint->primitives[0].kind == kPrimitiveWeld) return false;
  setModes(generalOf(joint)->modes->indices, joint->numPrimitives, joint->primitives,
           jointVelocities(joint), joint->linked != 0);
  return false;
}

bool setupGeneralConstraintInitialState(EngineConstraint* constraint) {
  if (constraint->numPrimitives > 0 && constraint->primitives[0].kind == kPrimitiveWeld) {
    return false;
  }
  EngineGeneralConstraint* g = constraint->general;
  setModes(g->modes->indices, constraint->numPrimitives, constraint->primitives,
           g->velocities->data, constraint->linked != 0);
  return false;
}

bool unlockGeneralJointAxes(EngineJoint* joint) {
  unlock(generalOf(joint)->modes->indices, joint->numPrimitives, joint->primitives);
  return false;
}

bool unlockGeneralConstraintAxes(EngineConstraint* constraint) {
  unlock(constraint->general->modes->indices, constraint->numPrimitives, constraint->primitives);
  return false;
}

bool haveGeneralJointMotionDrivers(EngineJoint* joint) {
  return anyMotionDriver(joint->numPrimitives, joint->primitives);
}

bool haveGeneralConstraintMotionDrivers(EngineConstraint* constraint) {
  return anyMotionDriver(constraint->numPrimitives, constraint->primitives);
}

bool generalJointIcActuated(EngineJoint* joint) {
  return anyInitialCondition(joint->numPrimitives, joint->primitives);
}

bool generalConstraintIcActuated(EngineConstraint* constraint) {
  return anyInitialCondition(constraint->numPrimitives, constraint->primitives);
}

bool toggleGeneralConstraintIcEquations(EngineConstraint* constraint, bool on) {
  constraint->general->icSwitch = on ? 1 : 0;
  return false;
}

std::int32_t loadGeneralJointArray2D(EngineJoint* joint, std::int32_t index, std::int32_t k) {
  EngineMatrix* rate = joint->motion[kMotionUnitRate];
  for (int i = 0; i < joint->numVelocities; ++i) rate->data[i] = 0.0;
  if (k >= 0 && k < joint->numVelocities) rate->data[k] = 1.0;
  rate->zeroFlag = 0;
  return index + 1;
}
