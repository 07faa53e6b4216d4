// The symbol-name hash against values worked out with the formula by hand
// and against an independent Python model on random names: case of ASCII
// letters, the one-character form, the range.
#include "runtime/load/symbol_name_hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

uint32_t hashOf(const std::u16string& name) {
  return sshash(reinterpret_cast<const uint16_t*>(name.data()), static_cast<uint32_t>(name.size()));
}

TEST(SymbolNameHash, KnownNames) {
  const struct {
    std::u16string name;
    uint32_t hash;
  } cases[] = {
      {u"", 0},
      {u"t", 0x9a6ecb},
      {u"T", 0x9a6ecb},
      {u"a", 0x6f5750},
      {u"nil", 0x0dd0c2},
      {u"NIL", 0x0dd0c2},
      {u"thread", 0x6be796},
      {u"*load-xref-info*", 0x9c26f3},
  };
  for (const auto& c : cases) EXPECT_EQ(hashOf(c.name), c.hash);
}

TEST(SymbolNameHash, AsciiCaseDoesNotMatterAndTheHashHasTwentyFourBits) {
  EXPECT_EQ(hashOf(u"Load-Source-File"), hashOf(u"LOAD-SOURCE-FILE"));
  EXPECT_NE(hashOf(u"load-source-file"), hashOf(u"load-source-filf"));
  std::u16string name;
  for (int i = 0; i < 40; ++i) {
    name.push_back(static_cast<char16_t>(0x41 + 997 * i));
    EXPECT_LT(hashOf(name), 1u << 24) << i;
  }
}

// Random names of 16-bit characters, lengths 0 to 40, hashed by the model.
TEST(SymbolNameHash, AgreesWithTheModelOnRandomNames) {
  const std::string command = std::string("python3 ") + SYMBOL_HASH_MODEL + " 20261210 2000";
  std::FILE* output = popen(command.c_str(), "r");
  ASSERT_NE(output, nullptr);
  char line[1024];
  int names = 0;
  while (std::fgets(line, sizeof line, output) != nullptr) {
    std::istringstream fields(line);
    uint32_t expected = 0;
    fields >> std::hex >> expected;
    std::u16string name;
    unsigned character = 0;
    while (fields >> std::hex >> character) name.push_back(static_cast<char16_t>(character));
    ASSERT_EQ(hashOf(name), expected) << "name " << names << " of " << name.size() << " characters";
    ++names;
  }
  EXPECT_EQ(pclose(output), 0);
  EXPECT_EQ(names, 2000);
}

}  // namespace
