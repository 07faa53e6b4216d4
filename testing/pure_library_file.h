// Pure library files laid out by tests from a list of code vectors and
// strings: the header, the code section and the string section, each a
// table sorted by hash (ended by a zero entry) followed by its objects.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/load/symbol_name_hash.h"

namespace testing_support {

struct CodeObject {
  uint32_t hash;
  std::vector<uint8_t> code;  // an even number of bytes
  bool pure = false;
};
struct BadEntry {
  uint32_t hash;
  uint32_t offset;  // from the table's base, pointing wherever it likes
};
struct LibraryContents {
  std::vector<CodeObject> code = {};
  std::vector<BadEntry> badCode = {};
  std::vector<std::u16string> strings = {};
};

inline void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void align8(std::vector<uint8_t>& bytes) {
  bytes.resize((bytes.size() + 7) & ~size_t{7});
}

struct TableEntry {
  uint32_t offset, hash;
};

// A section: its table (sorted by hash, ended by a zero entry) and then the
// objects, each placed by `place` relative to the section's start.
template <class Place>
void appendSection(std::vector<uint8_t>& file, size_t objectCount, uint32_t& start, uint32_t& fill,
                   uint32_t& length, std::vector<TableEntry> extra, Place place) {
  start = static_cast<uint32_t>(file.size());
  const size_t entries = objectCount + extra.size();
  const size_t tableBytes = 8 * (entries + 1);
  file.resize(file.size() + tableBytes);
  fill = static_cast<uint32_t>(file.size());
  std::vector<TableEntry> table = std::move(extra);
  for (size_t i = 0; i < objectCount; ++i) {
    align8(file);
    const uint32_t offset = static_cast<uint32_t>(file.size()) - start;
    table.push_back({offset, place(i, file)});
  }
  align8(file);
  length = static_cast<uint32_t>(file.size()) - start;
  std::stable_sort(table.begin(), table.end(),
                   [](const TableEntry& a, const TableEntry& b) { return a.hash < b.hash; });
  for (size_t i = 0; i < table.size(); ++i) {
    put32(file, start + 8 * i, table[i].offset);
    put32(file, start + 8 * i + 4, table[i].hash);
  }
}

inline std::vector<uint8_t> libraryBytes(const LibraryContents& contents) {
  std::vector<uint8_t> file(0x40, 0);
  uint32_t codeStart, codeFill, codeLength, stringStart = 0, stringFill = 0, stringLength = 0;
  std::vector<TableEntry> bad;
  for (const BadEntry& entry : contents.badCode) bad.push_back({entry.offset, entry.hash});
  appendSection(file, contents.code.size(), codeStart, codeFill, codeLength, bad,
                [&](size_t i, std::vector<uint8_t>& bytes) {
                  const CodeObject& object = contents.code[i];
                  const size_t at = bytes.size();
                  const uint32_t units = static_cast<uint32_t>(object.code.size() / 2) + 4;
                  bytes.resize(at + 4 + 2 * units, 0xee);
                  put32(bytes, at, units << 8 | (object.pure ? 99 : 108));
                  std::copy(object.code.begin(), object.code.end(), bytes.begin() + at + 4);
                  return object.hash;
                });
  if (!contents.strings.empty()) {
    appendSection(file, contents.strings.size(), stringStart, stringFill, stringLength, {},
                  [&](size_t i, std::vector<uint8_t>& bytes) {
                    const std::u16string& text = contents.strings[i];
                    const size_t at = bytes.size();
                    bytes.resize(at + 8 + 2 * text.size() + 2, 0);
                    put32(bytes, at, 117);
                    put32(bytes, at + 4, static_cast<uint32_t>(text.size()) << 2);
                    std::memcpy(bytes.data() + at + 8, text.data(), 2 * text.size());
                    return sshash(reinterpret_cast<const uint16_t*>(text.data()),
                                  static_cast<uint32_t>(text.size()));
                  });
  }
  put32(file, 0, 0x01FD | 7 << 16);  // magic, version
  put32(file, 4, 0x5eed);
  put32(file, 12, codeStart);
  put32(file, 16, codeFill);
  put32(file, 20, codeLength);
  put32(file, 24, stringStart);
  put32(file, 28, stringFill);
  put32(file, 32, stringLength);
  return file;
}

}  // namespace testing_support
