// The host's array record behind the opaque zyArray handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "numhost/host.h"

namespace numhost::detail {
// Every zyArray alive in the process; read by liveArrayCount().
inline std::atomic<std::size_t> liveArrays{0};
}  // namespace numhost::detail

// Invariant: for a double array, rows * columns <= data.size(); the data never
// moves after creation, so pointers from zyGetPr stay valid while it lives.
struct zyArray {
  enum class Kind { kDouble, kStruct };

  Kind kind = Kind::kDouble;
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<double> data;                    // double arrays, column order
  std::vector<std::string> fieldNames;         // struct arrays
  std::vector<numhost::ArrayPtr> fieldValues;  // element e, field f at e * fieldCount + f

  zyArray() { ++numhost::detail::liveArrays; }
  ~zyArray() { --numhost::detail::liveArrays; }
  zyArray(const zyArray&) = delete;
  zyArray& operator=(const zyArray&) = delete;

  std::size_t elementCount() const { return rows * columns; }
};
