// Pseudo file descriptors: the runtime's side of the launcher's descriptor
// table (launcher/host_record.h), which it reaches through word 16 of the
// host record. Entries 4 to 4094 are the runtime's to allocate; every stream
// operation sends a descriptor outside 0 to 4095 to entry 4095, which is never
// allocated.
//
// The stream operations serve every entry that is not a console stream; the
// launcher calls them through host record words 4 to 7. Each clears the error
// word first when one is given, and reports a failure as -1 with the error in
// that word: the C runtime's errno for kind 1, socket errors for kind 2,
// system error codes for kind 6, and the runtime's own 9 (bad descriptor),
// 5 (pipe ended, on write) and 10035 (would block).
#pragma once

#include <cstdint>

#include "launcher/host_record.h"

extern "C" {
// ---- the table ----
// The first free entry from 4 to 4094, now holding the handle and kind with
// flags 0; a socket also gets its three events. -1 when all are taken or no
// table is known.
int32_t allocate_pseudofd(uint32_t handle, int32_t kind);
// The entry's handle; -1 above 4095 or when `kind` is given (non-zero) and
// differs.
int32_t pseudofd_to_fd(uint32_t pseudofd, int32_t kind);
// The first entry from 4 to 4094 of that kind and handle; -1 when none.
int32_t fd_to_pseudofd(uint32_t handle, int32_t kind);
// The entry's kind; -1 above 4095.
int32_t pseudofd_kind(uint32_t pseudofd);
// A socket's three events (write-ready, close-or-exception, read-ready) from
// its socket handle; null when no socket entry has that handle.
uint32_t* fd_socket_events(uint32_t socket);

// ---- the stream operations ----
int32_t win_read(int32_t pseudofd, char* buffer, int32_t length, int32_t* error);
int32_t win_write(int32_t pseudofd, const char* data, int32_t length, int32_t* error);
int32_t win_close(int32_t pseudofd, int32_t* error);
// A descriptor asks about reading, its bit complement about writing. 1 ready,
// 0 not ready, -1 error; `wait` non-zero waits until ready.
int32_t win_no_hang(int32_t pseudofdOrComplement, int32_t* error, int32_t wait);
}

namespace lisp::os {
// Error numbers the stream operations report as their own.
inline constexpr int32_t kErrorBadDescriptor = 9;
inline constexpr int32_t kErrorPipeEnded = 5;
inline constexpr int32_t kErrorWouldBlock = 10035;

// The host record the launcher handed over, or null.
host::HostRecord* hostRecord();
// Its descriptor table, or null.
host::DescriptorEntry* descriptorTable();
}  // namespace lisp::os
