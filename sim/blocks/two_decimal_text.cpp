#include "sim/blocks/two_decimal_text.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace sim {

namespace {

// Beyond this the C library formats the value (the hundredths would still
// fit, but the programs never send such a position).
constexpr double kLargestHandled = 1e9;
constexpr int kWidth = 5;

// round(|value|·100), ties to even, from the exact binary value, as the C
// library rounds in the default rounding mode.
std::uint64_t hundredths(double magnitude) {
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  const int biased = static_cast<int>(bits >> 52);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent;  // magnitude = mantissa · 2^exponent
  if (biased == 0) {
    exponent = -1074;
  } else {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  // Below 1e9 the exponent is negative; 100·mantissa < 2^60.
  const std::uint64_t scaled = 100 * mantissa;
  const int shift = -exponent;
  if (shift >= 64) return 0;  // under 1/16 of a hundredth: rounds to zero
  const std::uint64_t whole = scaled >> shift;
  const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  return rest > half || (rest == half && (whole & 1) != 0) ? whole + 1 : whole;
}

}  // namespace

int writeTwoDecimals(double value, char* out) {
  if (!std::isfinite(value) || std::fabs(value) >= kLargestHandled) return -1;
  std::uint64_t n = hundredths(std::fabs(value));
  // Digits from the last: two decimals, the point, at least one whole digit.
  char digits[kTwoDecimalTextCapacity];
  int length = 0;
  for (int i = 0; i < 2; ++i) {
    digits[length++] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  digits[length++] = '.';
  do {
    digits[length++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  if (std::signbit(value)) digits[length++] = '-';  // also -0.00, as printf
  int written = 0;
  for (int pad = length; pad < kWidth; ++pad) out[written++] = ' ';
  while (length > 0) out[written++] = digits[--length];
  out[written] = '\0';
  return written;
}

}  // namespace sim
