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

// The general constraint's primitive axes (general_constraint_axes_2d.cpp).
// The side whose body carries a prismatic primitive's axis: the base side
// without revolute primitives or before the first one, the follower side
// after the last one; between two revolute primitives the side of the
// prismatic primitive before it (`previous`).
enum class ConstraintSide { kBase, kFollower };
// The joint whose outboard body is that side's body (null when there is none).
const EngineJoint* constraintSideJoint(const EngineConstraint* constraint, ConstraintSide side);
ConstraintSide prismaticAxisSide(const EngineGeneralConstraint* g, int primitiveIndex,
                                 ConstraintSide previous);
// Turns every prismatic axis (and a single one's normal) with the body of
// its side; true, with the message recorded, when the first two turned axes
// are aligned within the angular tolerance.
bool updateGeneralConstraintPrismaticAxes2D(EngineConstraint* constraint);
// The rates of the turned axes (and normal): ω × u, ω the side's angular rate.
void updateGeneralConstraintPrismaticAxisRates2D(EngineConstraint* constraint);
// Fills the constraint's primitive axis matrix A from its turned axes and the
// prismatic extents and, when it has free primitives, factors A_fᵀ·A_f.
void updateGeneralConstraintAxisMatrix2D(EngineConstraint* constraint);
// Fills Ȧ, the time derivative of A, from the axis rates and the primitive
// rates stored in this velocity step; never fails.
bool updateGeneralConstraintAxisRateMatrix2D(EngineConstraint* constraint);

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
// The acceleration residual J·a + J'·v - γ over the active equations, in
// constraint order; returns the number of rows written.
int accelerationResidual(const EngineMechanism* mechanism, double* out);

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

// --- Jacobian operators -------------------------------------------------------------------
// Columns are the free velocity coordinates, joint after joint in chain order;
// rows the counted active equations (all, or with positionLevel those of mode
// 1 and 3), constraint after constraint.

bool constructJacobian2D(EngineMechanism* mechanism, double* out, bool positionLevel);
bool operateJacobian2D(EngineMechanism* mechanism, double* out, const double* rates,
                       bool positionLevel);
bool operateReducedJacobianTransp2D(EngineMechanism* mechanism, const double* multipliers,
                                    double* out, bool positionLevel);
bool transposeJacobian2D(EngineMechanism* mechanism, double* out);
bool velocityJacobian2D(EngineMechanism* mechanism, double* out, std::int32_t extra);
bool generateNormalEquations2D(EngineMechanism* mechanism, double* out, bool positionLevel);

// Propagation helpers shared by the operators, the dynamics and the solvers.
int freeCoordinateCount(const EngineMechanism* mechanism);
int countedEquations(const EngineMechanism* mechanism, bool positionLevel);
void clearUnitRates(EngineMechanism* mechanism);
// Rates of the free coordinates (column order) into the joints' rate vectors.
void setFreeRates(EngineMechanism* mechanism, const double* rates);
// Velocity buffers from the rate vectors (ground zero), with zero flags.
void propagateRatesOutwards(EngineMechanism* mechanism);
// The row evaluation of the velocity buffers; returns the rows written.
int evaluateRows(const EngineMechanism* mechanism, bool positionLevel, double* out);
void clearForceAccumulators(EngineMechanism* mechanism);
// Adds scale·(Jb(:, e), Jf(:, e)) to the accumulators of the constraint's sides.
void addConstraintForce(EngineConstraint* constraint, int e, double scale);
// Generalised forces S_fᵀ·f of every joint from the accumulators, tips to ground.
void propagateForcesInwards(EngineMechanism* mechanism);
// The generalised forces at the free coordinates, joint after joint.
int gatherGeneralisedForces(const EngineMechanism* mechanism, double* out);

// --- stiction events -------------------------------------------------------------------------

bool generalConstraintEventTest(EngineConstraint* constraint);
// Per stiction primitive: (v when sliding positive, else -1), (v when sliding
// negative, else +1), and, unlinked, the margins f - l and f - u of its input
// entry when locked (else +1, -1). A linked constraint gives the margins of its
// one entry after all its primitives, when all are locked. An input entry
// points to (f, l, u): the transmitted force and the lower and upper limits.
bool generalConstraintZeroCrossingFunction(EngineConstraint* constraint, double*** running,
                                           double** output);

// --- dynamics ---------------------------------------------------------------------------------

bool dynamicInputs(double** input, EngineMechanism* mechanism);
bool bodyDynamicInputs2D(EngineBody* body, EngineJoint* joint, double*** running);
bool generalJointDynamicInputs2D(EngineJoint* joint, double*** running);
bool dynamicSweep2D(EngineMechanism* mechanism);
bool external2D(EngineMechanism* mechanism, bool forces);
bool ricatti2D(EngineMechanism* mechanism);
bool acceleration2D(EngineMechanism* mechanism, bool forces);
bool lagrange2D(EngineMechanism* mechanism);
bool buildMatrix2D(EngineMechanism* mechanism, double* out, bool positionLevel);
bool reconstructForce2D(EngineMechanism* mechanism, const double* multipliers);
bool computeGeneralConstraintTorque2D(EngineConstraint* constraint);
bool dynamicOutputs(double* output, EngineMechanism* mechanism);
bool generalConstraintDynamicOutputs2D(EngineConstraint* constraint, double** running);
// The articulated bodies' response to the Jacobian force accumulators taken
// as biases (no velocity terms, no joint forces): body accelerations in the
// velocity buffers, free accelerations (-A⁻¹·Jᵀ·y) in the generalised-force
// cells. Needs the factors of ricatti2D.
void articulatedResponse(EngineMechanism* mechanism);
// Every position sweep calls it: ricatti2D's factors belong to other placements.
void forgetArticulatedInertia(EngineMechanism* mechanism);
// Records what the present factors were made from, when ricatti2D made them
// after the last position sweep and nothing it reads was written since
// (only a position sweep and the dynamics step's inputs and bias sweep write
// the bodies' mass, centre of mass and working inertia).
void recordArticulatedInertiaInputs(EngineMechanism* mechanism);
// Keeps the Cholesky factor of G over all `rows` active equations (formed by
// buildMatrix2D at the present inputs; oneNorm that of G before factoring).
void keepMassMatrixFactor(EngineMechanism* mechanism, int rows, double oneNorm);
// Puts the kept factor in `factor` when G over `rows` equations would now be
// formed from bit-identical inputs; false (nothing written) otherwise.
bool reuseMassMatrixFactor(EngineMechanism* mechanism, int rows, double* factor, double* oneNorm);

// --- projection, stabilisation and the position solver ------------------------------------

bool projectVelocity(EngineMechanism* mechanism, bool check);
bool projectAcceleration2D(EngineMechanism* mechanism, bool check);
bool stabilise2D(EngineMechanism* mechanism);
// Trust-region Gauss–Newton solve of the position-level constraints over the
// free position coordinates; *converged tells whether it met its tolerances.
bool nonlinearSolver(EngineMechanism* mechanism, bool tight, std::uint8_t* converged);

// Assembly support: the solver chosen by the analysis mode; every
// constraint's initial-condition equations on or off; a buffer for all
// position values (null after recording the out-of-memory message), saving
// and restoring them (restore sweeps the positions).
bool solvePositions(EngineMechanism* mechanism, bool tight, std::uint8_t* converged);
bool toggleInitialConditionEquations(EngineMechanism* mechanism, bool on);
int positionValueCount(const EngineMechanism* mechanism);
double* allocatePositionBuffer(const EngineMechanism* mechanism);
void savePositions(EngineMechanism* mechanism, double* buffer);
bool restorePositions(EngineMechanism* mechanism, const double* buffer);

// --- redundancy and assembly analysis ------------------------------------------------------

// Decides by numerical rank which constraint equations stay active (notes
// on standard output when print and the mechanism's verbose byte are set);
// fails on drivers that over-determine the motion unless they are allowed.
bool redundant(EngineMechanism* mechanism, std::int32_t drivenToTest, std::int32_t freeCount,
               std::int32_t totalCount, bool print, bool allowRedundantDrivers);

// Brings the joint positions onto the constraints; the initial call also sets
// up the motion arrays, the active equations and the velocities.
bool assemblyAnalysis(EngineMechanism* mechanism, bool initial);

// The homotopy on the position residual (the assembly's core): *converged
// tells whether the assembly check passed afterwards. saveArea holds every
// position value.
bool homotopyAssembly(EngineMechanism* mechanism, bool initial, double* saveArea,
                      std::uint8_t* converged);
