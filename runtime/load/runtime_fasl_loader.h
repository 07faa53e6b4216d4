// The runtime fasl loader: load_fasl and load_fasl_name for Lisp code, the
// start-up entry start_fasl, and the small routines the loader names. The
// item actions are shared with the native loader (native_fasl_loader.cpp);
// this loader reads a descriptor through its own input stream and keeps its
// stack in cells on the thread record.
#pragma once

#include <cstdint>

#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_input_stream.h"
#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

// One call's arguments as the item actions use them.
struct RuntimeLoad {
  uint32_t sectionWord;  // 0: load everything; else the table-of-contents word of the section
  long basePosition;     // where the fasl begins in the file
  bool trace;
};

// Section keys: the symbols in these globals select words 2, 3 and 4.
inline constexpr uint32_t kSectionKeyGlobals[3] = {120, 121, 124};
inline constexpr uint32_t kFirstSectionWord = 2;
// Begin symchk in the runtime loader tests these globals only.
inline constexpr uint32_t kFirstRuntimeSymchkGlobal = 121;
inline constexpr uint32_t kPackageCode = 20;
inline constexpr uint32_t kSymbolMakerGlobal = 42;
inline constexpr uint32_t kPackageIndependenceGlobal = 263;
inline constexpr uint32_t kFillValueGlobal = 2;

// A native address given to load_fasl_name or scan_fasl_name: a fixnum or
// a non-negative bignum of one or two digits; 0 for anything else.
uint32_t nativeAddressOf(lispval word);

// A code vector of `size` bytes read raw from the reader (never swapped);
// the pure kind when the cache flag is not nil. The hash is not used.
lispval cached_or_heap_codevec(uint32_t size, uint32_t hash, lispval cacheFlag, FaslReader* reader,
                               bool swapped);

namespace messages {
inline constexpr char kTraceRuntimeCode[] = "code: %2d @ %d %s";
inline constexpr char kTraceRuntimeDepth[] = "] (%d)\n";
inline constexpr char kTraceTimestamp[] = "timestamp: %d";
inline constexpr char kTraceRuntimeList[] = "list of size size: %d\n";
inline constexpr char kTraceRuntimeListStar[] = "list* of size size: %d\n";
inline constexpr char kTraceRuntimeIcsFlags[] = "ICS flags 0x%02x";
inline constexpr char kRuntimeNewPackageInBootMode[] = "Can't have a new package ";
inline constexpr char kRuntimeVersionMismatch[] = "Mismatched fasl version: %s";
inline constexpr char kRecompileRecommended[] = "...: Recompile recommended.\n";
inline constexpr char kCouldNotStartBuild[] = "Could not start lisp build!\n";
}  // namespace messages

}  // namespace lisp::fasl

extern "C" {

// ---- the loader's bodies (called from the runtime routines) ----
// Loads from the runtime-library descriptor; a loader result 0 to 9. The
// cell is a word the collector updates (the routine's home slot).
int runtime_load_fasl(int32_t descriptor, lisp::lispval* cell, lisp::lispval sectionKey,
                      lisp::lispval basePosition, lisp::lispval traceFlag, lisp::lispval thread);
// Opens the file at the native address (a fixnum or one-digit bignum) with
// cl_open, loads it and closes it; 1 when it cannot be opened.
int runtime_load_fasl_name(lisp::lispval name, lisp::lispval* cell, lisp::lispval sectionKey,
                           lisp::lispval basePosition, lisp::lispval traceFlag,
                           lisp::lispval thread);
// The start-up entry: "sys/startup" through bundfasl; ends the process with
// status 1 unless the load gives 0 or 8. Returns 0.
int start_fasl(lisp::lispval* segmentCell);

// ---- the loader's small routines ----
// A 16-bit string (type 117) of the UTF-8 bytes, converted by the mode; 0
// for a cut form.
lisp::lispval fasl_ustr_to_str(const uint8_t* bytes, uint32_t length, uint32_t mode);
// The fasl text decoder: counts when `into` is null; -1 for a cut form.
int32_t fasl_utf8_to_unicode(const uint8_t* bytes, uint32_t count, uint16_t* into);
// The runtime loader's conversion mode for (read mode, file case mode,
// class, required mode); the native loader's strcvt_mode differs in row 3.
uint32_t fasl_strcvt_mode(uint32_t readMode, uint32_t fileMode, uint32_t klass, uint32_t required);
// A simple vector twice the old table's length (30 for nil), filled with
// runtime global 2's value, the old entries copied in order. The old table
// is element `element` of the simple vector in *record, a word the
// collector updates: it is read again after the allocation.
lisp::lispval alloc_lsymtab(lisp::lispval* record, uint32_t element);
// The boot-mode table entry of this loader: nothing.
void fasl_addob(lisp::lispval name, uint32_t length, uint32_t package);

// ---- native entries into Lisp (loader_entries.S) ----
// The function of the symbol in global 42 called with (name, length,
// package); 0 when that symbol has no function.
lisp::lispval _fasl_make_symbol(lisp::lispval name, lisp::lispval length, lisp::lispval package);
// The function of the symbol in global 263 called with the package; nil
// when that symbol has no function.
lisp::lispval _fasl_package_independent(lisp::lispval package);

// ---- runtime routines (Lisp conventions; runtime_fasl_entries.S) ----
void load_fasl();
void load_fasl_name();
void scan_fasl();
void scan_fasl_name();
}
