// Address-space reservation and committing, in the heaps' terms.
//
// A reservation takes address space without memory behind it; committing
// makes a part of it readable, writable and executable; decommitting gives
// the memory back and leaves the addresses reserved; releasing gives the
// addresses back. Tests can make any operation fail through a fault hook.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Reserves `bytes` at exactly `wanted` without replacing anything there, or
// anywhere when `wanted` is 0. Returns the address, or 0 on failure.
uintptr_t reserveAddressSpace(uintptr_t wanted, size_t bytes);
bool commitMemory(uintptr_t address, size_t bytes);
bool decommitMemory(uintptr_t address, size_t bytes);
bool releaseAddressSpace(uintptr_t address, size_t bytes);

// Bytes of free address space from `address` up to the next mapping (0 when
// `address` itself is mapped), as /proc/self/maps shows it.
size_t freeBytesAt(uintptr_t address);
// The lowest address at or above `lowest`, a multiple of `alignment` (a power
// of two), where `bytes` of address space are free; 0 when there is none.
uintptr_t findFreeRange(uintptr_t lowest, size_t bytes, size_t alignment);

// Maps `bytes` of the open file `fd` from `fileOffset` copy-on-write (read,
// write, execute) exactly at `address`, over a reservation the caller owns
// there. Refuses a range that reaches past the file's end (touching it would
// fault later) and an offset that is not page-aligned. The descriptor may be
// closed afterwards only if the caller does not need the file kept open.
bool mapFileAt(uintptr_t address, size_t bytes, int fd, uint64_t fileOffset);

// Copies `count` bytes through the kernel, which checks both ranges: false,
// without a fault, when either is not wholly mapped with the access the
// copy needs (the destination may then hold part of the bytes).
bool copyChecked(void* into, const void* from, size_t count);
// Makes what copyChecked needs from the system ahead of the copies, while
// descriptors are to be had; false when it could not.
bool prepareCheckedCopies();

enum class MemoryOperation { Reserve, Commit, Decommit, Release, MapFile };
// Returning true makes the operation fail without touching the system.
using MemoryFaultHook = bool (*)(MemoryOperation operation, uintptr_t address, size_t bytes);
void setMemoryFaultHook(MemoryFaultHook hook);  // nullptr: no faults

}  // namespace platform
