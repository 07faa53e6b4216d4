// Quaternion routines shared by the joint methods. Quaternions are stored
// (x, y, z, w), scalar last; rotation matrices are 3x3 column-major.
#pragma once

// rate = ½·E(q)·ω, E the 4x3 matrix with columns (w, -z, y, -x),
// (z, w, -x, -y), (-y, x, w, -z).
void quaternionRate(const double* q, const double* omega, double* rate);

// Second derivative: ½·(E(q)·ω̇ + E(q̇)·ω), the rate form plus the term of the
// rate's own derivative.
void quaternionRateDerivative(const double* q, const double* qRate, const double* omega,
                              const double* omegaRate, double* out);

// The quaternion of rotation r from the largest of its four quarter values
// (ties to the earlier of w, x, y, z), signed to lie nearer to the previous
// quaternion, which it replaces.
void quaternionFromRotation(const double* r, double* previous);
