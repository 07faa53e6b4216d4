// How the file calls report failure: the numbering Lisp code expects, kept
// in cl_error (as a fixnum) and in the thread's error words.
#pragma once

#include <cstdint>

namespace lisp::fio {

// A call of the C-runtime path failed with Linux's `linuxErrno`: errno keeps
// it (errno_value translates it), the thread's runtime errno word and
// cl_error take the C runtime's number.
void noteRuntimeFailure(int linuxErrno);
// A call through a system file handle failed: the thread's last system error
// and cl_error take the system error code.
void noteSystemFailure(int linuxErrno);
// The same with a system error code of the runtime's own choosing.
void noteSystemError(uint32_t code);
// A call failed with an error number that already is the C runtime's (the
// hooks report those).
void noteRuntimeError(int32_t runtimeErrno);

// Error numbers the file calls report as their own.
inline constexpr int32_t kRuntimeBadDescriptor = 9;  // EBADF
inline constexpr int32_t kRuntimeInvalid = 22;       // EINVAL

}  // namespace lisp::fio

#include "runtime/rs/lisp_value.h"

// The Lisp words the file calls return.
extern "C" {
extern lisp::lispval nilval;
extern lisp::lispval tval;
}

namespace lisp::fio {
// Sets errno and the thread's runtime errno word, leaving cl_error alone
// (for calls whose callers read errno).
void noteErrno(int linuxErrno);
}  // namespace lisp::fio
