// Shared libraries and their symbols for Lisp code: loading and freeing,
// looking up names, the modules' file names, the libraries linked with the
// runtime, and the texts of system error codes. Handles are the dynamic
// linker's; the null handle names the executable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The library's handle with cl_error 0, or none with cl_error (the system
// error × 4). A null name gives the executable's handle.
uint32_t sy_loadlibrary(const char* name);
// Releases one load of the library: 1, or 0 when the handle names no loaded
// module.
uint32_t sy_freelibrary(uint32_t handle);
// The address of `name` in the module (0: the executable), or 0; 0 too for
// a handle that names no loaded module. A name below 0x10000 is an ordinal,
// which ELF modules do not have: 0.
uint32_t sy_findsym(uint32_t handle, const char* name);
// The handle of an already loaded module (null name: the executable), or 0;
// it takes no load of its own.
uint32_t sy_getmodulehandle(const char* name);
// 0: the null handle names the executable.
void* sy_getproghandle();
// The module's file name (0: the executable) into the Lisp text vector, cut
// to its length; the vector, or nil when there is no such module.
lisp::lispval sy_getmodulefilename(lisp::lispval string, uint32_t module);

// The names of the entries of lisp_linked_shared_libraries in turn; none
// after the last.
const char* sy_find_first_shared_library();
const char* sy_find_next_shared_library();
// 4 when an entry of that name has a non-zero flag, else 0.
int32_t sy_system_shared_library_p(const char* name);

// The text of the system error code in a block of the C heap (the caller
// frees it), or none.
char* sy_winapi_error_to_string(int32_t code);
}

namespace lisp::os {
// An entry of lisp_linked_shared_libraries.
struct LinkedLibrary {
  const char* name;
  uint32_t flags;
};
static_assert(offsetof(LinkedLibrary, flags) == 4);
static_assert(sizeof(LinkedLibrary) == 8);
// What a failed load reports (decision: one code, the system's "module not
// found", whatever the dynamic linker's reason).
inline constexpr uint32_t kLoadFailedError = 126;
}  // namespace lisp::os
