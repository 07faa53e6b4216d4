// The error numbers a native call leaves behind, as Lisp code reads them.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"

extern "C" {
// The calling thread's errno in the numbering Lisp code expects (the
// platform C runtime's); when errno is 0, the thread's runtime errno word.
int32_t errno_value();
// Clears the calling thread's errno and both error words before a native call.
void clear_errno_value();
// The calling thread's errno as a system error code; when errno is 0, the
// thread's last system error.
uint32_t last_error_value();
}

// ---- system error codes to errno ----
// A pair of win_err_to_errno_map: a system error code and its errno.
struct win_err_to_errno_pair {
  int32_t systemError;
  int32_t errnoValue;
};
extern "C" {
// The pairs, ended by (-1, -1).
extern const win_err_to_errno_pair win_err_to_errno_map[];
// The errno of the first pair with that code; otherwise 13 for codes 19 to
// 36, 8 for codes 188 to 202, else 22.
KORVANE_EXPORT int32_t win_err_to_errno(int32_t systemError);
}
