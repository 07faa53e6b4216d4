// The runtime loader's buffered input stream; see fasl_input_stream.h.

#include "runtime/load/fasl_input_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "launcher/host_record.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/pseudo_descriptors.h"

using lisp::fasl::kFaslStreamBufferBytes;
using lisp::fasl::kStreamEnd;
using lisp::fasl::kStreamReadError;

extern "C" {

int32_t fasl_get_char(FaslInputStream* stream) {
  if (stream->position >= stream->count) {
    const int32_t got = cl_read(stream->descriptor, reinterpret_cast<char*>(stream->buffer), 0,
                                kFaslStreamBufferBytes);
    stream->position = 0;
    if (got <= 0) {
      stream->count = 0;
      return got == 0 ? kStreamEnd : kStreamReadError;
    }
    stream->count = got;
  }
  return stream->buffer[stream->position++];
}

int32_t fasl_tell(FaslInputStream* stream) {
  return cl_seek(stream->descriptor, 0, SEEK_CUR) - (stream->count - stream->position);
}

void fasl_seek(FaslInputStream* stream, int32_t delta) {
  const int64_t inside = int64_t{stream->position} + delta;
  if (inside >= 1 && inside <= stream->count) {
    stream->position = static_cast<int32_t>(inside);
    return;
  }
  cl_seek(stream->descriptor, delta - (stream->count - stream->position), SEEK_CUR);
  stream->position = stream->count = 0;
}

void fasl_readbytes(FaslInputStream* stream, uint32_t n, uint8_t* destination) {
  for (uint32_t i = 0; i < n; ++i) destination[i] = static_cast<uint8_t>(fasl_get_char(stream));
}

int32_t fasl_flushbytes(FaslInputStream* stream, uint32_t n) {
  int32_t last = kStreamEnd;
  for (uint32_t i = 0; i < n; ++i) last = fasl_get_char(stream);
  return last;
}
}

namespace lisp::fasl {

namespace {
// The file's size when the descriptor names a regular file; otherwise
// unknown, and the readers then take text in bounded chunks.
long lengthOf(int32_t descriptor) {
  const int32_t fd =
      pseudofd_to_fd(static_cast<uint32_t>(descriptor), host::kKindRuntimeDescriptor);
  struct stat64 status;
  if (fd < 0 || ::fstat64(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > LONG_MAX)
    return LONG_MAX;
  return static_cast<long>(status.st_size);
}
}  // namespace

FaslStreamSource::FaslStreamSource(FaslInputStream& stream)
    : stream_(stream), length_(lengthOf(stream.descriptor)) {}

int FaslStreamSource::next() {
  if (failed_) return kStreamEnd;
  const int32_t byte = fasl_get_char(&stream_);
  if (byte == kStreamReadError) {
    failed_ = true;
    return kStreamEnd;
  }
  return byte;
}

long FaslStreamSource::tell() const {
  return fasl_tell(&stream_);
}

void FaslStreamSource::seek(long position) {
  const long delta = position - tell();
  if (delta < INT32_MIN || delta > INT32_MAX) return;
  fasl_seek(&stream_, static_cast<int32_t>(delta));
}

}  // namespace lisp::fasl
