// Stand-ins for Unix calls that Lisp code may name but that this runtime does
// not serve through them: each returns the value given and does nothing else.
// Those whose names belong to the C library carry internal names here (a call
// inside the library must reach the C library's own); the native symbol table
// lists them under the Unix names.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
uint32_t lisp_dlopen(const char* name, int32_t flags);   // 0
int32_t lisp_dlclose(uint32_t handle);                   // 1
uint32_t lisp_dlsym(uint32_t handle, const char* name);  // 0
int32_t lisp_lstat(const char* path, void* status);      // -1
uint32_t lisp_getuid();                                  // 0
int32_t lisp_times(void* buffer);                        // 0
void lisp_fcntl();
void lisp_sleep();
lisp::lispval sysdlerror();                                                         // nil
uint32_t sysuhd(int32_t index);                                                     // 0
uint32_t sysuname(lisp::lispval name);                                              // 0
int32_t read_object_symbols(lisp::lispval file, int32_t a, uint32_t b, int32_t c);  // 0
void c_set_nihprog();
}
