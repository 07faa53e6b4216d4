#include "mech_engine2d/transform2d_util.h"

#include <cmath>
#include <cstring>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/matrix_multiply.h"
#include "mech_engine_common/transform_buffer.h"

namespace {

constexpr double kUnitVectorTolerance = 1e-5;

// True when the target must not be transformed now; *failed tells overflow.
bool skipTarget(const void* target, bool* failed) {
  const TransformRegistration registration = registerTransformTarget(target);
  *failed = registration == TransformRegistration::overflow;
  return registration != TransformRegistration::transform;
}

void checkUnitVector(const double* v) {
  const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(std::fabs(norm - 1.0) < kUnitVectorTolerance)) {
    assertionFailed("fabs(norm-1.0)<1e-5", "Presumed unit vector has non-unit norm",
                    "mech_engine/mech_engine2d/transform2dUtil", 129);
  }
}

void rotate(const double* t, double* data, int columns, bool accumulated) {
  double product[9];
  if (accumulated) {
    std::memset(product, 0, sizeof product);
    matrixMultiplyAccumulate(product, t, data, 3, 3, 3, columns, kFormGeneral, kFormGeneral,
                             kMultiplyProduct);
  } else {
    matrixMultiply(product, t, data, 3, 3, 3, columns, kFormGeneral, kFormGeneral,
                   kMultiplyProduct);
  }
  std::memcpy(data, product, 3 * columns * sizeof(double));
}

}  // namespace

bool transformVector2D(const double* planeTransform, double* v) {
  bool failed = false;
  if (!skipTarget(v, &failed)) rotate(planeTransform, v, 1, false);
  return failed;
}

bool transformMatrix2D(const double* planeTransform, double* m) {
  bool failed = false;
  if (!skipTarget(m, &failed)) rotate(planeTransform, m, 3, false);
  return failed;
}

bool transformMatrixAccumulated2D(const double* planeTransform, double* m) {
  bool failed = false;
  if (!skipTarget(m, &failed)) rotate(planeTransform, m, 3, true);
  return failed;
}

bool transformInPlaneDirection2D(const double* planeTransform, double* v) {
  bool failed = false;
  if (skipTarget(v, &failed)) return failed;
  checkUnitVector(v);
  rotate(planeTransform, v, 1, false);
  v[2] = 0.0;
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1]);
  if (length > 0.0) {
    v[0] /= length;
    v[1] /= length;
  }
  return false;
}

bool transformNormalDirection2D(const double* planeTransform, double* v) {
  bool failed = false;
  if (skipTarget(v, &failed)) return failed;
  checkUnitVector(v);
  rotate(planeTransform, v, 1, false);
  v[0] = 0.0;
  v[1] = 0.0;
  v[2] = v[2] > 0.0 ? 1.0 : -1.0;
  return false;
}
