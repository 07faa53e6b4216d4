// The native halves of element access and of the array-header constructor:
// everything that needs no allocation, called from their assembly inside a
// foreign-call record. None of them allocates or calls Lisp.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// What aref does with the element: the low half of aref_locate's result; the
// high half is the payload named beside each.
enum ArefAction : uint32_t {
  kArefValue = 0,           // the Lisp value
  kArefSigned32 = 1,        // raw word, boxed by fixnum_or_bignum
  kArefUnsigned32 = 2,      // raw word, boxed by unsigned_fixnum_or_bignum
  kArefSingleFloat = 3,     // a new single-float receives the element's bits
  kArefDoubleFloat = 4,     // a new double-float receives them
  kArefComplexSingle = 5,   // a new complex of two new single-floats
  kArefComplexDouble = 6,   // a new complex of two new double-floats
  kArefError = 7,           // fixnum error code
  kArefErrorWithDatum = 8,  // fixnum error code; the datum in *datum
};

// aref (a, s1 ... sk) with the `count` arguments from `arguments` upward:
// checks, row-major index, displacement walk, and what to do with the
// element (*datum receives an error's datum).
uint64_t aref_locate(const lisp::lispval* arguments, uint32_t count, lisp::lispval nil,
                     lisp::lispval* datum);

// For the float and complex kinds, after aref_locate accepted the same
// arguments and the number objects were made: finds the element again from
// the arguments (objects may have moved meanwhile) and copies part `part`
// (0 real or the only one, 1 imaginary) into `number`, a float of the
// element's width; returns number.
lisp::lispval aref_fill(const lisp::lispval* arguments, uint32_t count, lisp::lispval number,
                        uint32_t part);

// inv_s_aref (v, a, s ...): checks and stores. 0 when stored; else the
// runtime error code, with kWithDatum set when *datum goes with it.
uint32_t inv_s_aref_store(const lisp::lispval* arguments, uint32_t count, lisp::lispval nil,
                          lisp::lispval* datum);

// Row-major index of the subscripts from `subscripts` under the dimensions
// list; false (error 13, or 16 with *bad) when one is out of range.
bool calc_index(const lisp::lispval* subscripts, uint32_t count, lisp::lispval dims,
                lisp::lispval* index, uint32_t* error, lisp::lispval* bad);

// The seven constructor arguments of make_array_header, upward from home
// slot 1.
struct ArrayHeaderArguments {
  lisp::lispval rank;  // fixnum
  lisp::lispval word1;
  lisp::lispval data;  // a cons, an array header, or a fixnum type code
  lisp::lispval displacement;
  lisp::lispval dimensions;
  lisp::lispval sixth;
  lisp::lispval seventh;
};
static_assert(sizeof(ArrayHeaderArguments) == 28);

// Before anything is allocated: 0, or error 14 (with the data argument) when
// the type byte it gives would be no array-header code.
uint32_t array_header_check(const ArrayHeaderArguments* arguments);

// Writes the array header just allocated at `header` (24 bytes) and takes
// the next serial number; returns its tagged word.
lisp::lispval array_header_initialise(uint32_t header, const ArrayHeaderArguments* arguments,
                                      lisp::lispval nil);
}

namespace lisp::array_error {
inline constexpr uint32_t kWithDatum = 0x100;  // in inv_s_aref_store's result
inline constexpr uint32_t kIndexOutOfRange = 13;
inline constexpr uint32_t kNotArray = 14;            // with the object
inline constexpr uint32_t kSubscriptNotFixnum = 16;  // with it
inline constexpr uint32_t kWrongSubscriptCount = 18;
inline constexpr uint32_t kWrongKind = 21;
inline constexpr uint32_t kNoArguments = 55;  // with nil
}  // namespace lisp::array_error
