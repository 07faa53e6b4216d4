// The native symbol table: every native function and variable of the runtime
// library with its address, so that Lisp code and images find them by name.
// The build fills it into the library after linking (fill_native_symbol_table.py
// reads the library's own symbols), so the addresses listed are the final ones;
// get_c_symbol_table loads it at run time.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"

namespace lisp::os {

inline constexpr uint32_t kNativeSymbolTableMagic = 15731467;  // bytes 0B 0B F0 00

// The table as the library holds it: this header, `count` entries, then the
// name area of NUL-terminated names.
struct NativeSymbolTableHeader {
  uint32_t magic;
  uint32_t totalBytes;  // header, entries and name area
  uint32_t count;
};
static_assert(sizeof(NativeSymbolTableHeader) == 12);

struct NativeSymbolEntry {
  uint32_t value;  // held: offset from the start of the code section; loaded: the address
  uint32_t name;   // held: offset into the name area; loaded: the name's address
};
static_assert(sizeof(NativeSymbolEntry) == 8);

// Room reserved in the library for the table; the build fails when the table
// outgrows it.
inline constexpr uint32_t kNativeSymbolTableRoom = 256 * 1024;

}  // namespace lisp::os

extern "C" {
// With a loaded table (the pointer to its count word): frees it and returns
// null. Without: loads the runtime library's table, with every value turned
// into an address and every name offset into a pointer, and returns the
// pointer to its count word; null when the library named by
// lisp_shared_library_name is not this one or the table is missing or bad.
KORVANE_EXPORT uint32_t* get_c_symbol_table(uint32_t* table);
}
