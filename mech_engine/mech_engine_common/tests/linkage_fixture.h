// A small planar linkage description for engine tests.
#pragma once

#include "mech_engine_common/engine_mechanism.h"
#include "mech_engine_common/transform_buffer.h"

// A ramp-like linkage: revolute joints about z, a prismatic joint along x and a
// loop-closing general constraint with a revolute primitive, optionally all
// turned by one rotation.
struct Linkage {
  EnginePrimitive revolute{kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
  EnginePrimitive prismatic{kPrimitivePrismatic, kActuationForce, 0, 0, {1, 0, 0}};
  EnginePrimitive weld{kPrimitiveWeld, kActuationFree};
  EnginePrimitive loopRevolute{kPrimitiveRevolute, kActuationFree, 0, 0, {0, 0, 1}};
  EngineJoint joints[3] = {{"m/Revolute", kJointGeneral, 1, &revolute, 0, 0},
                           {"m/Prismatic", kJointGeneral, 1, &prismatic, 0, 1},
                           {"m/Weld", kJointGeneral, 1, &weld, 0, 0}};
  EngineJoint* chainJoints[2] = {&joints[0], &joints[1]};
  EngineJoint* groundJoints[1] = {&joints[2]};
  EngineChain chains[2] = {{2, nullptr, chainJoints, &chains[1]},
                           {1, nullptr, groundJoints, &chains[1]}};
  EngineChain* chainTable[2] = {&chains[0], &chains[1]};
  EngineConstraint loop{"m/Loop", kConstraintGeneral, 1, &loopRevolute};
  EngineConstraint* constraintTable[1] = {&loop};
  MachineEnvironment environment{};
  double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EngineMatrix transform2D{0, 1, identity};
  EngineMechanism mechanism{};

  Linkage() {
    environment.groundName = "m/Ground";
    mechanism.numChains = 2;
    mechanism.chains = chainTable;
    mechanism.numConstraints = 1;
    mechanism.constraints = constraintTable;
    mechanism.environment = &environment;
    mechanism.transform2D = &transform2D;
  }
  ~Linkage() {
    releaseEngineMatrixList(&mechanism.planeTransform);
    releaseTransformBuffer();
  }

  void rotateAll(const double* r) {
    for (double* axis : {revolute.axis, prismatic.axis, loopRevolute.axis}) {
      double turned[3] = {0, 0, 0};
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) turned[i] += r[i + 3 * k] * axis[k];
      for (int i = 0; i < 3; ++i) axis[i] = turned[i];
    }
  }

  const double* plane() const { return mechanism.planeTransform->matrices[0]->data; }
};
