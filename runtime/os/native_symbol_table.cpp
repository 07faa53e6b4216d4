// Loading the native symbol table from the reserved area of this library.

#include "runtime/os/native_symbol_table.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "runtime/load/startup.h"

namespace {

using lisp::os::NativeSymbolEntry;
using lisp::os::NativeSymbolTableHeader;

// The bytes of the reserved area, which the build rewrote after the link:
// the compiler must not read them from the initialiser it saw.
const uint8_t* heldTable();

// True when `name` is loaded and is the library this code is in.
bool namesThisLibrary(const char* name) {
  if (!name) return false;
  void* named = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (!named) return false;
  dlclose(named);  // NOLOAD took one more reference
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&get_c_symbol_table), &info) || !info.dli_fname) return false;
  void* own = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (!own) return false;
  dlclose(own);
  return own == named;
}

// A copy of the held table when its header, entries and names are sound.
uint8_t* copyOfHeldTable() {
  const uint8_t* held = heldTable();
  NativeSymbolTableHeader header;
  std::memcpy(&header, held, sizeof header);
  if (header.magic != lisp::os::kNativeSymbolTableMagic) return nullptr;
  const uint64_t entriesEnd = sizeof header + uint64_t{header.count} * sizeof(NativeSymbolEntry);
  if (header.totalBytes > lisp::os::kNativeSymbolTableRoom || entriesEnd >= header.totalBytes)
    return nullptr;
  auto* copy = static_cast<uint8_t*>(std::malloc(header.totalBytes));
  if (!copy) return nullptr;
  std::memcpy(copy, held, header.totalBytes);
  // The name area must end with a NUL, so that every name in it ends.
  if (copy[header.totalBytes - 1] != 0) {
    std::free(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

// The reserved area: initialised, so that it has room in the library file for
// the build to fill; the fill script finds it by this name.
extern "C" __attribute__((used, aligned(8))) const uint8_t
    vxm_native_symbol_table[lisp::os::kNativeSymbolTableRoom] = {1};

namespace {

const uint8_t* heldTable() {
  uintptr_t address = reinterpret_cast<uintptr_t>(vxm_native_symbol_table);
  asm("" : "+r"(address));  // hides where the pointer came from
  return reinterpret_cast<const uint8_t*>(address);
}

}  // namespace

extern "C" {

uint32_t* get_c_symbol_table(uint32_t* table) {
  if (table) {
    std::free(reinterpret_cast<uint8_t*>(table) - offsetof(NativeSymbolTableHeader, count));
    return nullptr;
  }
  if (!namesThisLibrary(lisp_shared_library_name)) return nullptr;
  uint8_t* block = copyOfHeldTable();
  if (!block) return nullptr;
  NativeSymbolTableHeader header;
  std::memcpy(&header, block, sizeof header);
  auto* entries = reinterpret_cast<NativeSymbolEntry*>(block + sizeof header);
  const uint32_t namesStart = sizeof header + header.count * sizeof(NativeSymbolEntry);
  const char* names = reinterpret_cast<const char*>(block + namesStart);
  const uint32_t namesBytes = header.totalBytes - namesStart;

  const NativeSymbolEntry* self = nullptr;
  for (uint32_t i = 0; i < header.count; ++i) {
    if (entries[i].name >= namesBytes) {
      std::free(block);
      return nullptr;
    }
    const char* name = names + entries[i].name;
    if (!self && (std::strcmp(name, "_get_c_symbol_table") == 0 ||
                  std::strcmp(name, "get_c_symbol_table") == 0))
      self = &entries[i];
  }
  if (!self) {
    std::free(block);
    return nullptr;
  }
  const uint32_t displacement =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&get_c_symbol_table)) - self->value;
  for (uint32_t i = 0; i < header.count; ++i) {
    entries[i].value += displacement;
    entries[i].name = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(names + entries[i].name));
  }
  return reinterpret_cast<uint32_t*>(block + offsetof(NativeSymbolTableHeader, count));
}

}  // extern "C"
