// Saving the running world from Lisp code, and leaving it: the native halves
// of the runtime routines dumplisp and lispexit (startup_routines.S).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace startup::dump {

// dodump's result when code jettisoning refuses the dump.
inline constexpr int kDumpRefusedByCodeFile = 13;
// The longest file name dumplisp accepts, its terminating zero included.
inline constexpr uint32_t kMaxDumpNameBytes = 4096;

}  // namespace startup::dump

extern "C" {
// The dump itself: 13 when jc_dumpcheck refuses, else pre_dump,
// save_image_file, post_dump and the save's result (0, 3, 4 or 11).
int dodump(const char* name, uint32_t unused1, uint32_t unused2);
void pre_dump();
void post_dump();

// dumplisp's native half: `name` is the Lisp integer (fixnum or bignum)
// holding the address of a zero-terminated file name. A name address of 0,
// or one whose bytes cannot be read up to a zero within kMaxDumpNameBytes,
// gives 4 before anything is touched; otherwise a scavenge, then dodump.
int dumplisp_native(lisp::lispval name);

// lispexit's native half: the string file closed when open, lisp_pre_exit,
// then lisp_exit(status).
[[noreturn]] void lispexit_native(int32_t status);

// The signal bookkeeping around a dump and before exit: nothing to do here.
void save_signals_for_dumplisp();
void reset_signals_after_dumplisp();
void block_all_signals();
int unblock_all_signals(int how);
void lisp_pre_exit();

// set_boot_mode's native half: bootmode := mode; mode 0 also drops the
// symbol table (oblist and its global word become nil).
void set_boot_mode_native(int32_t mode);

// get_pure_string's and write_pure_string's native halves. `count`
// characters of the string are used; a count below 0 or beyond the string's
// length gives nil and touches nothing.
lisp::lispval get_pure_string_native(lisp::lispval string, int32_t count);
lisp::lispval write_pure_string_native(lisp::lispval string, lisp::lispval flag, int32_t count);
}
