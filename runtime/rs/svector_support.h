// The native halves of make_svector and the shrinking routines: what can be
// decided and written without allocating, called from their assembly inside
// a foreign-call record. None of them allocates or calls Lisp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// make_svector's arguments as the caller laid them out: home slots of L and
// X, then T, F and S on the stack.
struct SvectorArguments {
  lisp::lispval length;
  lisp::lispval initial;
  lisp::lispval type;
  lisp::lispval fill;
  lisp::lispval isStatic;
};
static_assert(sizeof(SvectorArguments) == 20);  // five words upward from home slot 1

// Before anything is allocated: the runtime error code make_svector signals
// (low half), or 0 with the object's size in bytes, without prefix, in the
// high half.
uint64_t svector_plan(const SvectorArguments* arguments, lisp::lispval nil);

// Header, length word and elements of the vector whose header lies at
// `header`, just allocated for the plan above; returns its tagged word.
lisp::lispval svector_initialise(uint32_t header, const SvectorArguments* arguments,
                                 lisp::lispval nil);

// shrink_svector and shrink_lvector on (v, L) at `arguments`: 0 when done
// (v shortened or left as it is), else the runtime error code, v unchanged.
uint32_t svector_shrink(const lisp::lispval* arguments, lisp::lispval nil);
uint32_t lvector_shrink(const lisp::lispval* arguments, lisp::lispval nil);
}

namespace lisp::svector_error {
inline constexpr uint32_t kBadLength = 13;        // negative length
inline constexpr uint32_t kCannotShrink = 14;     // with the vector
inline constexpr uint32_t kLengthNotFixnum = 16;  // with the new length
inline constexpr uint32_t kBadInitial = 21;       // with the initial element
inline constexpr uint32_t kBadType = 22;
inline constexpr uint32_t kStaticFailed = 31;  // with the byte count
inline constexpr uint32_t kTooLong = 56;       // with the length
}  // namespace lisp::svector_error
