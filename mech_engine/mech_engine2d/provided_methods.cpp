#include "mech_engine2d/provided_methods.h"

#include "mech_engine2d/engine_methods_2d.h"

namespace {

using Id = EngineMethodId;

struct ProvidedMethod {
  Id id;
  EngineMethod method;
};

#define ENGINE_METHOD(name)         \
  ProvidedMethod {                  \
    Id::name, toEngineMethod(&name) \
  }

const ProvidedMethod kProvidedMethods[] = {
    // bodies, joints, constraints
    ENGINE_METHOD(createEngineBody),
    ENGINE_METHOD(createEngineJoint),
    ENGINE_METHOD(createEngineGeneralJoint),
    ENGINE_METHOD(createEngineConstraint2D),
    ENGINE_METHOD(createGeneralEngineConstraint2D),
    ENGINE_METHOD(createKinematicData),
    ENGINE_METHOD(destroyEngineBody),
    ENGINE_METHOD(destroyEngineJoint),
    ENGINE_METHOD(destroyEngineConstraint),
    ENGINE_METHOD(destroyKinematicData),
    ENGINE_METHOD(destroyMechanismMethods),
    ENGINE_METHOD(xyTransformBody2D),
    ENGINE_METHOD(xyTransformGeneralJoint2D),
    ENGINE_METHOD(xyTransformGeneralConstraint2D),
    // motion arrays and state vectors
    ENGINE_METHOD(setupMotionArrays),
    ENGINE_METHOD(correctMotionArrays),
    ENGINE_METHOD(setupGeneralJointMotionArrays),
    ENGINE_METHOD(correctGeneralJointMotionArrays),
    ENGINE_METHOD(updateGeneralJointMotionArrays),
    ENGINE_METHOD(releaseGeneralJointMotionDrivers),
    ENGINE_METHOD(setupGeneralConstraintMotionArrays),
    ENGINE_METHOD(updateGeneralConstraintMotionArrays2D),
    ENGINE_METHOD(updateGeneralConstraintDrivingInfo2D),
    ENGINE_METHOD(setupGeneralJointInitialState),
    ENGINE_METHOD(setupGeneralConstraintInitialState),
    ENGINE_METHOD(unlockGeneralJointAxes),
    ENGINE_METHOD(unlockGeneralConstraintAxes),
    ENGINE_METHOD(haveGeneralJointMotionDrivers),
    ENGINE_METHOD(haveGeneralConstraintMotionDrivers),
    ENGINE_METHOD(generalJointIcActuated),
    ENGINE_METHOD(generalConstraintIcActuated),
    ENGINE_METHOD(toggleGeneralConstraintIcEquations),
    ENGINE_METHOD(loadGeneralJointArray2D),
    ENGINE_METHOD(updateState),
    ENGINE_METHOD(unpackState),
    ENGINE_METHOD(updateStateDerivatives),
    ENGINE_METHOD(putGeneralJointPositionState),
    ENGINE_METHOD(putGeneralJointVelocityState),
    ENGINE_METHOD(putGeneralJointPositionDerivatives),
    ENGINE_METHOD(putGeneralJointVelocityDerivatives),
    ENGINE_METHOD(extractGeneralJointPositionState),
    ENGINE_METHOD(extractGeneralJointVelocityState),
    // kinematics
    ENGINE_METHOD(computeRevoluteJointPositionParameters2D),
    ENGINE_METHOD(computeRevoluteJointVelocityParameters2D),
    ENGINE_METHOD(computePrismaticJointPositionParameters2D),
    ENGINE_METHOD(computePrismaticJointVelocityParameters2D),
    ENGINE_METHOD(computeWeldJointPositionParameters),
    ENGINE_METHOD(computeWeldJointVelocityParameters),
    ENGINE_METHOD(positionSweep2D),
    ENGINE_METHOD(velocitySweep2D),
    ENGINE_METHOD(sweepAcceleration2D),
    ENGINE_METHOD(positionError2D),
    ENGINE_METHOD(velocityError2D),
    ENGINE_METHOD(computeGeneralConstraintPositionParameters2D),
    ENGINE_METHOD(computeGeneralConstraintVelocityParameters2D),
    ENGINE_METHOD(computeGeneralConstraintAccelerationParameters2D),
    ENGINE_METHOD(computeSingleRevoluteAngle2D),
    ENGINE_METHOD(generalConstraintPositionEquations),
    ENGINE_METHOD(generalConstraintVelocityEquations),
    ENGINE_METHOD(generalConstraintAccelerationEquations),
    ENGINE_METHOD(singleRevolutePositionEquations2D),
    ENGINE_METHOD(singleRevoluteVelocityEquations2D),
    ENGINE_METHOD(singleRevoluteAccelerationEquations2D),
    ENGINE_METHOD(zeroPrismaticPositionEquations2D),
    ENGINE_METHOD(zeroPrismaticVelocityEquations2D),
    ENGINE_METHOD(zeroPrismaticAccelerationEquations2D),
    ENGINE_METHOD(testGeneralConstraintEquations),
    ENGINE_METHOD(testSingleRevoluteEquations2D),
    ENGINE_METHOD(testZeroPrismaticEquations2D),
    ENGINE_METHOD(assemblyCheck),
    ENGINE_METHOD(setVelocityConstraint2D),
    ENGINE_METHOD(setAccelerationConstraints2D),
    ENGINE_METHOD(kinematicInputs),
    ENGINE_METHOD(kinematicOutputs2D),
    ENGINE_METHOD(generalJointKinematicOutputs),
    ENGINE_METHOD(generalConstraintKinematicOutputs2D),
    // Jacobian operators and stiction events
    ENGINE_METHOD(constructJacobian2D),
    ENGINE_METHOD(operateJacobian2D),
    ENGINE_METHOD(operateReducedJacobianTransp2D),
    ENGINE_METHOD(transposeJacobian2D),
    ENGINE_METHOD(velocityJacobian2D),
    ENGINE_METHOD(generateNormalEquations2D),
    ENGINE_METHOD(generalConstraintEventTest),
    ENGINE_METHOD(generalConstraintZeroCrossingFunction),
    // dynamics
    ENGINE_METHOD(dynamicInputs),
    ENGINE_METHOD(bodyDynamicInputs2D),
    ENGINE_METHOD(generalJointDynamicInputs2D),
    ENGINE_METHOD(dynamicSweep2D),
    ENGINE_METHOD(external2D),
    ENGINE_METHOD(ricatti2D),
    ENGINE_METHOD(acceleration2D),
    ENGINE_METHOD(lagrange2D),
    ENGINE_METHOD(buildMatrix2D),
    ENGINE_METHOD(reconstructForce2D),
    ENGINE_METHOD(computeGeneralConstraintTorque2D),
    ENGINE_METHOD(dynamicOutputs),
    ENGINE_METHOD(generalConstraintDynamicOutputs2D),
    // projection, stabilisation, position solver
    ENGINE_METHOD(projectVelocity),
    ENGINE_METHOD(projectAcceleration2D),
    ENGINE_METHOD(stabilise2D),
    ENGINE_METHOD(nonlinearSolver),
    // redundancy and assembly analysis
    ENGINE_METHOD(redundant),
    ENGINE_METHOD(assemblyAnalysis),
};

#undef ENGINE_METHOD

}  // namespace

void fillProvidedEngineMethods(EngineMethodTable* table) {
  for (const ProvidedMethod& provided : kProvidedMethods) {
    table->methods[static_cast<int>(provided.id)] = provided.method;
  }
}
