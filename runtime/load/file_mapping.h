// Mapping a file that Lisp code has open, by its OS descriptor. The mapping
// handle is a record of the descriptor, the view and its length, kept in a
// table so that a view address alone finds its length for flushing.
#pragma once

#include <cstdint>

namespace startup {

// lisp_map_file behind the pseudo descriptor: the same arguments and results,
// with the OS descriptor in place of the pseudo descriptor (-1: none).
void* mapFileDescriptor(int fd, uint32_t size, int mode, void** mappingHandle, uint32_t offsetHigh,
                        uint32_t offsetLow);

}  // namespace startup
