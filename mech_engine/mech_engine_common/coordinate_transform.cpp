#include "mech_engine_common/coordinate_transform.h"

#include <cmath>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_vector_kernels.h"

namespace {

constexpr double kZeroVectorLength = 1e-13;
constexpr double kUnitVectorLength = 1e-13;

void cross(double* out, const double* a, const double* b) {
  crossProducts(out, a, b, 1);
}

}  // namespace

void coordinateTransform(double* frame, const double* normal) {
  const double length = twonorm(normal, 3);
  if (!(std::fabs(length) < kZeroVectorLength || std::fabs(length - 1.0) < kUnitVectorLength)) {
    assertionFailed(
        "(fabs(twonorm(n,VECTOR3D)) < ENGINE_TOL__ZERO_VECTOR__LENGTH ) || (fabs(twonorm(n, "
        "VECTOR3D)-1.0) < ENGINE_TOL__UNIT_VECTOR__LENGTH )",
        nullptr, "mech_engine/mech_engine_common/coordinateTransform", 43);
  }
  static constexpr double kY[3] = {0.0, 1.0, 0.0};
  static constexpr double kX[3] = {1.0, 0.0, 0.0};
  const double* e = std::fabs(normal[1]) < std::fabs(normal[0]) ? kY : kX;
  cross(frame, normal, e);
  cross(frame + 3, normal, frame);
}

void coordinateTransformNormalised(double* frame, const double* normal) {
  double unit[3] = {normal[0], normal[1], normal[2]};
  normalise(unit, 3);
  coordinateTransform(frame, unit);
}

void planeRotation(const double* axis, double angle, double* rotation) {
  if (std::fabs(axis[2]) != 1.0) {
    assertionFailed("fabs(axis[2])==1", "Axis is not parallel to +/- z",
                    "mech_engine/mech_engine_common/vfMath", 1083);
  }
  // One sincos of ±angle: cosine is even, so cos(±angle) is cos(angle) to
  // the bit, and the sine is that of the signed angle as before.
  double s;
  double c;
  sincos(axis[2] * angle, &s, &c);
  rotation[0] = c;
  rotation[1] = s;
  rotation[2] = -s;
  rotation[3] = c;
}
