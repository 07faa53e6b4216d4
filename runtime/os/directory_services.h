// Directories and disk space for Lisp code: the working directory, making and
// removing directories, file attributes and the space on a file system.
// Services that fail leave the error in cl_error (errno or system error, × 4).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The working directory (computewd, `drive` 0) into the Lisp text vector;
// the vector, or nil when it cannot be read or does not fit.
lisp::lispval syspwd(lisp::lispval string, int32_t drive);
// Changes the working directory: 1, or 0 with the system error set.
uint32_t syssetpwd(const char* path);
// Changes the working directory: nil, or fixnum -1 with cl_error.
lisp::lispval sy_chdir(const char* path);
// The name in its directory-to-make form, then mkdir / rmdir: fixnum 0, or
// fixnum -1 with cl_error.
lisp::lispval sy_mkdir(const char* path, lisp::lispval mode);
lisp::lispval sy_rmdir(const char* path);
// Total bytes, bytes free to the caller, total free bytes of the file system
// that holds `path`: 0, or -1 with cl_error.
int32_t sy_statfs(const char* path, uint64_t* total, uint64_t* freeToCaller, uint64_t* totalFree);
// The attribute bits of the file, or -1 with cl_error.
int32_t sy_file_attributes(const char* path);
}

namespace lisp::os {
// Attribute bits (decision: the ones a Linux file can show).
inline constexpr int32_t kAttributeReadOnly = 0x1;  // no write permission for this process
inline constexpr int32_t kAttributeHidden = 0x2;    // the base name begins with "."
inline constexpr int32_t kAttributeDirectory = 0x10;
inline constexpr int32_t kAttributeNormal = 0x80;  // none of the others
}  // namespace lisp::os
