// The host side of the array interface: how the host (and tests) build
// argument arrays, read results and watch for leaks.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "numhost/zy.h"

namespace numhost {

struct NUMHOST_API ArrayDeleter {
  void operator()(zyArray* array) const noexcept;
};
using ArrayPtr = std::unique_ptr<zyArray, ArrayDeleter>;

// A rows-by-columns real matrix holding `columnOrderValues` (zeros when empty).
NUMHOST_API ArrayPtr makeMatrix(std::size_t rows, std::size_t columns,
                                std::span<const double> columnOrderValues = {});
NUMHOST_API ArrayPtr makeRow(std::initializer_list<double> values);
NUMHOST_API ArrayPtr makeColumn(std::initializer_list<double> values);
NUMHOST_API ArrayPtr makeScalar(double value);

// A 1-by-1 struct array with the given fields in order.
using NamedField = std::pair<std::string, ArrayPtr>;
NUMHOST_API ArrayPtr makeStruct(std::vector<NamedField> fields);

// All elements of a double array, in column order.
NUMHOST_API std::vector<double> valuesOf(const zyArray& array);

// Arrays and zyCalloc blocks alive in the process, for leak checks.
NUMHOST_API std::size_t liveArrayCount();
NUMHOST_API std::size_t liveBlockCount();

}  // namespace numhost
