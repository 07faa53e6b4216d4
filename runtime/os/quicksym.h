// Looking a native function up by name in a loaded module.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The address of `name` (a Lisp string) in the module `handle` (a dlopen
// handle), or 0 when it is not there or the name is no string, holds a NUL
// or is longer than the name buffer once made UTF-8.
uint32_t sy_quicksym(uint32_t handle, lisp::lispval name);
}
