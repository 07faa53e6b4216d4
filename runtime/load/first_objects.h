// The first objects of an empty Lisp world (the build from scratch only).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace startup::first_objects {

inline constexpr uint32_t kRsVersion = 31;
inline constexpr uint32_t kFaslVersion = 61;

// Global words (offsets from nil) that receive start-up objects.
constexpr int32_t globalMinus(int32_t n) {
  return -0x15 - 4 * n;
}
inline constexpr int32_t kLoadXrefInfo = globalMinus(120);
inline constexpr int32_t kLoadSourceFileInfo = globalMinus(121);
inline constexpr int32_t kLoadLocalNamesInfo = globalMinus(123);
inline constexpr int32_t kLoadSourceDebugInfo = globalMinus(124);
inline constexpr int32_t kEncapsulationCount = globalMinus(265);
inline constexpr int32_t kSymbolTable = globalMinus(303);
inline constexpr int32_t kFloatConstants = -0x2fd;  // set_glob_float_constants' block

// On a heap that GsInit has laid out: t, named `name` (one character), in
// its place in the nil block, its word published in tval.
void placeT(const char* name);

}  // namespace startup::first_objects

extern "C" {
// On a heap that GsInit has just laid out: the unbound marker's name, the
// initial function object, t, the symbol table, the float constants, the
// start-up symbols and the version words.
void getstorage();
}
