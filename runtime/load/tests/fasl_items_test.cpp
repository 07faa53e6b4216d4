// The item table against the writer: every item the writer can make is read
// by the table's operand list to the byte, in both byte orders, and the
// table's sets (undefined, acting always, filling a slot) are the format's.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "runtime/load/fasl_format.h"
#include "testing/fasl_writer.h"

namespace {

using namespace lisp::fasl;
using testing_support::FaslWriter;
using Width = FaslWriter::Width;

const std::array<uint8_t, 4> kCode = {0x11, 0x22, 0x33, 0x44};
const std::array<uint8_t, 3> kThreeBytes = {7, 8, 9};
const std::array<uint16_t, 2> kDigits = {0x1234, 0x5678};
const std::array<uint32_t, 6> kTocWords = {100, 4, 7, 8, 9, 10};

struct ItemCase {
  uint8_t code;
  std::function<void(FaslWriter&)> write;
  std::vector<uint32_t> values;  // operands in order (a text operand: its byte count)
  uint32_t rawBytes = 0;
  std::vector<uint8_t> text = {};
};

uint32_t u(int32_t value) {
  return static_cast<uint32_t>(value);
}

std::vector<ItemCase> itemCases() {
  std::vector<ItemCase> cases = {
      {3, [](FaslWriter& w) { w.symbol(u"AB", 5); }, {2, 5}, 0, {'A', 'B'}},
      {3, [](FaslWriter& w) { w.symbol(u"AB", -3); }, {2, u(-3)}, 0, {'A', 'B'}},
      {3, [](FaslWriter& w) { w.symbol(u"AB", 5, Width::Escaped); }, {2, 5}, 0, {'A', 'B'}},
      {4, [](FaslWriter& w) { w.string(u"\u00e9"); }, {2}, 0, {0xc3, 0xa9}},
      {4, [](FaslWriter& w) { w.string(u""); }, {0}, 0, {}},
      {4, [](FaslWriter& w) { w.code(4).text(u"AB", 1, Width::Escaped); }, {2}, 0, {'A', 'B'}},
      {5, [](FaslWriter& w) { w.list(3); }, {3}},
      {6, [](FaslWriter& w) { w.listStar(2); }, {2}},
      {7, [](FaslWriter& w) { w.argumentSymbol(u"X", -3, 70000); }, {1, u(-3), 70000}, 0, {'X'}},
      {8, [](FaslWriter& w) { w.codeVector16(kCode, 0xdeadbeef); }, {4, 0xdeadbeef}, 4},
      {9, [](FaslWriter& w) { w.icsFlags(2); }, {2}},
      {17, [](FaslWriter& w) { w.character(1, 2, 0x1234); }, {1, 2, 0x1234}},
      {18, [](FaslWriter& w) { w.doubleFloat(1.5); }, {}, 8},
      {20, [](FaslWriter& w) { w.package(u"PKG"); }, {3}, 0, {'P', 'K', 'G'}},
      {21, [](FaslWriter& w) { w.singleFloat(1.5f); }, {}, 4},
      {22, [](FaslWriter& w) { w.vector(2, 112); }, {2, 112}},
      {23, [](FaslWriter& w) { w.bignum(2, 1, kDigits); }, {2, 1}, 4},
      {24, [](FaslWriter& w) { w.fixnum(-7); }, {u(-7)}},
      {27, [](FaslWriter& w) { w.casemode(0x13); }, {0x13}},
      {30, [](FaslWriter& w) { w.rawVector(98, 3, kThreeBytes); }, {98, 3, 3}, 3},
      {33, [](FaslWriter& w) { w.symget(70000); }, {70000}},
      {33, [](FaslWriter& w) { w.symget(3, Width::Escaped); }, {3}},
      {35, [](FaslWriter& w) { w.commentItem("hi \\\n there"); }, {}},
      {37, [](FaslWriter& w) { w.codeVector32(kCode, 9); }, {4, 9}, 4},
      {38, [](FaslWriter& w) { w.singleFloat(2.5f, true); }, {}, 4},
      {40, [](FaslWriter& w) { w.newBfunction(3); }, {3}},
      {41,
       [](FaslWriter& w) { w.cversion(u"9.1 [x]"); },
       {7},
       0,
       {'9', '.', '1', ' ', '[', 'x', ']'}},
      {42, [](FaslWriter& w) { w.machineId(1, 61, 31, 0x405); }, {1, 61, 31, 0x405}},
      {44, [](FaslWriter& w) { w.tableOfContentsWords(6, kTocWords); }, {6}},
      {47, [](FaslWriter& w) { w.newWfunction(2); }, {2}},
      {48, [](FaslWriter& w) { w.fcnflags(0x1234); }, {0x1234}},
      {49, [](FaslWriter& w) { w.doubleFloat(0.25, true); }, {}, 8},
      {50, [](FaslWriter& w) { w.beginSymchk(124); }, {124}},
      {52, [](FaslWriter& w) { w.codeVector32(kCode, 9, true); }, {4, 9}, 4},
      {59, [](FaslWriter& w) { w.integer(1, kDigits); }, {2, 1}, 4},
      {60, [](FaslWriter& w) { w.gensymget(3); }, {3}},
      {65, [](FaslWriter& w) { w.gensymSymbol(u"G", 9); }, {1, 9}, 0, {'G'}},
      {67, [](FaslWriter& w) { w.prewfunction(2); }, {2}},
      {68, [](FaslWriter& w) { w.postwfunction(2); }, {2}},
      {72, [](FaslWriter& w) { w.preLispVector(5, 112); }, {5, 112}},
      {73, [](FaslWriter& w) { w.postLispVector(5); }, {5}},
      {82, [](FaslWriter& w) { w.preclosure(2); }, {2}},
      {83, [](FaslWriter& w) { w.postclosure(2); }, {2}},
      {84, [](FaslWriter& w) { w.pick(3); }, {3}},
      {88, [](FaslWriter& w) { w.ffPatch(kThreeBytes); }, {3}, 3},
      {101, [](FaslWriter& w) { w.commentItem("x", 101); }, {}},
      {0, [](FaslWriter& w) { w.nop(); }, {}},
      {1, [](FaslWriter& w) { w.done(); }, {}},
      {2, [](FaslWriter& w) { w.nil(); }, {}},
  };
  // Items without operands, written by code.
  for (uint8_t code : {10, 11, 12, 13, 15, 16, 19, 25, 26, 29, 34, 36, 39, 43, 45, 51,
                       53, 54, 63, 64, 69, 70, 71, 74, 75, 76, 77, 78, 79, 81, 85, 87})
    cases.push_back({code, [code](FaslWriter& w) { w.code(code); }, {}});
  return cases;
}

enum class Order { Little, Swapped };
class ItemOperandsRead : public testing::TestWithParam<Order> {};

constexpr uint8_t kMarker = 0x5a;

TEST_P(ItemOperandsRead, EveryWrittenItemReadsToTheByte) {
  const bool swapped = GetParam() == Order::Swapped;
  for (const ItemCase& c : itemCases()) {
    SCOPED_TRACE(testing::Message() << "item " << int{c.code});
    FaslWriter w;
    if (swapped) w.machineId(kSwappedMachineKind, 61, 31, 0x405);
    const size_t start = w.size();
    c.write(w);
    w.byte(kMarker);
    MemorySource source(w.bytes());
    source.seek(static_cast<long>(start));
    FaslReader reader(source);
    reader.setSwapped(swapped);
    const uint32_t code = reader.getbyte();
    ASSERT_EQ(code, c.code);
    const ItemRow* row = itemRow(code, LoaderKind::Runtime);
    ASSERT_NE(row, nullptr);
    ItemOperands operands;
    const OperandsRead read = readItemOperands(code, *row, reader, {0x4000000}, operands);
    ASSERT_EQ(read.status, OperandsRead::Status::Ok) << faultText(read.fault);
    EXPECT_EQ(operands.position, static_cast<long>(start));
    for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(operands.value[i], c.values[i]) << i;
    EXPECT_EQ(operands.rawBytes, c.rawBytes);
    if (!c.text.empty()) {
      EXPECT_EQ(operands.text, c.text);
    }
    source.skip(operands.rawBytes);
    EXPECT_EQ(reader.getbyte(), kMarker);
  }
}
INSTANTIATE_TEST_SUITE_P(BothOrders, ItemOperandsRead,
                         testing::Values(Order::Little, Order::Swapped));

TEST(ItemTable, TheWriterCoversEveryDefinedItem) {
  std::set<uint32_t> written;
  for (const ItemCase& c : itemCases()) written.insert(c.code);
  std::set<uint32_t> defined;
  for (uint32_t code = 0; code < 256; ++code)
    if (itemRow(code, LoaderKind::Runtime) != nullptr) defined.insert(code);
  EXPECT_EQ(written, defined);
}

std::set<uint32_t> codesWhere(LoaderKind loader, const std::function<bool(const ItemRow*)>& test) {
  std::set<uint32_t> codes;
  for (uint32_t code = 0; code < 256; ++code)
    if (test(itemRow(code, loader))) codes.insert(code);
  return codes;
}

TEST(ItemTable, UndefinedCodes) {
  std::set<uint32_t> expected = {14, 28, 31, 32, 46, 55, 56, 57, 58, 61, 62, 66, 80, 86};
  for (uint32_t code = 89; code < 256; ++code) expected.insert(code);
  const auto undefined = [](const ItemRow* row) { return row == nullptr; };
  EXPECT_EQ(codesWhere(LoaderKind::Native, undefined), expected);
  expected.erase(101);  // the runtime loader's second comment code
  EXPECT_EQ(codesWhere(LoaderKind::Runtime, undefined), expected);
}

TEST(ItemTable, ItemsThatActAlwaysAndFillASlot) {
  const auto always = [](const ItemRow* row) { return row != nullptr && row->actsAlways; };
  // 50 and 88 act while skipping too: 50 counts nested sections, 88 only skips its bytes.
  EXPECT_EQ(codesWhere(LoaderKind::Runtime, always),
            (std::set<uint32_t>{1, 9, 27, 35, 41, 42, 44, 50, 51, 63, 64, 79, 88, 101}));
  const auto fills = [](const ItemRow* row) { return row != nullptr && row->fillsTableSlot; };
  EXPECT_EQ(codesWhere(LoaderKind::Native, fills), (std::set<uint32_t>{20, 65, 76}));
}

TEST(ItemTable, TakenOnlyAtDepthZeroWithSuitableFlags) {
  const ItemRow& nil = *itemRow(2, LoaderKind::Native);
  const ItemRow& done = *itemRow(1, LoaderKind::Native);
  EXPECT_TRUE(itemActs(nil, 0, 0));
  EXPECT_TRUE(itemActs(nil, 0, 2));
  EXPECT_TRUE(itemActs(nil, 0, 3));
  EXPECT_FALSE(itemActs(nil, 0, 1));
  EXPECT_FALSE(itemActs(nil, 1, 0));
  EXPECT_TRUE(itemActs(done, 3, 1));
}

struct ReadItem {
  std::array<uint32_t, 4> values;
  std::vector<uint8_t> raw;
  bool operator==(const ReadItem&) const = default;
};

std::vector<ReadItem> readItems(const std::vector<uint8_t>& bytes, size_t start, bool swapped) {
  MemorySource source(bytes);
  source.seek(static_cast<long>(start));
  FaslReader reader(source);
  reader.setSwapped(swapped);
  std::vector<ReadItem> items;
  while (source.remaining() > 0) {
    const uint32_t code = reader.getbyte();
    ItemOperands operands;
    EXPECT_EQ(
        readItemOperands(code, *itemRow(code, LoaderKind::Native), reader, {0x4000000}, operands)
            .status,
        OperandsRead::Status::Ok);
    ReadItem item{operands.value, std::vector<uint8_t>(operands.rawBytes)};
    reader.readRaw(item.raw.data(), operands.rawBytes);
    items.push_back(item);
  }
  return items;
}

// A swapped file reads the same values; fixnum operands, float bytes, bignum
// digits and raw-vector bytes stand in the file unswapped.
TEST(ItemTable, IcsFlagsMarks) {
  EXPECT_STREQ(icsFlagsMark(0), " ");
  EXPECT_STREQ(icsFlagsMark(1), "-");
  EXPECT_STREQ(icsFlagsMark(2), "+");
  EXPECT_STREQ(icsFlagsMark(7), "?");
}

TEST(ItemTable, SwappedFilesReadTheSameValues) {
  const std::array<uint8_t, 8> fixnumItem = {24, 4, 3, 2, 1};
  FaslWriter little;
  FaslWriter swapped;
  swapped.machineId(kSwappedMachineKind, 61, 31, 0x405);
  const size_t start = swapped.size();
  for (FaslWriter* w : {&little, &swapped})
    w->fixnum(0x01020304).doubleFloat(1.25).bignum(2, 0, kDigits).rawVector(98, 3, kThreeBytes);
  const std::vector<ReadItem> fromLittle = readItems(little.bytes(), 0, false);
  EXPECT_EQ(fromLittle, readItems(swapped.bytes(), start, true));
  ASSERT_EQ(fromLittle.size(), 4u);
  EXPECT_EQ(fromLittle[0].values[0], 0x01020304u);
  EXPECT_TRUE(std::equal(fixnumItem.begin(), fixnumItem.begin() + 5,
                         swapped.bytes().begin() + static_cast<long>(start)));
  const double value = 1.25;
  EXPECT_EQ(0, std::memcmp(fromLittle[1].raw.data(), &value, 8));
  EXPECT_EQ(0, std::memcmp(fromLittle[2].raw.data(), kDigits.data(), 4));
  EXPECT_EQ(fromLittle[3].raw, std::vector<uint8_t>(kThreeBytes.begin(), kThreeBytes.end()));
}

TEST(ItemTable, CodeVectorsOfASwappedFileSwapBackInUnits) {
  FaslWriter w;
  w.machineId(kSwappedMachineKind, 61, 31, 0x405);
  const size_t start = w.size();
  w.codeVector16(kCode);
  MemorySource source(w.bytes());
  source.seek(static_cast<long>(start));
  FaslReader reader(source);
  reader.setSwapped(true);
  const uint32_t code = reader.getbyte();
  ItemOperands operands;
  ASSERT_EQ(
      readItemOperands(code, *itemRow(code, LoaderKind::Native), reader, {0x4000000}, operands)
          .status,
      OperandsRead::Status::Ok);
  std::vector<uint8_t> bytes(operands.rawBytes);
  ASSERT_TRUE(reader.readRaw(bytes.data(), operands.rawBytes));
  swapCodeUnits(bytes);
  EXPECT_EQ(bytes, std::vector<uint8_t>(kCode.begin(), kCode.end()));
}

TEST(ItemTable, TableOfContentsKeepsItsFirstWords) {
  FaslWriter w;
  w.tableOfContentsWords(6, kTocWords).byte(kMarker);
  MemorySource source(w.bytes());
  FaslReader reader(source);
  const uint32_t code = reader.getbyte();
  ItemOperands operands;
  ASSERT_EQ(
      readItemOperands(code, *itemRow(code, LoaderKind::Native), reader, {0x4000000}, operands)
          .status,
      OperandsRead::Status::Ok);
  EXPECT_EQ(operands.tocCount, 6u);
  EXPECT_EQ(operands.toc, (std::array<uint32_t, 5>{100, 4, 7, 8, 9}));
  EXPECT_EQ(checkTocHasSections(operands), std::nullopt);
  operands.tocCount = 4;
  EXPECT_EQ(checkTocHasSections(operands), Fault::ShortTableOfContents);
  EXPECT_EQ(reader.getbyte(), kMarker);
}

TEST(ItemTable, ARawBlockPastTheEndIsTruncation) {
  FaslWriter w;
  w.code(37).long32(100).long32(0).byte(1);
  MemorySource source(w.bytes());
  FaslReader reader(source);
  const uint32_t code = reader.getbyte();
  ItemOperands operands;
  EXPECT_EQ(
      readItemOperands(code, *itemRow(code, LoaderKind::Native), reader, {0x4000000}, operands)
          .status,
      OperandsRead::Status::Truncated);
}

// ---- stack counts ----

TEST(StackCounts, ByRowAndCount) {
  struct Case {
    uint8_t code;
    uint32_t n;
    StackCount count;
  };
  const Case cases[] = {
      {2, 0, {0, 0, 1}},  {5, 0, {0, 0, 1}},  {5, 3, {3, 3, 1}},  {6, 0, {0, 0, 0}},
      {6, 1, {1, 1, 1}},  {6, 3, {3, 3, 1}},  {11, 0, {2, 1, 0}}, {12, 0, {2, 2, 0}},
      {16, 0, {2, 1, 0}}, {36, 0, {7, 7, 1}}, {48, 0, {1, 0, 0}}, {67, 2, {3, 3, 1}},
      {68, 2, {4, 4, 1}}, {73, 2, {3, 3, 1}}, {76, 0, {1, 1, 1}}, {83, 2, {5, 5, 1}},
      {84, 0, {1, 0, 1}}, {84, 4, {5, 0, 1}}, {79, 0, {2, 2, 0}}, {22, 4, {4, 4, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "item " << int{c.code} << " n " << c.n);
    ItemOperands operands;
    operands.value[0] = c.n;
    const StackCount count = stackCount(*itemRow(c.code, LoaderKind::Native), operands);
    EXPECT_EQ(count.needs, c.count.needs);
    EXPECT_EQ(count.pops, c.count.pops);
    EXPECT_EQ(count.pushes, c.count.pushes);
  }
}

}  // namespace
