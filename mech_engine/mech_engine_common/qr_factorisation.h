// Rank-revealing QR factorisation with column pivoting and the solves built on
// it. Arrays are column-major with m rows and n columns; the factor keeps R in
// its upper triangle and the Householder vectors below it, with the
// Householder scalars apart in qraux. Pivot words are 1-based column numbers.
// Nothing here allocates: the caller passes every work array.
#pragma once

#include <cstdint>

// Factors x in place (Householder reflections, LINPACK DQRDC with pivoting).
// On entry pivot[j] > 0 moves column j to the front, < 0 to the back, 0 leaves
// it free to be chosen by largest remaining norm; on exit pivot[j] is the
// original (1-based) number of the column now at position j. qraux and work
// hold n doubles each.
void qrFactorPivoted(double* x, int m, int n, double* qraux, std::int32_t* pivot, double* work);

// eps·max(m, n).
double qrDefaultTolerance(int m, int n);

// Count of the leading diagonal elements of R whose magnitude exceeds
// |R(0,0)|·tolerance, over min(m, n) elements; 0 when R(0,0) is 0. A NaN or
// infinite element counts: it is carried into the solution, never dropped.
int qrNumericalRank(const double* qr, int m, int n, double tolerance);

// Applies reflection l (column l of the factor with its scalar) to v (m rows):
// nothing when the scalar is 0.
void qrApplyReflection(const double* qr, int m, int l, double scalar, double* v);

// v = Qᵀ·v and v = Q·v (the reflections in order and in reverse order).
void qrApplyQTranspose(const double* qr, int m, int n, const double* qraux, double* v);
void qrApplyQ(const double* qr, int m, int n, const double* qraux, double* v);

// Solves R·x = Qᵀ·b for the leading k columns: b (m rows) is overwritten with
// Qᵀ·b and its first k entries with x. Returns 0, or the 1-based position of
// the last zero diagonal element met when substituting backwards.
int qrSolveR(const double* qr, int m, int n, const double* qraux, double* b, int k);

// Least-squares solution x (n) of A·x = b with rank detection: solves for the
// numerical rank, zeroes x beyond it and undoes the column permutation. b is
// overwritten. Returns true when the rank is below min(m, n). The pivot words
// are used as marks while permuting and restored before returning.
bool qrLeastSquares(const double* qr, int m, int n, const double* qraux, std::int32_t* pivot,
                    double* b, double* x, double tolerance);

// Minimum-norm solution y (m) of Aᵀ·y = c (c has n entries): c is gathered
// through the pivot words when they are given, Rᵀ is substituted forwards up
// to the numerical rank, the rest of y is zeroed and Q applied. Returns the
// rank. c and y must not overlap.
int qrTransposedSolve(const double* qr, int m, int n, const double* qraux,
                      const std::int32_t* pivot, const double* c, double* y, double tolerance);
