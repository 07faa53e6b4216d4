// The string file: records appended while it is open, the header written
// when it closes.
//
// Invariant: str_file is 0 or a descriptor this module opened and has not
// closed, and the counters describe the records written to every string
// file since start-up cleared them.

#include "runtime/load/string_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/error_numbers.h"
#include "platform/message_box.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/case_mapping.h"

extern "C" {
int str_file = 0;
uint32_t str_file_count = 0;
uint32_t str_file_size = 0;
extern lisp::lispval tval;
}

namespace {

namespace sf = lisp::string_file;

void put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void writeHeader(int descriptor) {
  uint8_t header[sf::kHeaderBytes];
  put32(header, str_file_count);
  put32(header + 4, str_file_size);
  if (lseek(descriptor, 0, SEEK_SET) == 0) do_write_to_str_file(descriptor, header, sizeof header);
}

}  // namespace

extern "C" {

int open_str_file(const char* path) {
  // Decision: a file still open is closed first, so its header is written
  // rather than left as zeros.
  if (str_file != 0) close_str_file();
  if (path == nullptr) return -1;
  const int descriptor = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) return -1;
  // The counters are not reset: they count every record since start-up
  // (which clears them), and each file's header holds them at its closing.
  const uint8_t zeros[sf::kHeaderBytes] = {};
  do_write_to_str_file(descriptor, zeros, sizeof zeros);
  str_file = descriptor;
  return descriptor;
}

void write_str_file(const uint16_t* characters, uint32_t length, int upperCase) {
  if (str_file == 0) return;
  // A length whose record size would wrap is refused like a record that
  // cannot be made.
  const bool fits = length <= sf::kLongestString;
  const uint32_t bytes = fits ? sf::recordBytes(length) : UINT32_MAX;
  auto* record = fits ? static_cast<uint8_t*>(std::calloc(bytes, 1)) : nullptr;
  if (record == nullptr) {
    do_write_to_str_file(str_file, nullptr, bytes);  // reports the record as lost
    return;
  }
  record[0] = sf::kRecordType;
  put32(record + 4, length << 2);
  auto* text = reinterpret_cast<uint16_t*>(record + sf::kRecordHeaderBytes);
  if (length != 0) std::memcpy(text, characters, 2 * length);
  text[length] = 0;
  if (upperCase) cvttoupper(text, length);
  do_write_to_str_file(str_file, record, sf::kRecordHeaderBytes);
  do_write_to_str_file(str_file, record + sf::kRecordHeaderBytes, bytes - sf::kRecordHeaderBytes);
  std::free(record);
  --str_file_count;
  str_file_size += bytes;
}

lisp::lispval close_str_file() {
  if (str_file == 0) return nilval;
  writeHeader(str_file);
  close(str_file);
  str_file = 0;
  return tval;
}

int do_write_to_str_file(int descriptor, const void* bytes, uint32_t count) {
  ssize_t written = 0;
  if (bytes != nullptr) {
    while (static_cast<uint32_t>(written) < count) {
      const ssize_t now = write(descriptor, static_cast<const uint8_t*>(bytes) + written,
                                count - static_cast<uint32_t>(written));
      if (now < 0 && errno == EINTR) continue;
      if (now <= 0) {
        if (written == 0) written = now;
        break;
      }
      written += now;
    }
  }
  if (written != static_cast<ssize_t>(count)) {
    const int linuxErrno = errno;
    char text[160];
    std::snprintf(text, sizeof text, sf::text::kCorrupt, static_cast<int>(written),
                  static_cast<int>(count), platform::runtimeErrnoFromLinux(linuxErrno),
                  static_cast<int>(platform::systemErrorFromLinux(linuxErrno)));
    platform::showMessageBox(sf::text::kBoxCaption, text);
  }
  return static_cast<int>(written);
}

}  // extern "C"
