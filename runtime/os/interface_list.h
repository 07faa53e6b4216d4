// The list of network interfaces for Lisp code: those with an IPv6 address,
// each with its index and its name in wide characters.
//
// The four if_ calls of the Lisp side have the C library's names; as ELF
// names those would replace the library's, so they are built under lisp_
// names and the native symbol table lists them under the system's names
// (native_symbol_names.txt).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lisp::os {
// 0: no list; 1: interfaces with an IPv6 address, from getifaddrs.
extern int32_t interfaceListMode;
// Chooses the mode; ipc_initialize calls it.
void loadInterfaceList();
}  // namespace lisp::os

extern "C" {
struct InterfaceNameIndex {
  uint32_t index;  // 0 ends the list
  uint16_t* name;  // NUL-terminated wide characters
};
static_assert(offsetof(InterfaceNameIndex, index) == 0);
static_assert(offsetof(InterfaceNameIndex, name) == 4);
static_assert(sizeof(InterfaceNameIndex) == 8);

// Packs, while at least 4 bytes remain, each interface's index (4 bytes in
// network order) and name (NUL-terminated wide characters); stops at the end
// of the list or at a name that does not fit. Returns how many it packed, or
// the negated errno when the list cannot be had.
int32_t vxm_if_nameindex(uint8_t* buffer, int32_t size);

// The index of the interface with that name, compared without regard to
// case; 0 when none.
uint32_t lisp_if_nametoindex(const uint16_t* name);
// Copies the name of the interface into `buffer` (room for
// kInterfaceNameUnits wide characters with the NUL) and returns it; null when
// no interface has that index.
uint16_t* lisp_if_indextoname(uint32_t index, uint16_t* buffer);
// The list, ending with index 0, in one block; free with
// lisp_if_freenameindex. Null when it cannot be had.
InterfaceNameIndex* lisp_if_nameindex();
void lisp_if_freenameindex(InterfaceNameIndex* list);
}

namespace lisp::os {
// Decision: the room if_indextoname's caller provides, in wide characters.
inline constexpr size_t kInterfaceNameUnits = 256;
}  // namespace lisp::os
