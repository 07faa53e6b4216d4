// The native halves of the function-fault routines (function_faults.S).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// What restore_codevector calls to read a jettisoned code vector back:
// pageinfcn, or a test's stand-in for the code file.
extern lisp::lispval (*code_vector_page_in)(uint32_t place, uint32_t name);

// dump_codevectors' call of the code-file writer: the integer (a fixnum or
// a bignum's low 32 bits, negated when negative; nil or anything else as
// 0), the address of the path, and two flags, swap and noisy (not nil: 1).
// Returns the writer's result word, its error bits.
uint32_t dump_code_vectors_native(lisp::lispval integer, lisp::lispval firstFlag,
                                  lisp::lispval secondFlag);
}
