#include <cmath>
#include <cstring>

#include "mech_engine2d/engine_methods_2d.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"
#include "mech_engine_common/qr_factorisation.h"

// The general constraint's primitive axes in the plane: its prismatic axes
// turned with the bodies they are fixed to, the axis matrix A that maps the
// primitive rates to the relative motion of the constraint's two frames, and
// the rates of both.
//
// The primitives form a chain from the base frame to the follower frame, so
// a prismatic axis before the revolute primitive is fixed to the base body
// and one after it to the follower body. Each routine reads what the one
// before it stored in the same step: turned axes (position step) → A; axis
// rates (velocity step, after the primitive rates) → Ȧ.

namespace {

// v turned by the present rotation of a side's body (unturned without one).
void turnWithSide(const EngineConstraint* constraint, ConstraintSide side, const double* v,
                  double* out) {
  const EngineJoint* joint = constraintSideJoint(constraint, side);
  if (joint != nullptr && joint->rotation != nullptr) {
    rotate2(joint->rotation->rotation, v, out);
  } else {
    out[0] = v[0];
    out[1] = v[1];
  }
}

// The angular rate of a side's body (0 without one).
double sideRate(const EngineConstraint* constraint, ConstraintSide side) {
  const EngineJoint* joint = constraintSideJoint(constraint, side);
  return joint != nullptr && joint->motion != nullptr ? motionData(joint, kMotionVelocity)[0] : 0.0;
}

// The rate of a vector u fixed to a body turning at ω: ω × u.
void turningRate(double omega, const double* u, double* out) {
  out[0] = -omega * u[1];
  out[1] = omega * u[0];
}

// s of a revolute primitive's columns: the sign of its axis' z component.
double revoluteSign(const EnginePrimitive& primitive) {
  return primitive.axis[2] > 0.0 ? 1.0 : -1.0;
}

// The extent of a prismatic primitive along its axis: its coordinate plus
// its displacement at the description.
double prismaticExtent(const EngineGeneralConstraint* g, int index) {
  return g->positions->data[index] + g->offsets->data[index];
}

}  // namespace

const EngineJoint* constraintSideJoint(const EngineConstraint* constraint, ConstraintSide side) {
  return side == ConstraintSide::kBase ? constraint->baseJoint : constraint->followerJoint;
}

ConstraintSide prismaticAxisSide(const EngineGeneralConstraint* g, int index,
                                 ConstraintSide previous) {
  const IndexList* revolute = g->revoluteIndices;
  if (revolute->count == 0 || index < revolute->indices[0]) return ConstraintSide::kBase;
  if (index > revolute->indices[revolute->count - 1]) return ConstraintSide::kFollower;
  return previous;
}

bool updateGeneralConstraintPrismaticAxes2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  ConstraintSide side = ConstraintSide::kBase;
  for (int p = 0; p < g->numPrismatic; ++p) {
    side = prismaticAxisSide(g, g->prismaticIndices->indices[p], side);
    double* turned = g->turnedPrismaticAxes->matrices[p]->data;
    turnWithSide(constraint, side, g->prismaticAxes->matrices[p]->data, turned);
    turned[2] = 0.0;
    if (g->numPrismatic == 1) {
      turnWithSide(constraint, side, g->prismaticNormal, g->turnedPrismaticNormal);
    }
  }
  if (g->numPrismatic < 2) return false;
  // Axes on different sides turn against each other: when the first two come
  // (anti-)parallel they no longer span the plane.
  const double* a = g->turnedPrismaticAxes->matrices[0]->data;
  const double* b = g->turnedPrismaticAxes->matrices[1]->data;
  if (std::fabs(a[0] * b[1] - a[1] * b[0]) < *g->angularTolerance) {
    return setEngineError(kMessageSingularPrismaticAxes, constraint->blockName);
  }
  return false;
}

void updateGeneralConstraintPrismaticAxisRates2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  ConstraintSide side = ConstraintSide::kBase;
  for (int p = 0; p < g->numPrismatic; ++p) {
    side = prismaticAxisSide(g, g->prismaticIndices->indices[p], side);
    const double omega = sideRate(constraint, side);
    double* rate = g->prismaticAxisRates->matrices[p]->data;
    turningRate(omega, g->turnedPrismaticAxes->matrices[p]->data, rate);
    rate[2] = 0.0;
    if (g->numPrismatic == 1) {
      turningRate(omega, g->turnedPrismaticNormal, g->prismaticNormalRate);
    }
  }
}

void updateGeneralConstraintAxisMatrix2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  const int count = constraint->numPrimitives;
  double* a = g->axisMatrix->data;
  for (int i = 0; i < 3 * count; ++i) a[i] = 0.0;
  // Columns: a prismatic primitive (0, u_x, u_y) with u its turned axis; a
  // revolute primitive (s, -s·Σ_y, s·Σ_x), Σ the lever from it to the
  // follower frame: the extents of the prismatic primitives after it along
  // their axes.
  int prismatic = 0;
  for (int j = 0; j < count; ++j) {
    const EnginePrimitive& primitive = constraint->primitives[j];
    if (primitive.kind == kPrimitivePrismatic) {
      const double* u = g->turnedPrismaticAxes->matrices[prismatic++]->data;
      a[1 * count + j] = u[0];
      a[2 * count + j] = u[1];
    } else if (primitive.kind == kPrimitiveRevolute) {
      const double s = revoluteSign(primitive);
      double sum[2] = {0.0, 0.0};
      for (int p = g->numPrismatic - 1; p >= 0; --p) {
        const int index = g->prismaticIndices->indices[p];
        if (index <= j) break;
        const double* u = g->turnedPrismaticAxes->matrices[p]->data;
        const double extent = prismaticExtent(g, index);
        sum[0] += extent * u[0];
        sum[1] += extent * u[1];
      }
      a[0 * count + j] = s;
      a[1 * count + j] = -s * sum[1];
      a[2 * count + j] = s * sum[0];
    }
  }
  // Factor A_fᵀ·A_f over the free columns for the rate and acceleration solves.
  const int k = g->freeVelocities->count;
  if (k == 0) return;
  double* normal = g->normalMatrix->data;
  for (int c = 0; c < k; ++c) {
    const int jc = g->freeVelocities->indices[c];
    for (int r = 0; r < k; ++r) {
      const int jr = g->freeVelocities->indices[r];
      double sum = 0.0;
      for (int component = 0; component < 3; ++component) {
        sum += a[component * count + jr] * a[component * count + jc];
      }
      normal[r + k * c] = sum;
    }
  }
  // The same matrix, bit for bit, has the same factor: keep it (the solves
  // leave the factor, its pivots and qraux as they found them).
  const std::size_t bytes = sizeof(double) * k * k;
  if (g->factoredCount == k && std::memcmp(normal, g->factoredNormal->data, bytes) == 0) return;
  std::memcpy(g->factoredNormal->data, normal, bytes);
  std::memcpy(g->normalFactor->data, normal, bytes);
  g->factoredCount = k;
  for (int i = 0; i < k; ++i) g->pivots->indices[i] = 0;
  qrFactorPivoted(g->normalFactor->data, k, k, g->qraux->data, g->pivots->indices, g->work->data);
}

bool updateGeneralConstraintAxisRateMatrix2D(EngineConstraint* constraint) {
  EngineGeneralConstraint* g = constraint->general;
  const int count = constraint->numPrimitives;
  double* rates = g->axisRates->data;
  for (int i = 0; i < 3 * count; ++i) rates[i] = 0.0;
  // A prismatic column (0, u_x, u_y) changes as its axis turns: (0, w_x, w_y).
  int prismatic = 0;
  for (int j = 0; j < count; ++j) {
    if (constraint->primitives[j].kind != kPrimitivePrismatic) continue;
    const double* w = g->prismaticAxisRates->matrices[prismatic++]->data;
    rates[1 * count + j] = w[0];
    rates[2 * count + j] = w[1];
  }
  // A revolute column (s, -s·Σ_y, s·Σ_x) changes with its lever Σ = Σ p·u:
  // D = Σ (w·p + u·v), over the same prismatic primitives. One without a
  // prismatic primitive after it (and a weld primitive) keeps a zero column.
  for (int j = 0; j < count; ++j) {
    const EnginePrimitive& primitive = constraint->primitives[j];
    if (primitive.kind != kPrimitiveRevolute) continue;
    double d[2] = {0.0, 0.0};
    bool lever = false;
    for (int p = g->numPrismatic - 1; p >= 0; --p) {
      const int index = g->prismaticIndices->indices[p];
      if (index <= j) break;
      const double* u = g->turnedPrismaticAxes->matrices[p]->data;
      const double* w = g->prismaticAxisRates->matrices[p]->data;
      const double extent = prismaticExtent(g, index);
      const double v = g->velocities->data[index];
      d[0] += w[0] * extent + u[0] * v;
      d[1] += w[1] * extent + u[1] * v;
      lever = true;
    }
    if (!lever) continue;
    const double s = revoluteSign(primitive);
    rates[1 * count + j] = -s * d[1];
    rates[2 * count + j] = s * d[0];
  }
  return false;
}
