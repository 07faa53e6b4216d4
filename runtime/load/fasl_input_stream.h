// The runtime loader's input stream: a runtime-library file descriptor read
// through a 4096-byte buffer, and the byte source the fasl format's readers
// take over it.
//
// Invariant: 0 <= position <= count <= 4096; bytes buffer[position..count)
// are the next unread bytes of the file, so the logical position is the
// descriptor's position minus (count - position).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/load/fasl_format.h"

namespace lisp::fasl {
inline constexpr int32_t kFaslStreamBufferBytes = 4096;
// What fasl_get_char gives besides a byte. Decision: a failed read is told
// apart from the end of the file, so a loader can report it as truncation
// wherever it happens.
inline constexpr int32_t kStreamEnd = -1;
inline constexpr int32_t kStreamReadError = -2;
}  // namespace lisp::fasl

extern "C" {

struct FaslInputStream {
  int32_t descriptor;  // a runtime-library (pseudo) descriptor
  int32_t position;    // next unread byte of the buffer
  int32_t count;       // valid bytes in the buffer
  uint8_t buffer[lisp::fasl::kFaslStreamBufferBytes];
};
static_assert(offsetof(FaslInputStream, descriptor) == 0);
static_assert(offsetof(FaslInputStream, position) == 4);
static_assert(offsetof(FaslInputStream, count) == 8);
static_assert(offsetof(FaslInputStream, buffer) == 12);
static_assert(sizeof(FaslInputStream) == 4108);

// The next byte 0..255; kStreamEnd at the end of the file; kStreamReadError
// when the read fails (the buffer is then empty).
int32_t fasl_get_char(FaslInputStream* stream);
// The logical position: the descriptor's position less the unread bytes.
int32_t fasl_tell(FaslInputStream* stream);
// Moves the logical position by delta; inside the buffer only the position
// moves, otherwise the descriptor is sought and the buffer emptied.
void fasl_seek(FaslInputStream* stream, int32_t delta);
// n bytes into destination, byte by byte (a byte past the end stores 0xff).
void fasl_readbytes(FaslInputStream* stream, uint32_t n, uint8_t* destination);
// Reads and drops n bytes; the last one read, or kStreamEnd when n is 0.
int32_t fasl_flushbytes(FaslInputStream* stream, uint32_t n);
}

namespace lisp::fasl {

// The fasl readers' byte source over an input stream. A read error is
// sticky: every later byte reads as the end, and failed() stays true.
class FaslStreamSource final : public ByteSource {
 public:
  explicit FaslStreamSource(FaslInputStream& stream);
  int next() override;
  long tell() const override;
  void seek(long position) override;
  long length() const override { return length_; }
  bool failed() const { return failed_; }

 private:
  FaslInputStream& stream_;
  long length_;
  bool failed_ = false;
};

}  // namespace lisp::fasl
