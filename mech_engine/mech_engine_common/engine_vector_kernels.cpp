#include "mech_engine_common/engine_vector_kernels.h"

#include <cmath>

double engineEps() {
  return kEngineEps;
}
double engineRealmax() {
  return kEngineRealmax;
}
double engineRealmin() {
  return kEngineRealmin;
}
double enginePi() {
  return kEnginePi;
}

double twonorm(const double* x, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += x[i] * x[i];
  return std::sqrt(sum);
}

double scaledNorm(const double* x, int n) {
  double r = 0.0;
  for (int i = 0; i < n; ++i) {
    const double c = x[i];
    if (c == 0.0) continue;  // keeps r = 0 while the elements are 0
    if (std::fabs(c) < r) {
      const double q = c / r;
      r = r * std::sqrt(1.0 + q * q);
    } else {
      const double q = r / c;
      r = std::fabs(c) * std::sqrt(1.0 + q * q);
    }
  }
  return r;
}

double vectorOneNorm(const double* x, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += std::fabs(x[i]);
  return sum;
}

void normalise(double* x, int n) {
  const double norm = twonorm(x, n);
  if (norm > 0.0) {
    for (int i = 0; i < n; ++i) x[i] /= norm;
  }
}

double stridedNorm(const double* x, int stride, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += x[i * stride] * x[i * stride];
  return std::sqrt(sum);
}

void crossProducts(double* out, const double* a, const double* b, int count) {
  for (int k = 0; k < count; ++k, out += 3, a += 3, b += 3) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
  }
}

void addColumns(double* out, const double* a, const double* b, int n, int count) {
  for (int i = 0; i < n * count; ++i) out[i] = a[i] + b[i];
}

void subtractColumns(double* out, const double* a, const double* b, int n, int count) {
  for (int i = 0; i < n * count; ++i) out[i] = a[i] - b[i];
}

void gatherMatrix(double* out, const double* source, int leadingDimension, int rowCount,
                  const std::int32_t* rowIndices, int columnCount,
                  const std::int32_t* columnIndices) {
  for (int j = 0; j < columnCount; ++j) {
    const double* column = source + columnIndices[j] * leadingDimension;
    for (int i = 0; i < rowCount; ++i) out[i + j * rowCount] = column[rowIndices[i]];
  }
}

void vectorBilinearCombine(double* out, const double* x, const double* y, double a, double b,
                           double c, int n, int outStride, int xStride, int yStride) {
  for (int i = 0; i < n; ++i) {
    const double xi = x[i * xStride];
    const double yi = y[i * yStride];
    out[i * outStride] = a * xi * yi + b * xi + c * yi;
  }
}

double matrixOneNorm(const double* a, int m, int n) {
  double largest = 0.0;
  for (int j = 0; j < n; ++j) {
    const double sum = vectorOneNorm(a + j * m, m);
    if (sum > largest) largest = sum;
  }
  return largest;
}

namespace {
constexpr std::int32_t kParkMillerMultiplier = 16807;
constexpr std::int32_t kSchrageQuotient = 127773;  // modulus div multiplier
constexpr std::int32_t kSchrageRemainder = 2836;   // modulus mod multiplier
}  // namespace

void seedUniformRandom(UniformRandom& generator, std::uint32_t seed) {
  const std::uint64_t s = seed;
  generator.state = static_cast<std::int32_t>((s * s) % kParkMillerModulus);
}

double nextUniformRandom(UniformRandom& generator) {
  const std::int32_t state = generator.state;
  std::int32_t next = kParkMillerMultiplier * (state % kSchrageQuotient) -
                      kSchrageRemainder * (state / kSchrageQuotient);
  if (next < 0) next += kParkMillerModulus;
  generator.state = next;
  return static_cast<double>(next) / kParkMillerModulus;
}
