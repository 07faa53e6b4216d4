// Lookups in the hashed tables of the calling path, for the assembly
// routines that own them: the call-count table (count_call), a flavor's
// method table (flav_send) and the table of code vectors functions had
// before they were wrapped (original_fcn_codevec).
//
// Every probe visits each slot of its key vector at most once, so a full
// table or a vector of length 0 ends the search instead of looping or
// dividing by zero; an index is used only where the vector it reads or
// writes has it.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// count_call's table step for `key` (a function): adds 1 to its count, or
// enters it with count 1 while the entry count has not passed the limit;
// a key that finds no place adds 1 to the overflow count (nil-0x1a9).
// `empty` marks an unused key slot.
void call_count_record(lisp::lispval table, lisp::lispval key, lisp::lispval empty);

// flav_send's method for `message` sent to `instance` (type 128 or 129):
// the method in the low word, the extra datum in the high word. Not found:
// the flavor's default handler and the message. An instance without a
// usable flavor record: nil and the message.
uint64_t flavor_method(lisp::lispval instance, lisp::lispval message);

// The value stored for `key` (a function) in `table`, or nil.
lisp::lispval original_code_vector(lisp::lispval table, lisp::lispval key, lisp::lispval empty);
}

namespace lisp::call_tables {

// The elements of a Lisp vector: a general vector (type 96, length in the
// header) or a simple vector (type 112, fixnum length word).
struct VectorView {
  uint32_t* data = nullptr;
  uint32_t length = 0;
};
VectorView viewOf(lispval vector);

enum class ProbeEnd { Found, Empty, Full };
struct ProbeResult {
  ProbeEnd end;
  uint32_t index;  // of the key or of the empty slot
};
// Linear probing from hash mod length, wrapping to 0.
ProbeResult probe(const VectorView& keys, uint32_t hash, lispval key, lispval empty);

}  // namespace lisp::call_tables
