// The function-group fixups (function_groups.S): runtime routines with the
// Lisp register conventions, and the two native entries the native fasl
// loader calls (declared in fasl_loader.h).
#pragma once

extern "C" {
void fixup_function_specs();          // eax = list of (symbol . name form)
void fixup_function_specs_partial();  // eax = function
void newfgroup();                     // eax = function group
void fix_fwrap_func();                // eax = (first (symbol . wrap data) ...)
}
