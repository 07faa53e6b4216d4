// writeTwoDecimals against the C library's "%5.2f": the same text for every
// value it takes, including exact ties, signed zeros and subnormals.
#include "sim/blocks/two_decimal_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

std::string libraryText(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%5.2f", value);
  return text;
}

// The formatter's text, or "(left)" when it leaves the value to the library.
std::string ownText(double value) {
  char text[sim::kTwoDecimalTextCapacity];
  std::memset(text, 'x', sizeof text);
  const int length = sim::writeTwoDecimals(value, text);
  if (length < 0) return "(left)";
  EXPECT_EQ(text[length], '\0') << value;
  EXPECT_EQ(static_cast<int>(std::strlen(text)), length) << value;
  return text;
}

double fromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(TwoDecimalTextTest, MatchesTheLibraryOnEdgeCases) {
  const double cases[] = {
      0.0, -0.0, 0.004, -0.004, 0.005, -0.005, 0.0050000000000000001, 0.015, 0.125, 0.375,
      -0.125, 0.625, 2.675, 1.005, 9.995, 99.995, 99.99499999999999, 999.995, 1.0, -1.0,
      12.344, -9.99, 0.5, 123.45, -123.456, 1234.5, 99999.995, 999999999.99, -999999999.99,
      std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min(), 1e-20, 0.0049999999999999999, 0.0051, 5e-3 / 3,
      std::nextafter(0.005, 0.0), std::nextafter(0.005, 1.0), std::nextafter(1e9, 0.0)};
  for (double value : cases) EXPECT_EQ(ownText(value), libraryText(value)) << value;
}

TEST(TwoDecimalTextTest, ExactQuarterTiesRoundToEven) {
  // k/8 for every k below 8000: the odd multiples of 1/8 end in an exact tie
  // at the second decimal (…x25 or …x75 hundredths ÷ 10).
  for (int k = -8000; k < 8000; ++k) {
    const double value = k / 8.0;
    ASSERT_EQ(ownText(value), libraryText(value)) << value;
  }
}

TEST(TwoDecimalTextTest, MatchesTheLibraryOnRandomValues) {
  std::mt19937_64 random(20261210);
  // Uniform over bit patterns (all magnitudes) and over ramp-like positions.
  std::uniform_real_distribution<double> positions(-2000.0, 2000.0);
  for (int i = 0; i < 200000; ++i) {
    const double spread = fromBits(random());
    const double near = positions(random);
    const std::string own = ownText(spread);
    if (own != "(left)") {
      ASSERT_EQ(own, libraryText(spread)) << spread;
    }
    ASSERT_EQ(ownText(near), libraryText(near)) << near;
  }
}

TEST(TwoDecimalTextTest, LeavesNonFiniteAndLargeValuesToTheLibrary) {
  const double left[] = {std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN(), 1e9, -1e9, 1e300};
  for (double value : left) EXPECT_EQ(ownText(value), "(left)") << value;
}

}  // namespace
