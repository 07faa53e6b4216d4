// Multiple values (assembly, Lisp register conventions; see
// multiple_values.S): the open form in eax, edx, ecx and the thread's head
// values vector, and the closed form, a values vector holding its count.
#pragma once

#include <cstdint>

extern "C" {
void values();        // n arguments, ecx = n -> the same values, open form
void values_list();   // eax = a list, ecx = 1 -> its elements, open form
void close_values();  // open form -> eax = a closed values vector
void append_values(); // open form; caller's ebp-0x18 = closed vector -> the vector extended
void m_v_list();      // open form -> eax = a list of the values
void m_v_call();      // eax = function, edx = closed vector -> the function's values
}

namespace lisp::multiple_values {
// Element k of a values vector lies at the tagged word - 0xe + 4k; its
// element count is in header bits 8-31.
constexpr int32_t elementOffset(uint32_t k) {
  return -0xe + 4 * static_cast<int32_t>(k);
}
inline constexpr uint32_t kLeastVectorElements = 20;  // values, values_list
inline constexpr uint32_t kPackingVectorElements = 21;  // packing onto an empty list
inline constexpr uint32_t kAppendSpareElements = 20;
}  // namespace lisp::multiple_values
