// The string file: while it is open, every 16-bit string the loader builds
// is appended to it as a string object, so that a pure library's strings can
// be made from it later. Little-endian:
//
//   0   4  record counter at closing: 0 minus the records written
//   4   4  total bytes of the records at closing
//   8   .. records back to back, each: byte 117, 3 zero bytes, the length in
//          characters shifted left by 2 (32-bit), the characters, a 16-bit
//          zero, padding to (2 x length + 17) rounded down to a multiple of 8
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
extern int str_file;  // the open descriptor, 0 when none
extern uint32_t str_file_count;
extern uint32_t str_file_size;

// Creates or truncates the file (permissions 0666) and writes the two header
// words as zeros. Returns the descriptor, or -1 (nothing opened).
int open_str_file(const char* path);
// Appends one record; with `upperCase` the characters are converted by
// cvttoupper first (the caller's characters are not changed).
void write_str_file(const uint16_t* characters, uint32_t length, int upperCase);
// Writes the counter and size into the header and closes the file. Returns t
// when a file was closed, nil when none was open.
lisp::lispval close_str_file();
// Writes `count` bytes; a short write is reported on standard error and the
// file goes on. Returns the bytes written (-1 for a failed write).
int do_write_to_str_file(int descriptor, const void* bytes, uint32_t count);
}

namespace lisp::string_file {

inline constexpr uint8_t kRecordType = 117;
inline constexpr uint32_t kHeaderBytes = 8;
inline constexpr uint32_t kRecordHeaderBytes = 8;

// The longest string whose record size fits 32 bits.
inline constexpr uint32_t kLongestString = 0x7ffffff0;

constexpr uint32_t recordBytes(uint32_t length) {
  return (2 * length + 17) & ~uint32_t{7};
}

namespace text {
inline constexpr char kBoxCaption[] = "Vexmora CL";
inline constexpr char kCorrupt[] = "Internal error: string file is corrupt (%d, %d, %d, %d)";
}  // namespace text

}  // namespace lisp::string_file
