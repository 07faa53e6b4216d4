// Cholesky factorisation of a symmetric positive definite matrix, triangular
// solves and the reciprocal condition estimate. Column-major n×n arrays;
// nothing allocates.
#pragma once

// Factors A = L·Lᵀ in place, row by row, reading A's lower triangle. On
// success the lower triangle holds L and the upper triangle its transpose, so
// the one array serves both substitutions. Returns true (failure) when a
// diagonal value minus its sum of squares is <= 0.
bool choleskyFactor(double* a, int n);

// Solves L·x = b with the lower triangle of l; with unitDiagonal the division
// by the diagonal is skipped. x may be b.
void forwardSubstitution(const double* l, double* x, const double* b, int n, bool unitDiagonal);

// Solves U·x = b with the upper triangle of u. x may be b.
void backSubstitution(const double* u, double* x, const double* b, int n, bool unitDiagonal);

// Solves A·x = b with a factor of choleskyFactor. x may be b.
void choleskySolve(const double* factor, double* x, const double* b, int n);

// Reciprocal condition number (1-norm) of the matrix whose factor this is,
// estimated as LINPACK DPOCO does; oneNorm is the matrix's one-norm taken
// before factoring, work holds n doubles. 0 when oneNorm is 0.
double choleskyReciprocalCondition(const double* factor, int n, double oneNorm, double* work);
