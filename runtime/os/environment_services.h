// Environment, command line, program base name, host and user names, the home
// directory, the runtime library's name, services and locales for Lisp code.
// Texts go back to Lisp as addresses of native strings (0: none), or into a
// Lisp text vector the caller supplies, never beyond its elements.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_value.h"

extern "C" {
// The variable's value, or none.
const char* sy_environ(const char* name);
// Sets name=value on a copy that stays allocated; nil. A text without "=" or
// with an empty name changes nothing.
lisp::lispval sy_putenv(const char* text);
// Argument `index` (a fixnum) of the saved argument vector, or none for an
// index below 0, not below sv_argc, or no fixnum.
const char* sy_argv(lisp::lispval index);
// sv_argc as a fixnum.
lisp::lispval sy_argc();

// The saved program base name.
inline constexpr int kBaseNameBytes = 256;
extern char sy_bname[kBaseNameBytes];
// Copies the text into sy_bname and returns it; none returns it as it is. A
// text that does not fit with its zero changes nothing and returns none.
char* sy_set_bname(const char* text);

// The computer name into `buffer` of `size` bytes ("-unknown-" when the
// system cannot tell, cut to fit).
void win_syshost(char* buffer, int32_t size);
// The computer name into the Lisp text vector; the vector, or nil when the
// name does not fit or the object is no text vector.
lisp::lispval syshost(lisp::lispval string);
// The user's name into the vector, using at most `size` (a fixnum) of its
// elements; the size the system reported (the name and its zero) as a
// fixnum, or nil when the name does not fit or there is none.
KORVANE_EXPORT lisp::lispval get_user_name(lisp::lispval string, lisp::lispval size);

// home_location.
const char* sy_c_get_home();
// The runtime library's name, or "unknown"; clears the calling thread's
// first extra result word.
const char* sy_c_get_shared_library_name();
// Service look-up is not provided: the text "unsupported".
const char* sy_getservbyname(const char* name, const char* protocol);
// setlocale for the categories 0 all, 1 collate, 2 ctype, 3 monetary,
// 4 numeric, 5 time; none for another category.
const char* sy_setlocale(int32_t category, const char* locale);
}
