// Orientation kernels: turn orientation parameters into 3x3 rotation matrices
// (column-major).
//
// Entries 0-11 take three angles (a, b, c) in radians and give
// R_first(a)·R_second(b)·R_third(c) for the axis sequences, in this order:
// XYX, XYZ, XZX, XZY, YXY, YXZ, YZX, YZY, ZXY, ZXZ, ZYX, ZYZ. Entry 12 takes a
// quaternion (x, y, z, w), entry 13 a 3x3 matrix that it copies.
#pragma once

inline constexpr int kRotationKernelCount = 14;

using RotationKernel = void (*)(const double* input, double* rotation);

extern const RotationKernel rotationKernelTable[kRotationKernelCount];

// Calls entry k; a k outside the table reaches the release assertion and
// leaves the output untouched.
void callRotationKernel(int k, const double* input, double* rotation);
