// Services of the Lisp world that native code reaches through functions the
// Lisp world installs: finding or making a package by name, and formatted
// output. The runtime globals table names no word for either, so each has a
// word of its own below (the one place that fixes them); the Lisp world
// stores there a symbol whose function does the work. Also the runtime's
// cons sharing.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::lisp_world {

// Decision: runtime global 43 (nil-0xc1) holds the symbol of the package
// function (package name string -> the package of that name, made when
// absent), next to the intern function in global 42; runtime global 45
// (nil-0xc9) holds the symbol of the formatted-output function (control
// string -> anything). Neither position is used by any other part of the
// runtime or by compiled code.
inline constexpr uint32_t kPackageFunctionGlobal = 43;
inline constexpr uint32_t kFormattedOutputGlobal = 45;

// Whether runtime global n holds a symbol whose function is defined (not
// the initial undefined function of runtime global 306).
bool globalFunctionDefined(uint32_t n);

// Hands the Lisp string to the formatted-output function; false, with
// nothing called, while the Lisp world has not provided one.
bool internal_lisp_format(lispval controlString);

}  // namespace lisp::lisp_world

extern "C" {
// The package of the name (a Lisp string), made when absent; 0 while the
// Lisp world has not provided its package function.
lisp::lispval fpackage(lisp::lispval name);
// An equal list whose conses may be shared.
lisp::lispval share_conses(lisp::lispval list);

// The function of the symbol called through the stub at nil with `count`
// (0 to 2) of the two arguments (pass nil for those not used); its first
// value (loader_entries.S).
lisp::lispval _call_symbol_function(lisp::lispval symbol, uint32_t count, lisp::lispval first,
                                    lisp::lispval second);
}
