// The native object printer: any Lisp value in a short form, from native
// code (a debugger, a crash path), bounded by a print depth and length.
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/rs/lisp_value.h"

extern "C" {

// Lists, structures and entry vectors this deep print as "#" (default 5).
extern int32_t lisp_print_level;
// Elements of a list, slots of a structure, arguments of a frame printed at
// most (default 10).
extern int32_t lisp_print_length;

// A native name demangler a host may install: the hook returns a new name
// or 0; the release hook frees what the hook returned.
using lisp_demangle_routine = char* (*)(const char* name);
using lisp_demangle_release_routine = void (*)(char* name);
extern lisp_demangle_routine lisp_demangle_hook;
extern lisp_demangle_release_routine lisp_demangle_deallocate_hook;
// 1 while the last name handed out came from the hook.
extern int32_t lisp_demangled;
const char* lisp_demangle_name(const char* name);
void lisp_deallocate_demangled_name(const char* name);

// The value on standard output, then "\n", flushed.
void lisp_output_object(lisp::lispval value);
// `level` is the nesting depth; `position` is passed along to the list and
// structure forms and does not change what is printed.
void lisp_output_object_aux(lisp::lispval value, FILE* file, int32_t level, int32_t position);
void lisp_output_list(lisp::lispval list, FILE* file, int32_t level, int32_t position);
// A string of 16-bit characters (types 117 and 101), in double quotes when
// `quoted`; anything else prints as a bad object.
void lisp_output_string(lisp::lispval string, FILE* file, int32_t quoted);
// The characters of a string of 16-bit characters, without quotes.
void lisp_output_unicode_string(lisp::lispval string, FILE* file);
void lisp_output_symbol(lisp::lispval symbol, FILE* file);
void lisp_output_functon(lisp::lispval function, FILE* file);
void lisp_output_standard_instance(lisp::lispval instance, FILE* file);
void lisp_output_struct(lisp::lispval structure, FILE* file, int32_t level, int32_t position);
void lisp_output_cstruct(lisp::lispval entryVector, FILE* file, int32_t level);
}
