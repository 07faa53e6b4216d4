// The error numbers a native call leaves behind, as Lisp code reads them.
#pragma once

#include <cstdint>

extern "C" {
// The calling thread's errno in the numbering Lisp code expects (the
// platform C runtime's); 0 when no error is noted.
int32_t errno_value();
// Clears the calling thread's errno before a native call.
void clear_errno_value();
// The calling thread's last system error code; 0 when errno is 0.
uint32_t last_error_value();
}
