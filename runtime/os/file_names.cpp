// Canonical file names. Every step keeps within the name and the growth the
// callers reserve: searches stop at the terminating zero, so a UNC name that
// ends early (no slash after the server or share name) is left as far as
// it got.

#include "runtime/os/file_names.h"

#include <cstdlib>
#include <cstring>

#include "runtime/load/dos_file_names.h"
#include "runtime/load/small_services.h"

namespace {

bool isSlash(char c) {
  return c == '/' || c == '\\';
}

void append(char* path, size_t& length, char c) {
  path[length++] = c;
  path[length] = '\0';
}

// Kind 1 with a trailing slash. A UNC name gets backslashes for its two
// leading slashes and the one after the server name; the slash after the
// share name becomes a backslash when it ends the name, else "." is
// appended. Any other name gets "." appended.
void finishFileName(char* path, size_t& length) {
  if (path[0] != '/' || path[1] != '/') {
    append(path, length, '.');
    return;
  }
  path[0] = path[1] = '\\';
  char* serverEnd = std::strchr(path + 2, '/');
  // Decision: "//server/" has no share name; it is left as "\\server\".
  if (!serverEnd) return;
  *serverEnd = '\\';
  char* shareEnd = std::strchr(serverEnd + 1, '/');
  if (!shareEnd) return;
  if (shareEnd[1] == '\0')
    *shareEnd = '\\';
  else
    append(path, length, '.');
}

}  // namespace

extern "C" {

void canonfilename(char* path, int kind) {
  if (!path) return;
  size_t convertFrom = 0;
  if (kind == kCanonicalListedDirectory && path[0] == '\\' && path[1] == '\\') {
    // The server name of a UNC directory keeps its separators.
    const char* serverEnd = std::strchr(path + 2, '\\');
    convertFrom = serverEnd ? static_cast<size_t>(serverEnd - path) + 1 : std::strlen(path);
  }
  const size_t rest = std::strlen(path + convertFrom);
  canonicalize_dos_filename(path + convertFrom, static_cast<int>(rest), 0);
  size_t length = convertFrom + rest;
  if (length == 0) append(path, length, '.');
  switch (kind) {
    case kCanonicalFile:
      if (path[length - 1] == '/') finishFileName(path, length);
      break;
    case kCanonicalDirectory:
    case kCanonicalListedDirectory:
      if (path[length - 1] != '/') append(path, length, '/');
      break;
    case kCanonicalDirectoryToMake:
      // Decision: the root "/" keeps its slash (removing it would name nothing).
      if (length > 1 && path[length - 1] == '/') path[--length] = '\0';
      break;
    default:
      break;
  }
}

char* find_last_slash(const char* path) {
  if (!path) return nullptr;
  const char* found = nullptr;
  for (const char* p = path; *p; ++p)
    if (isSlash(*p)) found = p;
  return const_cast<char*>(found);
}

char* find_first_slash(const char* path) {
  if (!path) return nullptr;
  for (const char* p = path; *p; ++p)
    if (isSlash(*p)) return const_cast<char*>(p);
  return nullptr;
}

int fat_to_utf8(const uint16_t* source, char* destination, int count, int room) {
  if (!source || !destination) return 0;
  int written = 0;
  for (int i = 0; i < count; ++i) {
    const uint16_t c = source[i];
    const int bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (bytes > room - written) break;
    char* out = destination + written;
    if (bytes == 1) {
      out[0] = static_cast<char>(c);
    } else if (bytes == 2) {
      out[0] = static_cast<char>(0xc0 | (c >> 6));
      out[1] = static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out[0] = static_cast<char>(0xe0 | (c >> 12));
      out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out[2] = static_cast<char>(0x80 | (c & 0x3f));
    }
    written += bytes;
  }
  return written;
}

}  // extern "C"

namespace lisp::fio {

PreparedPath::PreparedPath(const char* path, int kind) {
  if (!path) return;
  const size_t length = std::strlen(path);
  const size_t needed = length + 1 + kCanonicalGrowth;
  if (needed <= sizeof strbuf) {
    text_ = strbuf;
  } else {
    heap_ = static_cast<char*>(std::malloc(needed));
    if (!heap_) return;
    text_ = heap_;
  }
  // The caller's name may itself sit in strbuf.
  std::memmove(text_, path, length + 1);
  canonfilename(text_, kind);
}

PreparedPath::~PreparedPath() {
  std::free(heap_);
}

const char* canonicalizeInPlace(char* path) {
  if (!path) return nullptr;
  if (path[0] == '\0') return ".";
  canonicalize_dos_filename(path, static_cast<int>(std::strlen(path)), 0);
  return path;
}

}  // namespace lisp::fio
