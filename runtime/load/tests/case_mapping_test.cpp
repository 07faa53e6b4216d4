// The case tables against an independent list of Unicode 4.0 case pairs
// (case_pairs.py over the unicode-data package), their shape, the runtime
// globals that receive them, and the in-place conversions with and without
// mixed_case_convert.
#include "runtime/load/case_mapping.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/load/fasl_format.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using lisp::case_mapping::mapped;
using Pair = std::pair<uint16_t, uint16_t>;  // lower, upper

// The pairs the script prints from the Unicode data files.
std::set<Pair> independentPairs() {
  const std::string command =
      std::string("python3 ") + CASE_PAIRS_SCRIPT + " " + UNICODE_DATA_DIRECTORY;
  std::set<Pair> pairs;
  std::FILE* output = popen(command.c_str(), "r");
  if (!output) return pairs;
  unsigned lower = 0, upper = 0;
  while (std::fscanf(output, "%x %x", &lower, &upper) == 2)
    pairs.emplace(static_cast<uint16_t>(lower), static_cast<uint16_t>(upper));
  pclose(output);
  return pairs;
}

// Every entry of a table, as (from, to), over all 65536 characters.
std::set<Pair> entriesOf(const case_trie& trie) {
  std::set<Pair> entries;
  for (uint32_t c = 0; c <= 0xffff; ++c) {
    const uint16_t to = mapped(trie, static_cast<uint16_t>(c));
    if (to != 0) entries.emplace(static_cast<uint16_t>(c), to);
  }
  return entries;
}

class CaseTables : public ::testing::Test {
 protected:
  void SetUp() override {
    build_lc_to_uc_trie();
    build_uc_to_lc_trie();
    saved_ = mixed_case_convert;
  }
  void TearDown() override { mixed_case_convert = saved_; }

  static std::u16string upper(std::u16string text) {
    cvttoupper(reinterpret_cast<uint16_t*>(text.data()), static_cast<uint32_t>(text.size()));
    return text;
  }
  static std::u16string lower(std::u16string text) {
    cvttolower(reinterpret_cast<uint16_t*>(text.data()), static_cast<uint32_t>(text.size()));
    return text;
  }

  uint32_t saved_ = 0;
};

TEST_F(CaseTables, HoldExactlyTheMutualPairsOfUnicodeFourInTheirPages) {
  const std::set<Pair> expected = independentPairs();
  ASSERT_EQ(expected.size(), 705u) << "the unicode-data package (scripts/setup.sh) is needed";

  const std::set<Pair> toUpper = entriesOf(lc_to_uc_trie);
  EXPECT_EQ(toUpper, expected);
  std::set<Pair> toLowerAsPairs;
  for (const Pair& entry : entriesOf(uc_to_lc_trie))
    toLowerAsPairs.emplace(entry.second, entry.first);
  EXPECT_EQ(toLowerAsPairs, expected);
  EXPECT_EQ(entriesOf(uc_to_lc_trie).size(), 705u);
}

TEST_F(CaseTables, PagesWithoutPairsShareOneZeroPage) {
  const std::set<uint32_t> withPairs = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                        0x1e, 0x1f, 0x21, 0x24, 0xff};
  const uint16_t* zero = lc_to_uc_trie[0x4e];
  for (uint32_t high = 0; high < 256; ++high) {
    const bool shared = withPairs.count(high) == 0;
    EXPECT_EQ(lc_to_uc_trie[high] == zero, shared) << std::hex << high;
    EXPECT_EQ(uc_to_lc_trie[high] == zero, shared) << std::hex << high;
  }
  for (uint32_t low = 0; low < 256; ++low) EXPECT_EQ(zero[low], 0u);
}

TEST_F(CaseTables, NamedCharacters) {
  struct Case {
    uint16_t from;
    uint16_t toUpper;  // 0: none
    uint16_t toLower;
  };
  // clang-format off
  const Case cases[] = {
      {0x00ff, 0x0178, 0},  // a pair across pages
      {0x0178, 0, 0x00ff},
      {0x1f80, 0x1f88, 0},  // subscript iota: to the title-case form
      {0x1f88, 0, 0x1f80},
      {0x00b5, 0, 0},       // mappings that are not mutual
      {0x0131, 0, 0},
      {0x017f, 0, 0},
      {0x01c5, 0, 0},
      {0x01c8, 0, 0},
      {0x01cb, 0, 0},
      {0x01f2, 0, 0},
      {0x023b, 0, 0},       // added after 4.0
      {0x023c, 0, 0},
      {0x4e00, 0, 0},       // a page without pairs
      {'a', 'A', 0},
      {'Z', 0, 'z'},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(mapped(lc_to_uc_trie, c.from), c.toUpper) << std::hex << c.from;
    EXPECT_EQ(mapped(uc_to_lc_trie, c.from), c.toLower) << std::hex << c.from;
  }
}

TEST_F(CaseTables, ConversionsChangeEveryMappedCharacterByDefault) {
  EXPECT_EQ(mixed_case_convert, 4u);
  EXPECT_EQ(upper(u"car-\u00ff\u0131\u00b5\u4e00"), u"CAR-\u0178\u0131\u00b5\u4e00");
  EXPECT_EQ(lower(u"Mixed\u0178"), u"mixed\u00ff");
  EXPECT_EQ(upper(u"Mixed"), u"MIXED");
  EXPECT_EQ(upper(u""), u"");
  uint16_t untouched = 'a';
  cvttoupper(&untouched, 0);
  EXPECT_EQ(untouched, 'a');
}

TEST_F(CaseTables, WithoutMixedConversionTextOfBothCasesIsLeftAlone) {
  mixed_case_convert = 0;
  EXPECT_EQ(upper(u"Mixed"), u"Mixed");
  EXPECT_EQ(lower(u"Mixed"), u"Mixed");
  EXPECT_EQ(lower(u"UPPER-1"), u"upper-1");
  EXPECT_EQ(upper(u"lower-1"), u"LOWER-1");
  // A letter of the other case anywhere counts, also outside ASCII.
  EXPECT_EQ(upper(u"abc\u0178"), u"abc\u0178");
}

// Start-up hands the two arrays to compiled code through runtime globals.
class CaseTablesInGlobals : public gc_test::LispHeap {};

TEST_F(CaseTablesInGlobals, BuildersStoreTheArraysInGlobals287And288) {
  build_lc_to_uc_trie();
  build_uc_to_lc_trie();
  EXPECT_EQ(global(lisp::fasl::runtimeGlobalOffset(287)),
            reinterpret_cast<uintptr_t>(&lc_to_uc_trie));
  EXPECT_EQ(global(lisp::fasl::runtimeGlobalOffset(288)),
            reinterpret_cast<uintptr_t>(&uc_to_lc_trie));
}

}  // namespace
