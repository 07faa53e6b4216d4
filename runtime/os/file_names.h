// File names for the file calls: canonical forms, separator search, 16-bit
// text to UTF-8, and the copy a call works on (in strbuf, or on the native
// heap when the name is too long for it).
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
// Kinds of canonfilename.
enum CanonicalNameKind : int {
  kCanonicalSeparatorsOnly = 0,  // separators, and "" becomes "."
  kCanonicalFile = 1,
  kCanonicalDirectory = 2,
  kCanonicalListedDirectory = 3,  // also keeps a UNC server name as it is
  kCanonicalDirectoryToMake = 4,  // no trailing slash
};

// Canonicalises the zero-terminated name in place. The buffer must hold
// kCanonicalGrowth bytes beyond the name and its terminating zero. Unknown
// kinds get the separators-only treatment.
void canonfilename(char* path, int kind);

// The last, or first, character that is a slash or a backslash; null when
// there is none (or no path).
char* find_last_slash(const char* path);
char* find_first_slash(const char* path);

// Encodes `count` 16-bit characters as UTF-8 into at most `room` bytes and
// returns the bytes written; stops before a character that would not fit
// whole.
int fat_to_utf8(const uint16_t* source, char* destination, int count, int room);
}

namespace lisp::fio {

// Characters canonfilename may add to a name: "" -> "./" at most.
inline constexpr size_t kCanonicalGrowth = 2;

// A caller's file name copied and canonicalised for one call: in strbuf when
// the canonical form fits there, else in a heap block of its own that the
// destructor frees. Only the heap-owning thread uses strbuf, one call at a
// time. text() is null when there is no name or no memory for the copy.
class PreparedPath {
 public:
  PreparedPath(const char* path, int kind);
  ~PreparedPath();
  PreparedPath(const PreparedPath&) = delete;
  PreparedPath& operator=(const PreparedPath&) = delete;

  char* text() const { return text_; }
  bool onHeap() const { return heap_ != nullptr; }

 private:
  char* text_ = nullptr;
  char* heap_ = nullptr;
};

// The kind-0 form of a caller's name, made in the caller's own buffer
// (separators only, so the length does not change); an empty name gives ".",
// which the empty buffer has no room for. Null stays null.
const char* canonicalizeInPlace(char* path);

}  // namespace lisp::fio
