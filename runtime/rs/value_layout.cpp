// Consistency of the value layer's tables, checked when the library builds.

#include "runtime/rs/object_layout.h"

namespace lisp {
namespace {

// Vectors 96-127 keep their length where their type code's bit of value 16
// says; the two double-float based header-length types add an alignment word.
constexpr bool lengthRuleHolds() {
  for (const VectorType& row : kVectorTypes) {
    if (row.code >= type_code::FirstVector && row.code <= type_code::LastVector &&
        row.fixnumLength != ((row.code & kFixnumLengthBit) != 0))
      return false;
    if (row.alignmentWord !=
        (row.code == type_code::DoubleFloatVector || row.code == type_code::ComplexDoubleVector))
      return false;
  }
  return true;
}
static_assert(lengthRuleHolds());

// Rows of the vector table with this code. (Counted, not found by pointer:
// with the undefined-behaviour sanitizer a pointer comparison is no longer
// a constant expression.)
constexpr int vectorRowsOf(uint8_t code) {
  int rows = 0;
  for (const VectorType& row : kVectorTypes) rows += row.code == code ? 1 : 0;
  return rows;
}

// Every vector code has exactly one row, and every row is a vector code.
constexpr bool vectorTableComplete() {
  for (uint32_t code = 0; code < 256; ++code) {
    const bool isVector = kindOfTypeCode(static_cast<uint8_t>(code)) == ObjectKind::Vector;
    if (vectorRowsOf(static_cast<uint8_t>(code)) != (isVector ? 1 : 0)) return false;
  }
  return true;
}
static_assert(vectorTableComplete());

}  // namespace
}  // namespace lisp
