// The symbol-name hash. Hashes are stored in symbols, in the pure library's
// string table and so in heap images: the formula is part of those formats.
#pragma once

#include <cstdint>

extern "C" {
// Hash of `count` 16-bit characters, below 2^24; 0 for an empty name.
// ASCII letters hash alike in either case.
uint32_t sshash(const uint16_t* characters, uint32_t count);
}
