// Exact comparison of double results: equal bit patterns, so a -0 for a 0 or
// a result one unit off both fail, and a NaN matches the same NaN.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace numhost_testing {

inline std::string describe(const std::vector<double>& values) {
  std::string text = "[";
  for (double value : values) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s%.17g", text.size() > 1 ? ", " : "", value);
    text += buffer;
  }
  return text + "]";
}

inline ::testing::AssertionResult bitExact(const std::vector<double>& actual,
                                           const std::vector<double>& expected) {
  bool same = actual.size() == expected.size();
  for (std::size_t i = 0; same && i < actual.size(); ++i) {
    same = std::bit_cast<std::uint64_t>(actual[i]) == std::bit_cast<std::uint64_t>(expected[i]);
  }
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got " << describe(actual) << ", expected " << describe(expected);
}

}  // namespace numhost_testing
