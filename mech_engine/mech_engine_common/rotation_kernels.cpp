#include "mech_engine_common/rotation_kernels.h"

#include <cmath>
#include <cstring>

#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/matrix_multiply.h"

namespace {

enum Axis { kX = 0, kY = 1, kZ = 2 };

// Right-handed rotation by angle about one coordinate axis.
void axisRotation(Axis axis, double angle, double* r) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const int i = (axis + 1) % 3;
  const int j = (axis + 2) % 3;
  for (int k = 0; k < 9; ++k) r[k] = 0.0;
  r[axis + 3 * axis] = 1.0;
  r[i + 3 * i] = c;
  r[j + 3 * j] = c;
  r[j + 3 * i] = s;   // (j, i)
  r[i + 3 * j] = -s;  // (i, j)
}

template <Axis First, Axis Second, Axis Third>
void sequenceKernel(const double* angles, double* rotation) {
  double a[9], b[9], c[9], ab[9];
  axisRotation(First, angles[0], a);
  axisRotation(Second, angles[1], b);
  axisRotation(Third, angles[2], c);
  matrixMultiply(ab, a, b, 3, 3, 3, 3, kFormGeneral, kFormGeneral, kMultiplyProduct);
  matrixMultiply(rotation, ab, c, 3, 3, 3, 3, kFormGeneral, kFormGeneral, kMultiplyProduct);
}

void quaternionKernel(const double* q, double* r) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  r[0] = w * w + x * x - y * y - z * z;
  r[1] = 2.0 * (x * y + w * z);
  r[2] = 2.0 * (x * z - w * y);
  r[3] = 2.0 * (x * y - w * z);
  r[4] = y * y + w * w - x * x - z * z;
  r[5] = 2.0 * (y * z + w * x);
  r[6] = 2.0 * (x * z + w * y);
  r[7] = 2.0 * (y * z - w * x);
  r[8] = z * z + w * w - x * x - y * y;
}

void copyKernel(const double* matrix, double* r) {
  std::memcpy(r, matrix, 9 * sizeof(double));
}

}  // namespace

const RotationKernel rotationKernelTable[kRotationKernelCount] = {
    &sequenceKernel<kX, kY, kX>, &sequenceKernel<kX, kY, kZ>,
    &sequenceKernel<kX, kZ, kX>, &sequenceKernel<kX, kZ, kY>,
    &sequenceKernel<kY, kX, kY>, &sequenceKernel<kY, kX, kZ>,
    &sequenceKernel<kY, kZ, kX>, &sequenceKernel<kY, kZ, kY>,
    &sequenceKernel<kZ, kX, kY>, &sequenceKernel<kZ, kX, kZ>,
    &sequenceKernel<kZ, kY, kX>, &sequenceKernel<kZ, kY, kZ>,
    &quaternionKernel,           &copyKernel,
};

void callRotationKernel(int k, const double* input, double* rotation) {
  if (k < 0 || k >= kRotationKernelCount) {
    releaseAssertion();
    return;
  }
  rotationKernelTable[k](input, rotation);
}
