// The messages Lisp code has the runtime print before its own printing works:
// unknown command-line arguments, patch loading, early errors and plain
// diagnostic lines. Every text is in system_messages.cpp.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The warning about an unknown command-line argument; nil.
lisp::lispval sy_argerr(const char* argument);
// The patch-loading error, then lisp_exit (1).
[[noreturn]] void sy_patcherr(const char* text);
// The line that says a patch is installed; nil.
lisp::lispval sy_patchmsg(const char* name, int32_t version);
// An error before the condition system: the message (a string), the start
// of one (a list whose first element is a string) or the argument's word,
// then vxmabort.
[[noreturn]] void sy_err(lisp::lispval arglist);
// The format (or the default one for none) with the five words and a line
// end, on standard error; nil. Decision: a format with a conversion other
// than the integer and character ones (%d %i %u %x %X %o %c, with l or h,
// flags, width and precision) or %% is not used; the default one is.
lisp::lispval sy_eprintf(const char* format, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                         uint32_t e);
}

namespace lisp::os {
// Whether the format asks for nothing but integer and character conversions.
bool isWordOnlyFormat(const char* format);
}  // namespace lisp::os
