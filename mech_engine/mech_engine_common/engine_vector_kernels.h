// Vector kernels, machine constants and the uniform random generator of the
// engine. Every routine works on caller-owned arrays (matrices column-major,
// leading dimension = row count) and allocates nothing. Sums run in index
// order, so results are the same on every run.
#pragma once

#include <cstdint>

// Machine constants.
inline constexpr double kEngineEps = 2.220446049250313e-16;  // 2^-52
inline constexpr double kEngineRealmax = 1.7976931348623157e308;
inline constexpr double kEngineRealmin = 2.2250738585072014e-308;  // 2^-1022
inline constexpr double kEnginePi = 3.141592653589793;
double engineEps();
double engineRealmax();
double engineRealmin();
double enginePi();

// Square root of the sum of squares; 0 for n <= 0.
double twonorm(const double* x, int n);
// Euclidean norm accumulated in the scaled way that cannot overflow early.
double scaledNorm(const double* x, int n);
// Sum of absolute values.
double vectorOneNorm(const double* x, int n);
// Divides x by twonorm(x) when that is positive; a zero vector is left alone.
void normalise(double* x, int n);
// Euclidean norm of n elements taken every stride-th.
double stridedNorm(const double* x, int stride, int n);
// count 3-vectors: out_k = a_k × b_k (out may not alias a or b).
void crossProducts(double* out, const double* a, const double* b, int count);
// out = a + b and out = a - b over count columns of n.
void addColumns(double* out, const double* a, const double* b, int n, int count);
void subtractColumns(double* out, const double* a, const double* b, int n, int count);
// out(i, j) = source(rowIndices[i], columnIndices[j]), indices 0-based.
void gatherMatrix(double* out, const double* source, int leadingDimension, int rowCount,
                  const std::int32_t* rowIndices, int columnCount,
                  const std::int32_t* columnIndices);
// out_i = a·x_i·y_i + b·x_i + c·y_i with the given strides.
void vectorBilinearCombine(double* out, const double* x, const double* y, double a, double b,
                           double c, int n, int outStride, int xStride, int yStride);
// Largest column sum of absolute values of an m×n matrix.
double matrixOneNorm(const double* a, int m, int n);

// Park–Miller minimal standard generator (multiplier 16807, modulus 2^31 - 1)
// in Schrage's form; the caller owns the state.
struct UniformRandom {
  std::int32_t state;
};
inline constexpr std::int32_t kParkMillerModulus = 2147483647;
// Sets the state to s² mod (2^31 - 1).
void seedUniformRandom(UniformRandom& generator, std::uint32_t seed);
// Advances the state and returns state / (2^31 - 1), in (0, 1).
double nextUniformRandom(UniformRandom& generator);
