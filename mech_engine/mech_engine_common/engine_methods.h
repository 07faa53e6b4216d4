// The engine methods of bodies, joints, constraints, motion arrays and state
// vectors, with the signatures of the per-record methods. Every method
// returns true on failure after recording its message (except the queries
// that say so), and is registered under its EngineMethodId by
// registerProvidedEngineMethods.
#pragma once

#include <cstdint>

#include "mech_engine_common/engine_records.h"

// --- signatures of the per-record methods -------------------------------------

using JointKindCreateMethod = bool(EngineJoint* joint, EngineMechanism* mechanism);
using ConstraintKindCreateMethod = bool(EngineConstraint* constraint, EngineMechanism* mechanism);
// Transforms into the plane (planeTransform: the mechanism's 3x3 plane rotation).
using JointTransformMethod = bool(EngineJoint* joint, const double* planeTransform);
using BodyTransformMethod = bool(EngineBody* body, const double* planeTransform);
using ConstraintTransformMethod = bool(EngineConstraint* constraint, const double* planeTransform);

// A method on one joint (or a query that answers true / false).
using JointMethodSignature = bool(EngineJoint* joint);
using ConstraintMethodSignature = bool(EngineConstraint* constraint);
using ConstraintSwitchMethod = bool(EngineConstraint* constraint, bool on);
// Counts (driven, free) that the joint adds to.
using JointCountsMethod = bool(EngineJoint* joint, std::int32_t* driven, std::int32_t* free);
using JointUpdateArraysMethod = bool(EngineJoint* joint, std::int32_t* velocityTotal,
                                     std::int32_t* driven, std::int32_t* free,
                                     std::int32_t lockSwitch);
using JointReleaseDriversMethod = bool(EngineJoint* joint, std::int32_t* free);
// Running-pointer methods: write or read the joint's values and advance.
using JointWriteMethod = bool(EngineJoint* joint, double** running);
using JointExtractMethod = bool(EngineJoint* joint, const double** running, bool keep,
                                bool trimming);
using JointInputMethod = bool(EngineJoint* joint, double*** running);
using ConstraintWriteMethod = bool(EngineConstraint* constraint, double** running);
using ConstraintInputMethod = bool(EngineConstraint* constraint, double*** running);
// loadGeneralJointArray2D: unit rate in coordinate k; returns index + 1.
using JointLoadArrayMethod = std::int32_t(EngineJoint* joint, std::int32_t index, std::int32_t k);
// testGeneralConstraintEquations and the families' tests: 0 satisfied, 2 violated.
using ConstraintTestMethod = std::int32_t(EngineConstraint* constraint);
using ZeroCrossingMethod = bool(EngineConstraint* constraint, double*** running, double** output);
// Body methods.
using BodyInputMethod = bool(EngineBody* body, EngineJoint* joint, double*** running);
using BodyOutputMethod = bool(EngineBody* body, EngineJoint* joint, double** running);
using SpatialInertiaBuilder = void(double* out, double mass, const double* centre,
                                   const double* inertia);

// Mechanism-wide motion arrays: (driven, free, total), each may be null.
using MotionArraysMethod = bool(EngineMechanism* mechanism, std::int32_t* driven,
                                std::int32_t* free, std::int32_t* total);

// --- spatial inertia builders ---------------------------------------------------

// 2D: rows (J00, -m y, m x), (-m y, m, 0), (m x, 0, m) with J00 = inertia[8] (zz).
void spatialInertia2D(double* out, double mass, const double* centre, const double* inertia);
// 3D: J, m[c]× upper right, its negative lower left, m·E lower right (6x6).
void spatialInertia3D(double* out, double mass, const double* centre, const double* inertia);

// --- creation and destruction ------------------------------------------------------

bool createEngineBody(EngineMechanism* mechanism);
bool createEngineJoint(EngineMechanism* mechanism);
bool createEngineGeneralJoint(EngineJoint* joint, EngineMechanism* mechanism);
bool createKinematicData(EngineMechanism* mechanism);
// Room for everything G = J·A⁻¹·Jᵀ is formed from (the kept factor's inputs).
int massMatrixInputCapacity(const EngineMechanism* mechanism);
// Room for what ricatti2D's factors were made from (the kept inputs).
int articulatedInertiaInputCapacity(const EngineMechanism* mechanism);
bool destroyEngineBody(EngineMechanism* mechanism);
bool destroyEngineJoint(EngineMechanism* mechanism);
bool destroyEngineConstraint(EngineMechanism* mechanism);
bool destroyKinematicData(EngineMechanism* mechanism);
// Frees a general-joint record and clears the slot.
void destroyGeneralJointRecord(EngineGeneralJoint** slot);

// --- motion arrays ------------------------------------------------------------------

bool setupMotionArrays(EngineMechanism* mechanism, std::int32_t* driven, std::int32_t* free,
                       std::int32_t* total);
bool correctMotionArrays(EngineMechanism* mechanism, std::int32_t* driven, std::int32_t* free,
                         std::int32_t* total);
bool setupGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* driven, std::int32_t* free);
bool correctGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* driven, std::int32_t* free);
bool updateGeneralJointMotionArrays(EngineJoint* joint, std::int32_t* velocityTotal,
                                    std::int32_t* driven, std::int32_t* free,
                                    std::int32_t lockSwitch);
bool releaseGeneralJointMotionDrivers(EngineJoint* joint, std::int32_t* free);
bool setupGeneralConstraintMotionArrays(EngineConstraint* constraint);
bool setupGeneralJointInitialState(EngineJoint* joint);
bool setupGeneralConstraintInitialState(EngineConstraint* constraint);
bool unlockGeneralJointAxes(EngineJoint* joint);
bool unlockGeneralConstraintAxes(EngineConstraint* constraint);
bool haveGeneralJointMotionDrivers(EngineJoint* joint);
bool haveGeneralConstraintMotionDrivers(EngineConstraint* constraint);
bool generalJointIcActuated(EngineJoint* joint);
bool generalConstraintIcActuated(EngineConstraint* constraint);
bool toggleGeneralConstraintIcEquations(EngineConstraint* constraint, bool on);
std::int32_t loadGeneralJointArray2D(EngineJoint* joint, std::int32_t index, std::int32_t k);

// --- state vectors -------------------------------------------------------------------

bool updateState(double* state, EngineMechanism* mechanism);
bool unpackState(EngineMechanism* mechanism, bool keep);
// Whether the placements and velocities belong to the present coordinates
// (kinematic data's `swept`). A sweep forgets its mark when it starts; a
// position sweep that succeeds records the positions and the time, a
// velocity sweep that succeeds sets its mark. At the end of a stabilisation
// the velocities are recorded (false when its last sweeps were not a
// position and then a velocity sweep). The stabilisation and the kinematics
// step after a post step compare them.
void forgetSweptCoordinates(EngineMechanism* mechanism);
void noteSweptPositions(EngineMechanism* mechanism);
void forgetSweptVelocities(EngineMechanism* mechanism);
void noteSweptVelocities(EngineMechanism* mechanism);
bool recordSweptCoordinates(EngineMechanism* mechanism);
bool sweptPositionsUnchanged(const EngineMechanism* mechanism);
bool sweptCoordinatesUnchanged(const EngineMechanism* mechanism);
bool updateStateDerivatives(double* derivatives, EngineMechanism* mechanism);
bool putGeneralJointPositionState(EngineJoint* joint, double** running);
bool putGeneralJointVelocityState(EngineJoint* joint, double** running);
bool putGeneralJointPositionDerivatives(EngineJoint* joint, double** running);
bool putGeneralJointVelocityDerivatives(EngineJoint* joint, double** running);
bool extractGeneralJointPositionState(EngineJoint* joint, const double** running, bool keep,
                                      bool trimming);
bool extractGeneralJointVelocityState(EngineJoint* joint, const double** running, bool keep,
                                      bool trimming);
