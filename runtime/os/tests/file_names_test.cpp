// Canonical file names, separator search and UTF-8 encoding. The same tests
// run once more under AddressSanitizer, which catches any step that reaches
// past a name and the growth its buffer has room for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/load/dos_file_names.h"
#include "runtime/load/small_services.h"
#include "runtime/os/file_names.h"

namespace {

using lisp::fio::kCanonicalGrowth;
using lisp::fio::PreparedPath;

// The canonical form of `name`, made in a heap buffer of exactly the room
// the callers reserve.
std::string canonical(const std::string& name, int kind) {
  std::vector<char> buffer(name.size() + 1 + kCanonicalGrowth, '#');
  std::memcpy(buffer.data(), name.c_str(), name.size() + 1);
  canonfilename(buffer.data(), kind);
  return buffer.data();
}

struct CanonicalRow {
  const char* name;
  int kind;
  const char* expected;
};

const CanonicalRow kCanonicalRows[] = {
    {"a\\b\\c", kCanonicalSeparatorsOnly, "a/b/c"},
    {"a/b/", kCanonicalSeparatorsOnly, "a/b/"},
    {"", kCanonicalSeparatorsOnly, "."},
    {"", kCanonicalFile, "."},
    {"", kCanonicalDirectory, "./"},
    {"", kCanonicalListedDirectory, "./"},
    {"", kCanonicalDirectoryToMake, "."},
    {"file", kCanonicalFile, "file"},
    {"dir\\", kCanonicalFile, "dir/."},
    {"/", kCanonicalFile, "/."},
    // UNC names of files
    {"//srv/shr/", kCanonicalFile, "\\\\srv\\shr\\"},
    {"\\\\srv\\shr\\", kCanonicalFile, "\\\\srv\\shr\\"},
    {"//srv/shr/d/", kCanonicalFile, "\\\\srv\\shr/d/."},
    {"//srv/", kCanonicalFile, "\\\\srv\\"},  // no share name: stops there
    {"//", kCanonicalFile, "\\\\"},
    {"//srv", kCanonicalFile, "//srv"},
    {"//srv/shr", kCanonicalFile, "//srv/shr"},
    // directories
    {"a\\b", kCanonicalDirectory, "a/b/"},
    {"a/", kCanonicalDirectory, "a/"},
    {"\\\\srv\\shr\\d", kCanonicalDirectory, "//srv/shr/d/"},
    {"\\\\srv\\shr\\d", kCanonicalListedDirectory, "\\\\srv\\shr/d/"},
    {"\\\\srv", kCanonicalListedDirectory, "\\\\srv/"},
    {"\\\\srv\\", kCanonicalListedDirectory, "\\\\srv\\/"},
    {"//srv", kCanonicalListedDirectory, "//srv/"},
    {"d/", kCanonicalDirectoryToMake, "d"},
    {"d\\", kCanonicalDirectoryToMake, "d"},
    {"d", kCanonicalDirectoryToMake, "d"},
    {"/", kCanonicalDirectoryToMake, "/"},
};

TEST(CanonicalFileNames, EachKindGivesItsForm) {
  for (const CanonicalRow& row : kCanonicalRows)
    EXPECT_EQ(canonical(row.name, row.kind), row.expected)
        << "\"" << row.name << "\" kind " << row.kind;
}

TEST(CanonicalFileNames, NamesEndingInsideAServerOrShareNameStopThere) {
  for (const char* name : {"//", "//s", "//srv", "//srv/", "//srv/s", "\\\\", "\\\\s", "\\\\srv\\"})
    for (int kind = 0; kind <= kCanonicalDirectoryToMake; ++kind)
      EXPECT_LE(canonical(name, kind).size(), std::strlen(name) + kCanonicalGrowth) << name;
}

TEST(CanonicalFileNames, ShortNamesUseStrbufAndLongOnesAHeapCopy) {
  const std::string fits(sizeof strbuf - 1 - kCanonicalGrowth, 'a');
  const PreparedPath inBuffer(fits.c_str(), kCanonicalDirectory);
  EXPECT_EQ(inBuffer.text(), strbuf);
  EXPECT_FALSE(inBuffer.onHeap());
  EXPECT_EQ(std::strlen(inBuffer.text()), fits.size() + 1);  // the slash fitted

  std::string tooLong(20000, 'b');
  tooLong[100] = '\\';
  const PreparedPath onHeap(tooLong.c_str(), kCanonicalDirectory);
  ASSERT_TRUE(onHeap.onHeap());
  EXPECT_NE(onHeap.text(), strbuf);
  EXPECT_EQ(std::strlen(onHeap.text()), 20001u);
  EXPECT_EQ(onHeap.text()[100], '/');
  EXPECT_EQ(onHeap.text()[20000], '/');

  const PreparedPath none(nullptr, kCanonicalFile);
  EXPECT_EQ(none.text(), nullptr);
}

TEST(CanonicalFileNames, ANameAlreadyInStrbufIsPreparedInPlace) {
  std::strcpy(strbuf, "a\\b\\");
  const PreparedPath prepared(strbuf, kCanonicalFile);
  EXPECT_STREQ(prepared.text(), "a/b/.");
}

TEST(CanonicalFileNames, InPlaceFormKeepsTheLengthAndNamesTheEmptyNameDot) {
  char name[] = "x\\y\\z";
  EXPECT_EQ(lisp::fio::canonicalizeInPlace(name), name);
  EXPECT_STREQ(name, "x/y/z");
  char empty[1] = "";
  EXPECT_STREQ(lisp::fio::canonicalizeInPlace(empty), ".");
  EXPECT_EQ(empty[0], '\0');
  EXPECT_EQ(lisp::fio::canonicalizeInPlace(nullptr), nullptr);
}

TEST(DosFileNames, SeparatorsAndCaseWithinTheLength) {
  char name[] = "Dir\\Sub\\FILE.TXT";
  canonicalize_dos_filename(name, 8, 1);
  EXPECT_STREQ(name, "dir/sub/FILE.TXT");
  canonicalize_dos_filename(name, 100, 0);  // stops at the zero byte
  EXPECT_STREQ(name, "dir/sub/FILE.TXT");
  uncanonicalize_dos_filename(name, static_cast<int>(std::strlen(name)));
  EXPECT_STREQ(name, "dir\\sub\\FILE.TXT");
  char utf8[] = "\xc3\x84\\\xe2\x82\xac";  // bytes of multi-byte characters are never separators
  canonicalize_dos_filename(utf8, 6, 1);
  EXPECT_STREQ(utf8, "\xc3\x84/\xe2\x82\xac");
}

TEST(SlashSearch, EitherSeparatorCounts) {
  const char* path = "a/b\\c";
  EXPECT_EQ(find_first_slash(path), path + 1);
  EXPECT_EQ(find_last_slash(path), path + 3);
  EXPECT_EQ(find_first_slash("abc"), nullptr);
  EXPECT_EQ(find_last_slash("abc"), nullptr);
  EXPECT_EQ(find_last_slash(nullptr), nullptr);
}

struct Utf8Row {
  std::vector<uint16_t> characters;
  int room;
  std::string expected;
};

TEST(FatToUtf8, OneTwoOrThreeBytesAndNoCharacterCutInHalf) {
  const Utf8Row rows[] = {
      {{0x7f}, 8, "\x7f"},
      {{0x80}, 8, "\xc2\x80"},
      {{0x7ff}, 8, "\xdf\xbf"},
      {{0x800}, 8, "\xe0\xa0\x80"},
      {{0xffff}, 8, "\xef\xbf\xbf"},
      {{'a', 0x800}, 3, "a"},  // two bytes of room left for three
      {{'a', 0x7ff}, 3, "a\xdf\xbf"},
      {{'a'}, 0, ""},
  };
  for (const Utf8Row& row : rows) {
    std::vector<char> out(static_cast<size_t>(row.room));
    const int written = fat_to_utf8(row.characters.data(), out.data(),
                                    static_cast<int>(row.characters.size()), row.room);
    EXPECT_EQ(std::string(out.data(), static_cast<size_t>(written)), row.expected);
  }
  char out[4];
  const uint16_t a = 'a';
  EXPECT_EQ(fat_to_utf8(&a, out, -1, 4), 0);
  EXPECT_EQ(fat_to_utf8(&a, out, 1, -1), 0);
}

}  // namespace
