// The native halves of rs_bitop and rs_bit_equal: what the two bit-vector
// routines read and write, called from their assembly inside a foreign-call
// record. None of them allocates or calls Lisp.
//
// Both bit-vector layouts are read: a vector type code whose bits 0x70 are
// all set (112 to 127, such as 118) keeps its length in bits as the fixnum
// after the header and its bits from the word after that; any other vector
// type code (96 to 111, such as 97) keeps the length in header bits 8-31
// and its bits from the word after the header. Bits go 32 at a time in
// little-endian word order. Anything but a vector (type codes 96 to 127) is
// refused, so that no word outside an object is read or written.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// rs_bitop's arguments as the caller laid them out: the home slots of a and
// b, then the result vector (or nil) and the fixnum operation.
struct BitopArguments {
  lisp::lispval a;
  lisp::lispval b;
  lisp::lispval result;
  lisp::lispval operation;
};
static_assert(sizeof(BitopArguments) == 16);  // four words upward from home slot 1

// Before anything is allocated: kBitopRefused (a or b not a vector, b of
// another length, a result vector shorter than a); kBitopResultGiven; or the
// type code of the result to make (low half) with its length in bits as a
// fixnum (high half).
uint64_t bitop_plan(const BitopArguments* arguments, lisp::lispval nil);

// Stores op(a[i], b[i]) into every word i of the result that a's length
// reaches (b's words read as 0 when b is nil); operation 5 and numbers
// outside 4..15 store nothing. Returns the result.
lisp::lispval bitop_apply(const BitopArguments* arguments, lisp::lispval result, lisp::lispval nil);

// 1 when a and b are vectors of the same length with the same bits, else 0.
uint32_t bit_vectors_equal(lisp::lispval a, lisp::lispval b);

// The routines (Lisp register conventions).
void rs_bitop();
void rs_bit_equal();
}

namespace lisp::bitop {
inline constexpr uint32_t kBitopRefused = 0;
inline constexpr uint32_t kBitopResultGiven = 1;
inline constexpr uint8_t kFixnumLengthBitVector = 118;
inline constexpr uint8_t kHeaderLengthBitVector = 97;
}  // namespace lisp::bitop
