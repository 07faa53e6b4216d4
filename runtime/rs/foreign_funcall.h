// The general foreign call ff_funcall: how its (description, value) pairs
// become native argument words and how its result description is read.
//
// Description form (this runtime's choice; the type symbols live in the
// Lisp image and are held in the global words below):
// - an argument description is one of the type symbols, or nil (a native
//   word, as for an integer), or a conversion list (F TYPE EXTRA): the
//   function of the symbol F is called with the operation symbol for TYPE,
//   TYPE, EXTRA and the value, and its result is passed as TYPE says;
// - the result description is a list whose first element is a type symbol;
//   anything else (the empty list among them) gives nil.
// The integer types and nil pass the native word the value stands for
// (foreign_address_to_mi's rules); single- and double-float pass the value
// of a single-float, double-float or fixnum in that format (one word, two
// words). A value that cannot be passed is runtime error 54 with it.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::foreign_funcall {

// Global words (offsets from nil) holding the type symbols.
inline constexpr int32_t kSignedType = -0x241;    // 32-bit signed integer
inline constexpr int32_t kUnsignedType = -0x245;  // 32-bit unsigned integer
inline constexpr int32_t kSingleType = -0x249;    // single-float
inline constexpr int32_t kDoubleType = -0x24d;    // double-float
// Global words holding the operation symbol a conversion function gets, by
// the type its result is passed as.
inline constexpr int32_t kWordConversion = -0x239;
inline constexpr int32_t kSingleConversion = -0x28d;
inline constexpr int32_t kDoubleConversion = -0x31d;
// With entry flag 0x200: the symbols whose functions test a plain value and
// convert it (its description becomes nil).
inline constexpr int32_t kHookTest = -0x32d;
inline constexpr int32_t kHookConvert = -0x489;

// What ff_result_kind answers.
enum class ResultKind : uint32_t { None, Signed, Unsigned, Single, Double };

// ff_argument_words answers for a pair that cannot be passed.
inline constexpr int32_t kValueRefused = 0;         // error 54 with the value
inline constexpr int32_t kDescriptionRefused = -1;  // error 54 with the description
inline constexpr uint32_t kRefusedArgument = 54;

// Most argument bytes an entry's word 5 may ask for; more is taken as unset
// and the pairs' own size is used.
inline constexpr uint32_t kMostArgumentBytes = 0x10000;
// Most (description, value) pairs ff_apply lays out.
inline constexpr uint32_t kMostApplyPairs = 1024;

}  // namespace lisp::foreign_funcall

extern "C" {
// Runtime routines (Lisp register conventions).
void ff_funcall();  // eax = entry-vec, then (description, value) pairs, result description
void ff_apply();    // eax = entry-vec, edx = result description, descriptions, values

// The native words the pair takes (1 or 2), or kValueRefused /
// kDescriptionRefused. Reads only.
int32_t ff_argument_words(lisp::lispval description, lisp::lispval value);
// Stores `pairs` checked pairs into the native area from its first word.
// The pairs lie on the stack downward: the first description at
// firstPair[0], its value at firstPair[-1], the next description at
// firstPair[-2], and so on.
void ff_store_arguments(uint32_t* area, const uint32_t* firstPair, uint32_t pairs);
// The ResultKind of a result description.
uint32_t ff_result_kind(lisp::lispval resultDescription);
}
