// The engine's 2D methods (planar bodies, joints, constraints, kinematics,
// Jacobian operators and dynamics). Each is registered under its
// EngineMethodId by registerProvidedEngineMethods.
#pragma once

#include "mech_engine_common/engine_methods.h"

// --- plane transforms and constraint creation ------------------------------------

bool xyTransformBody2D(EngineBody* body, const double* planeTransform);
bool xyTransformGeneralJoint2D(EngineJoint* joint, const double* planeTransform);
bool xyTransformGeneralConstraint2D(EngineConstraint* constraint, const double* planeTransform);
bool createEngineConstraint2D(EngineMechanism* mechanism);
bool createGeneralEngineConstraint2D(EngineConstraint* constraint, EngineMechanism* mechanism);
bool updateGeneralConstraintMotionArrays2D(EngineConstraint* constraint);
bool updateGeneralConstraintDrivingInfo2D(EngineConstraint* constraint);

// Fills the constraint's primitive axis matrix A from its current axes and
// displacements and, when it has free primitives, factors A_fᵀ·A_f.
void updateGeneralConstraintAxisMatrix2D(EngineConstraint* constraint);

// Counts an equation set's active equations (all, and position-level ones).
int activeEquationCount(const EngineEquationSet* set, bool positionLevel);

// --- kinematics -----------------------------------------------------------------------

bool computeRevoluteJointPositionParameters2D(EngineJoint* joint);
bool computeRevoluteJointVelocityParameters2D(EngineJoint* joint);
bool computePrismaticJointPositionParameters2D(EngineJoint* joint);
bool computePrismaticJointVelocityParameters2D(EngineJoint* joint);
bool computeWeldJointPositionParameters(EngineJoint* joint);
bool computeWeldJointVelocityParameters(EngineJoint* joint);
bool positionSweep2D(EngineMechanism* mechanism);
bool velocitySweep2D(EngineMechanism* mechanism);
bool sweepAcceleration2D(EngineMechanism* mechanism);
bool positionError2D(EngineMechanism* mechanism, double* out, bool joints);
bool velocityError2D(EngineMechanism* mechanism, double* out);

// --- constraint parameters and equations ------------------------------------------------

bool computeGeneralConstraintPositionParameters2D(EngineConstraint* constraint);
bool computeGeneralConstraintVelocityParameters2D(EngineConstraint* constraint);
bool computeGeneralConstraintAccelerationParameters2D(EngineConstraint* constraint);
bool computeSingleRevoluteAngle2D(EngineConstraint* constraint);
bool generalConstraintPositionEquations(EngineConstraint* constraint);
bool generalConstraintVelocityEquations(EngineConstraint* constraint);
bool generalConstraintAccelerationEquations(EngineConstraint* constraint);
bool singleRevolutePositionEquations2D(EngineConstraint* constraint);
bool singleRevoluteVelocityEquations2D(EngineConstraint* constraint);
bool singleRevoluteAccelerationEquations2D(EngineConstraint* constraint);
bool zeroPrismaticPositionEquations2D(EngineConstraint* constraint);
bool zeroPrismaticVelocityEquations2D(EngineConstraint* constraint);
bool zeroPrismaticAccelerationEquations2D(EngineConstraint* constraint);
std::int32_t testGeneralConstraintEquations(EngineConstraint* constraint);
std::int32_t testSingleRevoluteEquations2D(EngineConstraint* constraint);
std::int32_t testZeroPrismaticEquations2D(EngineConstraint* constraint);
bool assemblyCheck(EngineMechanism* mechanism);
bool setVelocityConstraint2D(EngineMechanism* mechanism);
bool setAccelerationConstraints2D(EngineMechanism* mechanism);

// Puts every equation of mode 1 to 4 on its constraint's active and saved
// lists, numbers them and sets the kinematic data's active counts (the
// classification the redundancy analysis starts from, without rank tests).
void classifyConstraintEquations(EngineMechanism* mechanism);

// --- kinematic signals ------------------------------------------------------------------

bool kinematicInputs(double** input, EngineMechanism* mechanism);
bool kinematicOutputs2D(double* output, EngineMechanism* mechanism);
bool generalJointKinematicOutputs(EngineJoint* joint, double** running);
bool generalConstraintKinematicOutputs2D(EngineConstraint* constraint, double** running);
// A revolute angle reported by a sensor: pi stays pi, others wrap into (-pi, pi].
double wrapRevoluteAngle(double angle);
// The body sensors of a body placed by `placement` (codes 1, 8, 9, 12).
void writeBodySensors(const EngineBody* body, const EngineJoint* placement, double** running);
