// The start-up module's small services: the host's main-program arguments, a
// message that closes itself, file mapping for Lisp code, symbol and entry
// look-ups, emulated-signal bookkeeping, the heap release around foreign
// calls, debug printers and a few file and path helpers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/rs/lisp_value.h"

namespace lisp::small_services {
// The runtime global (nil-0x199) holding the symbol whose value is the
// vector of call addresses that lisp_call_address reads.
inline constexpr uint32_t kCallAddressTableGlobal = 97;

// The symbol's value cell for the bindings at element `bindingIndex` of
// value vectors (the global cell when the vector has no binding there).
lisp::lispval* symbolLocativeAt(uint32_t bindingIndex, lisp::lispval symbol);
// The symbol's value cell in the thread (a thread record's word, or 0 for
// none): its binding's cell when it has one, else the global value cell.
lisp::lispval* threadSymbolLocative(lisp::lispval thread, lisp::lispval symbol);
// The value in that cell.
lisp::lispval threadSymbolValue(lisp::lispval thread, lisp::lispval symbol);
}  // namespace lisp::small_services

extern "C" {

// ---- main-program arguments and start-up hooks of a host ----
// Word 0 module instance, 1 zero, 2 an empty command line, 3 console window,
// 4 splash window (from the host record). Both return the host record.
uint32_t* GetWinMainArgs(uint32_t* record);
uint32_t* GetWinMainArgs2(uint32_t* record, int words);
int VXMStartupFetch();
int VXMStartupQuery();
void VXMStartupShow();

// Shows the two lines under the class name for `seconds`, or until Escape
// arrives on a terminal; returns 0.
int sy_mbwto(const char* className, const char* firstLine, const char* secondLine, int seconds);

// ---- file mapping ----
// Modes: 0 read-only, 1 for writing, 2 read and write. The mapping handle is
// an opaque record that lisp_unmap_file closes.
void* lisp_map_file(uint32_t pseudofd, uint32_t size, int mode, void** mappingHandle,
                    uint32_t offsetHigh, uint32_t offsetLow);
int lisp_sync_mem(void* view);
int lisp_unmap_file(void* view, uint32_t unused, void* mappingHandle);

// ---- symbols and entry points ----
// Address of the symbol's value cell for the calling thread.
lisp::lispval* symbol_locative(lisp::lispval symbol);
// Entry `index` of the Lisp-side table of call addresses, else the address
// of lisp_missing_callback.
uint32_t lisp_call_address(int32_t index);

// ---- emulated signals ----
inline constexpr int kSignalSlots = 10;
extern int lsignals[kSignalSlots];
void setsig(int signal);
void setsigseen(int signal);
using lisp_signal_handler = void (*)(int);
lisp_signal_handler lisp_signal(int signal, lisp_signal_handler handler);
// The warning for `unanswered` interrupts (1 to 4) the thread cannot yet take.
void urgentwarn(int unanswered);

// ---- heap release around foreign calls ----
void vxm_wrap_release_heap(int argument);
void vxm_wrap_reacquire_heap();

// ---- Lisp-side output ----
// Hands the control text to Lisp's formatted output as a Lisp string; until
// the Lisp world provides that, prints it on the console with the
// directives ~% (a newline) and ~~ (a tilde) applied.
void lisp_format(const char* text);

// ---- Lisp strings and debug printers ----
inline constexpr size_t kStrbufBytes = 16384;
extern char strbuf[kStrbufBytes];
// The string as UTF-8 in strbuf, zero-terminated; the bytes written. A string
// that does not fit is cut at a character boundary.
int strtobuf(lisp::lispval string);
void symprint(lisp::lispval symbol, std::FILE* stream);
void fstrpr(lisp::lispval string, std::FILE* stream);
void strsizeprt(const uint16_t* characters, int count, std::FILE* stream);
void vxmputc(int character, std::FILE* stream);

// ---- files and paths ----
// Writes in chunks of at most 8192 bytes; the count, 0 for a negative count,
// or -1 after "xwrite: ..." on standard error.
ssize_t xwrite(int fd, const void* buffer, ssize_t count);
extern char initialwd[512];
extern int initialpwd_fail;
extern int pgmname_init;
void initpgmname();
int cl_dir_does_not_exist(const char* path);
int cl_file_does_not_exist(const char* path);
// Searches the ":"-separated list in `variable` (or the default list) for
// `name`; 0 with the path in `out` (512 bytes), or -1.
int find_file_using_pathstring(const char* name, char* out, const char* variable);

// ---- reachable by name only ----
void iefbr14();
int sy_f484();
extern int32_t tls_dummy_index;
uint32_t get_tls_dummy();
}
