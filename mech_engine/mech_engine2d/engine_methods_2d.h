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
