// Reading host arrays inside a plug-in without stepping outside their data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "numhost/zy.h"

namespace plugin_arrays {

// The elements of a double array in column order. Raises `notRealMessage`
// when the array has elements but no real data (a struct array).
inline std::span<const double> elementsOf(const zyArray* array, const char* notRealMessage) {
  const std::size_t count = zyGetM(array) * zyGetN(array);
  const double* data = zyGetPr(array);
  if (data == nullptr && count != 0) zyxErrMsgTxt(notRealMessage);
  return {data, count};
}

// Truncates toward zero to a 32-bit integer, as the processor's conversion
// does: NaN and values outside the range give the lowest integer.
inline std::int32_t truncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace plugin_arrays
