// The small services for Lisp code that answer at once: the shell stand-in,
// the string file, the case-conversion flag, terminal characters, the
// binary search over sorted words, the trampoline's branch byte, 8-bit
// input, accelerator tables and the filtered message wait.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_value.h"

extern "C" {
// Running a command through these is not provided: fixnum -1 / -1. Child
// processes are started through the child-process services.
lisp::lispval sy_shell(const char* command);
int32_t sy_shell_from_c(const char* command);
// open_str_file.
lisp::lispval sy_open_str_file(const char* path);
// Sets mixed_case_convert (1 for any argument but nil); returns the argument.
lisp::lispval sy_set_mixed_convert(lisp::lispval flag);
// x.
lisp::lispval sy_purify_codevec(lisp::lispval x);
// 0 and -1: no terminal characters are kept; the arguments are not looked at.
int32_t sy_get_term_chars(int32_t which);
int32_t sy_set_term_chars(int32_t which, uint32_t characters, int32_t first, int32_t count,
                          uint32_t flags);
// 4: input is 8-bit.
uint32_t sy_8bitinput();

// The index of `key` among `count` ascending words, or -1: at once when the
// count is 0 or less or the key lies outside the first and last word.
int32_t b_search(int32_t key, const int32_t* words, int32_t count);

// Sets the branch byte of the trampoline stub whose address the stub global
// holds: 0x72 (jump if below); nothing when no stub is there.
void ms_fixtramp();

// Accelerator tables: a copy of `count` six-byte entries, and its release.
KORVANE_EXPORT uint32_t vxm_CreateAcceleratorTable(const void* entries, int32_t count);
KORVANE_EXPORT int32_t vxm_DestroyAcceleratorTable(uint32_t table);
// Waits for a message for `window` (0: any) numbered first..last (both 0:
// any) into `message`: 0 for the quit message, 1 otherwise, -1 for a window
// that is not alive.
int32_t GetMessageWrapper(void* message, uint32_t window, uint32_t first, uint32_t last);
}

namespace lisp::os {
inline constexpr uint8_t kBranchIfBelow = 0x72;
// Decision: the address of the trampoline stub's branch byte is held in
// runtime global 341 (0: no stub).
inline constexpr uint32_t kBranchStubGlobal = 341;
inline constexpr int32_t kBranchStubOffset = -0x15 - 4 * int32_t{kBranchStubGlobal};
inline constexpr int32_t kAcceleratorEntryBytes = 6;
}  // namespace lisp::os
