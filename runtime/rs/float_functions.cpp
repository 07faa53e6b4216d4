// Elementary functions on doubles. lisp_log, lisp_exp and lisp_pow carry a
// head/tail pair through the steps so that results come within about one
// unit in the last place; every expression is evaluated in the order
// written, in SSE double precision (no contraction, no x87 extended
// intermediates), which the error analysis of those steps assumes.
//
// No function signals: invalid operations give NaN, overflow +infinity,
// underflow 0.

#include "runtime/rs/float_functions.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "runtime/load/scale_by_power_of_two.h"
#include "runtime/rs/float_constants.h"

namespace {

using namespace lisp::float_constants;

// ---- bit fields ----

constexpr uint64_t kSignBit = 0x8000000000000000ull;
constexpr int kExponentShift = 52;
constexpr uint32_t kExponentAllOnes = 0x7ff;
constexpr int kExponentBias = 1023;
constexpr uint64_t kLow27Bits = (1ull << 27) - 1;

uint64_t bitsOf(double x) {
  return std::bit_cast<uint64_t>(x);
}
uint32_t exponentField(double x) {
  return static_cast<uint32_t>(bitsOf(x) >> kExponentShift) & kExponentAllOnes;
}
double absolute(double x) {
  return fromBits(bitsOf(x) & ~kSignBit);
}
bool isNaN(double x) {
  return x != x;
}
// x with the low 27 bits of its significand cleared: a head whose products
// with another such head are exact.
double clearLow27(double x) {
  return fromBits(bitsOf(x) & ~kLow27Bits);
}
// x with its exponent field moved by delta (the caller keeps it in range).
double withExponentMoved(double x, int delta) {
  return fromBits(bitsOf(x) +
                  (static_cast<uint64_t>(static_cast<int64_t>(delta)) << kExponentShift));
}
double logHead(int j) {
  return fromBits(kLogTable[j].head);
}
double logTail(int j) {
  return fromBits(kLogTable[j].tail);
}

// ---- logarithm ----

struct LogParts {
  double u1;  // m * ln 2 head + table head + the series' leading part
  double u2;  // everything else
};

// ln x of a positive finite x as u1 + u2.
LogParts logParts(double x) {
  int m = static_cast<int>(lisp_logb(x));
  double g = lisp_scalb(x, -m);
  if (m == -1022) {  // subnormal: bring g into [1, 2)
    const int shift = static_cast<int>(lisp_logb(g));
    m += shift;
    g = lisp_scalb(g, -shift);
  }
  int j = static_cast<int>(kLogTableSteps * (g - 1) + 0.5);
  if (m == -1 && j == kLogTableSteps) {
    // x just below 1: the ln 2 parts of m = -1 and j = 128 cancel, and the
    // tails' sum would lose the small result's low bits. Read x as m = 0,
    // j = 0 instead (f = x - 1, exact).
    m = 0;
    j = 0;
    g = x;
  }
  const double F = j / static_cast<double>(kLogTableSteps) + 1;
  const double f = g - F;

  g = 1 / (2 * F + f);
  const double u = 2 * f * g;
  const double v = u * u;
  const double q = u * v * (kA1 + v * (kA2 + v * (kA3 + v * kA4)));

  double u1;
  if (m != 0 || j != 0) {
    u1 = (u + 513) - 513;  // u rounded to a multiple of 2^-43
  } else {
    u1 = clearLow27(u);
  }
  double u2 = (2 * (f - F * u1) - u1 * f) * g;

  u1 = u1 + m * logHead(kLogTableSteps) + logHead(j);
  u2 = (u2 + logTail(j)) + q;
  u2 = u2 + logTail(kLogTableSteps) * m;
  return {u1, u2};
}

// ---- exponential ----

// e^(x + c) for a finite x within the thresholds' range, c small.
double expWithCorrection(double x, double c, bool withCorrection) {
  if (isNaN(x)) return x + x;
  if (x > kExpOverflowThreshold) {
    if (!lisp_finite(x)) return x;
    return lisp_scalb(1.0, kOverflowScale);
  }
  if (x < kExpUnderflowThreshold) {
    if (!lisp_finite(x)) return 0.0;
    return lisp_scalb(1.0, kUnderflowScale);
  }
  const int k = static_cast<int>(x * kInverseLn2 + rs_copysign(0.5, x));
  const double hi = x - k * kLn2High;
  const double lo = withCorrection ? k * kLn2Low - c : k * kLn2Low;
  const double z = hi - lo;

  const double s = z * z;
  const double r = z - s * (kP1 + s * (kP2 + s * (kP3 + s * (kP4 + s * kP5))));
  return lisp_scalb(1.0 + (hi - (lo - (z * r) / (2 - r))), k);
}

// Above this, x * x overflows: the inverse hyperbolic functions use
// ln 2 + ln x there, which is ln(x + sqrt(x * x +- 1)) to double precision.
constexpr double kSquareOverflowsAbove = 0x1p511;

}  // namespace

extern "C" {

int lisp_finite(double x) {
  return exponentField(x) != kExponentAllOnes;
}

double lisp_logb(double x) {
  const uint32_t field = exponentField(x);
  if (field == kExponentAllOnes) return absolute(x);
  if (field == 0) return x == 0 ? -kInfinity : -1022.0;
  return static_cast<double>(static_cast<int>(field) - kExponentBias);
}

double lisp_scalb(double x, int n) {
  return _scalbn(x, n);
}

double rs_scalb(double x, int n) {
  return _scalbn(x, n);
}

double rs_copysign(double x, double y) {
  return fromBits((bitsOf(x) & ~kSignBit) | (bitsOf(y) & kSignBit));
}

double lisp_drem(double x, double p) {
  p = absolute(p);
  if (!lisp_finite(x)) return (x - p) - (x - p);
  if (p == 0) return kInvalid;
  if (!lisp_finite(p)) return isNaN(p) ? p : x;

  if (exponentField(p) <= 1) {  // subnormal or nearly: work at a larger scale
    const double b = lisp_scalb(1.0, kTinyDivisorScale);
    p = p * b;
    x = lisp_drem(x, p);
    x = x * b;
    return lisp_drem(x, p) / b;
  }
  if (p >= kLargeDivisor) return 2 * lisp_drem(x / 2, p / 2);

  const double dp = 2 * p;
  const double hp = p / 2;
  const uint64_t sign = bitsOf(x) & kSignBit;
  x = absolute(x);
  while (x > dp) {  // take away the largest 2^i * dp below x: n keeps its parity
    double tmp = withExponentMoved(
        dp, static_cast<int>(exponentField(x)) - static_cast<int>(exponentField(dp)));
    if (x < tmp) tmp = withExponentMoved(tmp, -1);
    x = x - tmp;
  }
  if (x > hp) {
    x = x - p;
    if (x >= hp) x = x - p;
  }
  return fromBits(bitsOf(x) ^ sign);
}

double lisp_log(double x) {
  if (isNaN(x)) return x + x;
  if (x > 0 && !lisp_finite(x)) return x + x;
  if (x == 0) return -kInfinity;
  if (x < 0) return kInvalid;
  const LogParts parts = logParts(x);
  return parts.u1 + parts.u2;
}

void lisp_log__D(double x, double* headThenTail) {
  if (!(x > 0) || !lisp_finite(x)) {  // outside the domain the pair is made for
    headThenTail[0] = lisp_log(x);
    headThenTail[1] = 0.0;
    return;
  }
  const LogParts parts = logParts(x);
  const double head = clearLow27(parts.u1 + parts.u2);
  headThenTail[0] = head;
  headThenTail[1] = (parts.u1 - head) + parts.u2;
}

double lisp_exp(double x) {
  return expWithCorrection(x, 0.0, false);
}

double lisp_exp__D(double x, double c) {
  return expWithCorrection(x, c, true);
}

double lisp_pow(double x, double y) {
  if (y == 0) return 1.0;
  if (y == 1) return x;
  if (isNaN(x)) return x;
  if (isNaN(y)) return y;

  if (!lisp_finite(y)) {
    const double t = absolute(x);
    if (t == 1) return y - y;
    if (t > 1) return y < 0 ? 0.0 : (x < 0 ? y - y : y);
    return y > 0 ? 0.0 : (x < 0 ? y - y : -y);
  }
  if (y == 2) return x * x;
  if (y == -1) return 1 / x;

  if (rs_copysign(1.0, x) == 1) return lisp_pow_P(x, y);
  const double t = lisp_drem(y, 2.0);
  if (t == 0) return lisp_pow_P(-x, y);                     // y even
  if (rs_copysign(t, 1.0) == 1) return -lisp_pow_P(-x, y);  // y odd
  if (x == 0) return y > 0 ? -x : 1 / (-x);                 // -0 to a non-integer power
  return kInvalid;
}

double lisp_pow_P(double x, double y) {
  if (x == 0) return y <= 0 ? kHuge * kHuge : 0.0;
  if (x == 1) return 1.0;
  if (!lisp_finite(x)) return y >= 0 ? kHuge * kHuge : 0.0;
  if (y >= kPowerExponentLimit) return x >= 1 ? kHuge * kHuge : kTiny * kTiny;

  double logX[2];
  lisp_log__D(x, logX);
  const double h = logX[0];
  const double t = logX[1];
  const double ya = clearLow27(y);
  const double yb = y - ya;
  const double b = yb * h + t * y;
  const double a = ya * h;
  const double s = a + b;
  const double sb = (a - s) + b;
  return lisp_exp__D(s, sb);
}

double rs_log1p(double x) {
  return std::log(1.0 + x);
}

float rs_sqrtf(float x) {
  return static_cast<float>(std::sqrt(static_cast<double>(x)));
}

double rs_acosh(double x) {
  if (x < 1.0) return 0.0;
  if (x > kSquareOverflowsAbove) return std::numbers::ln2 + std::log(x);
  return std::log(x + std::sqrt(x * x - 1));
}

double rs_asinh(double x) {
  if (x < 0) return -rs_asinh(-x);  // x + sqrt(x*x + 1) cancels for negative x
  if (x > kSquareOverflowsAbove) return std::numbers::ln2 + std::log(x);
  return std::log(x + std::sqrt(x * x + 1));
}

double rs_atanh(double x) {
  return 0.5 * std::log((1 + x) / (1 - x));
}

double whypot(double x, double y) {
  const double ax = std::fabs(x);
  const double ay = std::fabs(y);
  if (std::isinf(ax) || std::isinf(ay)) return kInfinity;  // inf / inf below would give NaN
  if (ay > ax) {
    const double ratio = x / ay;
    return ay * std::sqrt(ratio * ratio + 1);
  }
  if (ax == 0) return 0.0;
  const double ratio = ay / ax;
  return ax * std::sqrt(1 + ratio * ratio);
}

void set_glob_float_constants(uint32_t* block) {
  constexpr uint32_t kBlockWordsToSingle = 0x48 / 4;
  block[0] = kDoubleControlWord * 0x10001u;
  block[kBlockWordsToSingle] = kSingleControlWord * 0x10001u;
}

}  // extern "C"
