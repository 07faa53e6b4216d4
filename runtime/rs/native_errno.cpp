// The exported data word the semi-direct tails store a captured error number
// in (raw). Its ELF name is lisp_errno: an export named errno would clash
// with the C library's.
#include "runtime/rs/exports.h"
#include "runtime/rs/native_calls.h"

KORVANE_EXPORT int32_t lisp_errno = 0;
