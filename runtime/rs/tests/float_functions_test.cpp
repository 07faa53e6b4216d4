// The float functions on the rows their definitions single out (special
// values, thresholds, signs), the three mended rows, and every generated
// vector (float_vectors.txt, made by float_vectors.py with decimal at 60
// digits): log, exp and pow within one unit in the last place of the
// correctly rounded result, drem exact, whypot within two units of hypot.

#include "runtime/rs/float_functions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSmallestSubnormal = std::numeric_limits<double>::denorm_min();

uint64_t bitsOf(double x) {
  return std::bit_cast<uint64_t>(x);
}

// Units in the last place between a and b (adjacent doubles differ by 1,
// +-0 by 0), counted along the ordered line of doubles.
uint64_t ulpsApart(double a, double b) {
  auto ordered = [](double x) {
    const int64_t raw = std::bit_cast<int64_t>(x);
    return raw < 0 ? std::numeric_limits<int64_t>::min() - raw : raw;
  };
  const int64_t ia = ordered(a), ib = ordered(b);
  return ia > ib ? static_cast<uint64_t>(ia) - static_cast<uint64_t>(ib)
                 : static_cast<uint64_t>(ib) - static_cast<uint64_t>(ia);
}

// Equal as results: the same bits, or both NaN.
testing::AssertionResult sameResult(double got, double expected) {
  if ((std::isnan(got) && std::isnan(expected)) || bitsOf(got) == bitsOf(expected))
    return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "got " << got << " (0x" << std::hex << bitsOf(got) << "), expected " << expected
         << " (0x" << bitsOf(expected) << ")";
}

// ---- rows of the definitions ----

struct UnaryRow {
  const char* name;
  double (*function)(double);
  double x;
  double expected;
};

const UnaryRow kUnaryRows[] = {
    {"log 1", lisp_log, 1.0, 0.0},
    {"log 0", lisp_log, 0.0, -kInf},
    {"log -0", lisp_log, -0.0, -kInf},
    {"log -1", lisp_log, -1.0, kNaN},
    {"log -inf", lisp_log, -kInf, kNaN},
    {"log inf", lisp_log, kInf, kInf},
    {"log NaN", lisp_log, kNaN, kNaN},
    {"exp 0", lisp_exp, 0.0, 1.0},
    {"exp 710", lisp_exp, 710.0, kInf},
    {"exp 717", lisp_exp, 717.0, kInf},
    {"exp inf", lisp_exp, kInf, kInf},
    {"exp -752", lisp_exp, -752.0, 0.0},
    {"exp -inf", lisp_exp, -kInf, 0.0},
    {"exp NaN", lisp_exp, kNaN, kNaN},
    {"logb 0", lisp_logb, 0.0, -kInf},
    {"logb -inf", lisp_logb, -kInf, kInf},
    {"logb NaN", lisp_logb, kNaN, kNaN},
    {"logb 0.75", lisp_logb, 0.75, -1.0},
    {"logb -1024", lisp_logb, -1024.0, 10.0},
    {"logb subnormal", lisp_logb, kSmallestSubnormal, -1022.0},
    {"acosh 0.5", rs_acosh, 0.5, 0.0},
    {"acosh 1", rs_acosh, 1.0, 0.0},
    {"acosh NaN", rs_acosh, kNaN, kNaN},
    {"asinh -0", rs_asinh, -0.0, 0.0},
    {"asinh -inf", rs_asinh, -kInf, -kInf},
    {"atanh 0", rs_atanh, 0.0, 0.0},
    {"atanh 1", rs_atanh, 1.0, kInf},
    {"log1p 0", rs_log1p, 0.0, 0.0},
};

TEST(FloatFunctions, UnaryRowsGiveTheirResults) {
  for (const UnaryRow& row : kUnaryRows)
    EXPECT_TRUE(sameResult(row.function(row.x), row.expected)) << row.name;
  EXPECT_NEAR(lisp_log(kSmallestSubnormal), -744.440072, 1e-6);
  EXPECT_TRUE(std::isfinite(lisp_exp(709.0)));
}

struct BinaryRow {
  const char* name;
  double (*function)(double, double);
  double x, y;
  double expected;
};

const BinaryRow kBinaryRows[] = {
    {"pow -8 1/3", lisp_pow, -8.0, 1.0 / 3, kNaN},
    {"pow -2 3", lisp_pow, -2.0, 3.0, -8.0},
    {"pow -2 4", lisp_pow, -2.0, 4.0, 16.0},
    {"pow -0 -1", lisp_pow, -0.0, -1.0, -kInf},
    {"pow -0 -3", lisp_pow, -0.0, -3.0, -kInf},
    {"pow -0 0.5", lisp_pow, -0.0, 0.5, 0.0},
    {"pow -0 -0.5", lisp_pow, -0.0, -0.5, kInf},
    {"pow NaN 0", lisp_pow, kNaN, 0.0, 1.0},
    {"pow inf 0", lisp_pow, kInf, 0.0, 1.0},
    {"pow 3 0", lisp_pow, 3.0, -0.0, 1.0},
    {"pow 1 inf", lisp_pow, 1.0, kInf, kNaN},
    {"pow 2 -inf", lisp_pow, 2.0, -kInf, 0.0},
    {"pow 2 inf", lisp_pow, 2.0, kInf, kInf},
    {"pow -2 inf", lisp_pow, -2.0, kInf, kNaN},
    {"pow 0.5 -inf", lisp_pow, 0.5, -kInf, kInf},
    {"pow 0.5 inf", lisp_pow, 0.5, kInf, 0.0},
    {"pow NaN 2", lisp_pow, kNaN, 2.0, kNaN},
    {"pow 2 NaN", lisp_pow, 2.0, kNaN, kNaN},
    {"pow 0 -2.5", lisp_pow, 0.0, -2.5, kInf},
    {"pow inf -3", lisp_pow, kInf, -3.0, 0.0},
    {"pow 2 1e19", lisp_pow, 2.0, 1e19, kInf},
    {"pow 0.5 1e19", lisp_pow, 0.5, 1e19, 0.0},
    {"pow 4 0.5", lisp_pow, 4.0, 0.5, 2.0},
    {"pow 2 1024", lisp_pow, 2.0, 1024.0, kInf},
    {"pow_P -0 3", lisp_pow_P, -0.0, 3.0, 0.0},
    {"drem 5 2", lisp_drem, 5.0, 2.0, 1.0},
    {"drem 7 2", lisp_drem, 7.0, 2.0, -1.0},
    {"drem -7 2", lisp_drem, -7.0, 2.0, 1.0},
    {"drem -4 2", lisp_drem, -4.0, 2.0, -0.0},
    {"drem 7 -2", lisp_drem, 7.0, -2.0, -1.0},
    {"drem 3 0", lisp_drem, 3.0, 0.0, kNaN},
    {"drem inf 2", lisp_drem, kInf, 2.0, kNaN},
    {"drem 3 inf", lisp_drem, 3.0, kInf, 3.0},
    {"drem 3 NaN", lisp_drem, 3.0, kNaN, kNaN},
    {"drem 1e-320 3e-323", lisp_drem, 1e-320, 3e-323, std::remainder(1e-320, 3e-323)},
    {"drem 1e308 1.6e308", lisp_drem, 1e308, 1.6e308, -6e307},
    {"copysign 2 -0", rs_copysign, 2.0, -0.0, -2.0},
    {"copysign -inf 1", rs_copysign, -kInf, 1.0, kInf},
    {"whypot 0 0", whypot, 0.0, 0.0, 0.0},
    {"whypot 3 4", whypot, 3.0, 4.0, 5.0},
    {"whypot -4 3", whypot, -4.0, 3.0, 5.0},
    {"whypot 1e300 1e300", whypot, 1e300, 1e300, std::hypot(1e300, 1e300)},
    {"whypot inf inf", whypot, kInf, -kInf, kInf},
    {"whypot NaN inf", whypot, kNaN, kInf, kInf},
    {"whypot NaN 1", whypot, kNaN, 1.0, kNaN},
};

TEST(FloatFunctions, BinaryRowsGiveTheirResults) {
  for (const BinaryRow& row : kBinaryRows)
    EXPECT_TRUE(sameResult(row.function(row.x, row.y), row.expected)) << row.name;
}

TEST(FloatFunctions, ScalingAndFinitenessFollowTheExponentField) {
  EXPECT_TRUE(sameResult(lisp_scalb(1.0, 1024), kInf));
  EXPECT_TRUE(sameResult(lisp_scalb(1.0, -1074), kSmallestSubnormal));
  EXPECT_TRUE(sameResult(lisp_scalb(1.0, -1076), 0.0));
  EXPECT_TRUE(sameResult(rs_scalb(-3.0, 4), -48.0));
  EXPECT_TRUE(sameResult(lisp_scalb(0x1.8p-1074, 0), 2 * kSmallestSubnormal));  // ties to even
  EXPECT_NE(lisp_finite(1e308), 0);
  EXPECT_NE(lisp_finite(kSmallestSubnormal), 0);
  EXPECT_EQ(lisp_finite(-kInf), 0);
  EXPECT_EQ(lisp_finite(kNaN), 0);
  EXPECT_EQ(bitsOf(rs_sqrtf(2.0f)), bitsOf(static_cast<float>(std::sqrt(2.0))));
}

// The direct formulas cancel for negative arguments and overflow in x * x.
TEST(FloatFunctions, InverseHyperbolicsStayAccurateWhereTheFormulaFails) {
  EXPECT_NEAR(rs_asinh(-1e10), -23.719, 1e-3);
  EXPECT_EQ(rs_asinh(-1e10), -rs_asinh(1e10));
  EXPECT_NEAR(rs_acosh(1e200), 461.2, 0.1);
  EXPECT_NEAR(rs_asinh(1e200), 461.2, 0.1);
  EXPECT_NEAR(rs_asinh(1e300), std::asinh(1e300), 1e-12);
  EXPECT_NEAR(rs_acosh(1e300), std::acosh(1e300), 1e-12);
  EXPECT_NEAR(rs_asinh(0.5), std::asinh(0.5), 1e-15);
}

// The head of lisp_log__D multiplies exactly: its low 27 bits are clear.
TEST(FloatFunctions, LogPairHasAShortHeadAndSumsToTheLogarithm) {
  for (double x : {0.1, 1.0, 1.5, 2.0, 3.0, 1e-300, 7e300, kSmallestSubnormal}) {
    double pair[2] = {-1, -1};
    lisp_log__D(x, pair);
    EXPECT_EQ(bitsOf(pair[0]) & ((1u << 27) - 1), 0u) << x;
    EXPECT_LE(ulpsApart(pair[0] + pair[1], lisp_log(x)), 1u) << x;
  }
  for (double x : {0.0, -2.0, kInf, kNaN}) {  // outside its domain: the logarithm and 0
    double pair[2] = {-1, -1};
    lisp_log__D(x, pair);
    EXPECT_TRUE(sameResult(pair[0], lisp_log(x))) << x;
    EXPECT_EQ(pair[1], 0.0) << x;
  }
}

TEST(FloatFunctions, ControlWordsGoIntoBothHalvesOfTheirWords) {
  uint32_t block[0x50 / 4] = {};
  set_glob_float_constants(block);
  EXPECT_EQ(block[0], 0x027f027fu);
  EXPECT_EQ(block[0x48 / 4], 0x007f007fu);
  for (int i = 1; i < 0x48 / 4; ++i) EXPECT_EQ(block[i], 0u);
}

// ---- generated vectors ----

struct VectorRow {
  int line;
  std::vector<double> arguments;
  double expected;
};

std::map<std::string, std::vector<VectorRow>> loadVectors() {
  std::map<std::string, std::vector<VectorRow>> rows;
  std::ifstream file(FLOAT_VECTORS_PATH);
  EXPECT_TRUE(file) << "cannot read " << FLOAT_VECTORS_PATH;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream words(text);
    std::string name;
    words >> name;
    VectorRow row{line, {}, 0};
    bool afterEquals = false;
    for (std::string word; words >> word;) {
      if (word == "=") {
        afterEquals = true;
        continue;
      }
      const double value = std::bit_cast<double>(std::stoull(word, nullptr, 16));
      if (afterEquals)
        row.expected = value;
      else
        row.arguments.push_back(value);
    }
    rows[name].push_back(row);
  }
  return rows;
}

const std::map<std::string, std::vector<VectorRow>>& vectors() {
  static const auto loaded = loadVectors();
  return loaded;
}

struct VectorFunction {
  const char* name;
  double (*unary)(double);
  double (*binary)(double, double);
  uint64_t allowedUlps;
};

const VectorFunction kVectorFunctions[] = {
    {"log", lisp_log, nullptr, 1},
    {"exp", lisp_exp, nullptr, 1},
    {"pow", nullptr, lisp_pow, 1},
    {"drem", nullptr, lisp_drem, 0},
    // Five roundings (ratio, square, sum, root, product) take the scaled
    // formula up to two units from the correctly rounded hypotenuse.
    {"hypot", nullptr, whypot, 2},
};

TEST(FloatFunctions, GeneratedVectorsStayWithinTheirErrorBounds) {
  for (const VectorFunction& function : kVectorFunctions) {
    const auto found = vectors().find(function.name);
    ASSERT_NE(found, vectors().end()) << function.name;
    uint64_t worst = 0;
    for (const VectorRow& row : found->second) {
      const double got = function.unary ? function.unary(row.arguments[0])
                                        : function.binary(row.arguments[0], row.arguments[1]);
      const uint64_t apart = ulpsApart(got, row.expected);
      worst = std::max(worst, apart);
      EXPECT_LE(apart, function.allowedUlps) << function.name << " at line " << row.line << ": got "
                                             << got << ", expected " << row.expected;
    }
    std::printf("%s: %zu rows, largest error %llu ulp\n", function.name, found->second.size(),
                static_cast<unsigned long long>(worst));
  }
}

}  // namespace
