#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace lisp;

struct FixnumCase {
  int32_t value;
  lispval word;
};

TEST(LispValue, FixnumEncodingAtTheRangeBoundaries) {
  const FixnumCase cases[] = {
      {0, 0x00000000},         {1, 0x00000004},          {-1, 0xfffffffc},
      {536870911, 0x7ffffffc}, {-536870912, 0x80000000}, {-536870911, 0x80000004},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(makeFixnum(c.value), c.word) << c.value;
    EXPECT_EQ(fixnumValue(c.word), c.value) << c.value;
    EXPECT_TRUE(isFixnum(c.word)) << c.value;
    EXPECT_TRUE(fitsFixnum(c.value)) << c.value;
  }
  EXPECT_TRUE(tagOf(makeFixnum(1)) == Tag::FixnumOdd);
  for (int64_t outside : {536870912LL, -536870913LL, 1LL << 31, -(1LL << 31)})
    EXPECT_FALSE(fitsFixnum(outside)) << outside;
}

TEST(LispValue, CharacterEncoding) {
  const struct {
    uint16_t code;
    lispval word;
  } cases[] = {{0, 6}, {'A', 65 * 8 + 6}, {0xffff, 0x7fffe}};
  for (const auto& c : cases) {
    EXPECT_EQ(makeCharacter(c.code), c.word);
    EXPECT_EQ(characterCode(c.word), c.code);
    EXPECT_TRUE(isCharacter(c.word));
    EXPECT_FALSE(isFixnum(c.word));
    EXPECT_FALSE(isList(c.word));
  }
}

TEST(LispValue, PointerWordsOfEachTag) {
  const uint32_t address = 0x20001000;
  const struct {
    Tag tag;
    lispval word;
    bool list;
  } cases[] = {
      {Tag::Cons, 0x20001011, true},
      {Tag::Other, 0x20001012, false},
      {Tag::Symbol, 0x20001017, false},
  };
  for (const auto& c : cases) {
    const lispval word = pointerWord(address, c.tag);
    EXPECT_EQ(word, c.word);
    EXPECT_EQ(tagOf(word), c.tag);
    EXPECT_EQ(objectAddress(word), address);
    EXPECT_EQ(isList(word), c.list);
    EXPECT_FALSE(isFixnum(word));
  }
}

TEST(LispValue, NilPassesTheListTestAndItsCarAndCdrAreNil) {
  // nil's word points into the block with tag 5; its car and cdr lie at nil-0x11 and nil-0xd.
  alignas(8) uint32_t block[64] = {};
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block));
  const lispval nil = ((base + 0x40) & ~7u) + 0x15;  // an address with low bits ...101
  ASSERT_EQ(tagOf(nil), Tag::Nil);
  car(nil) = nil;
  cdr(nil) = nil;
  EXPECT_TRUE(isList(nil));
  EXPECT_FALSE(isCons(nil));
  EXPECT_FALSE(isSymbolTagged(nil));
  EXPECT_EQ(car(nil), nil);
  EXPECT_EQ(cdr(car(nil)), nil);
}

TEST(LispValue, ConsCarAndCdrThroughTheTaggedWord) {
  alignas(8) ConsCell cell{makeFixnum(3), makeFixnum(4)};
  const lispval word = wordOf(&cell, Tag::Cons);
  EXPECT_TRUE(isList(word));
  EXPECT_EQ(car(word), makeFixnum(3));
  EXPECT_EQ(cdr(word), makeFixnum(4));
}

TEST(ObjectLayout, VectorObjectSizesForEveryVectorType) {
  // Expected bytes for lengths 0, 1, 3 and 8, worked out from the layout rules.
  const struct {
    uint8_t code;
    uint64_t bytes[4];
  } cases[] = {
      {96, {8, 8, 16, 40}},    {97, {8, 8, 8, 8}},     {98, {8, 8, 8, 16}},
      {99, {8, 8, 16, 24}},    {100, {8, 8, 16, 40}},  {101, {8, 8, 16, 24}},
      {102, {8, 8, 16, 40}},   {103, {8, 16, 32, 72}}, {104, {8, 8, 8, 16}},
      {105, {8, 8, 16, 24}},   {106, {8, 8, 8, 8}},    {107, {8, 8, 16, 40}},
      {108, {8, 8, 16, 24}},   {109, {8, 16, 32, 72}}, {110, {8, 24, 56, 136}},
      {111, {8, 8, 16, 40}},   {112, {8, 16, 24, 40}}, {113, {8, 16, 24, 40}},
      {114, {8, 16, 32, 72}},  {115, {8, 16, 32, 72}}, {116, {8, 24, 56, 136}},
      {117, {16, 16, 16, 32}}, {118, {8, 16, 16, 16}}, {119, {8, 16, 24, 40}},
      {120, {8, 16, 24, 40}},  {121, {8, 16, 16, 16}}, {122, {8, 16, 16, 24}},
      {123, {8, 16, 24, 40}},  {124, {8, 16, 16, 16}}, {125, {8, 16, 16, 16}},
      {126, {8, 16, 16, 24}},  {127, {8, 16, 24, 40}}, {229, {8, 8, 8, 16}},
      {242, {8, 16, 16, 16}},
  };
  ASSERT_EQ(std::size(cases), kVectorTypes.size());
  const uint64_t lengths[] = {0, 1, 3, 8};
  for (const auto& c : cases) {
    const VectorType* type = vectorType(c.code);
    ASSERT_NE(type, nullptr) << int(c.code);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(vectorObjectBytes(*type, lengths[i]), c.bytes[i])
          << "type " << int(c.code) << " length " << lengths[i];
  }
}

TEST(ObjectLayout, WhereVectorDataStarts) {
  const struct {
    uint8_t code;
    int32_t dataFromWord;
  } cases[] = {{96, -0xe},  {101, -0xe}, {103, -0xa}, {108, -0xe}, {110, -0xa},
               {112, -0xa}, {117, -0xa}, {127, -0xa}, {229, -0xe}, {242, -0xa}};
  for (const auto& c : cases)
    EXPECT_EQ(offsetFromWord(vectorDataOffset(*vectorType(c.code)), Tag::Other), c.dataFromWord)
        << int(c.code);
}

TEST(ObjectLayout, SimpleStringAndNibbleVectorInMemory) {
  // "abc" as a simple string: fixnum length at p-0xe, units from p-0xa, then a zero unit.
  const VectorType& string = *vectorType(type_code::SimpleString);
  std::vector<uint64_t> memory(vectorObjectBytes(string, 3) / 8, ~0ull);
  auto* header = reinterpret_cast<uint32_t*>(memory.data());
  header[0] = headerWord(type_code::SimpleString);
  header[1] = makeFixnum(3);
  auto* units = reinterpret_cast<uint16_t*>(header + 2);
  const uint16_t text[] = {'a', 'b', 'c', 0};
  std::memcpy(units, text, sizeof text);
  const lispval p = wordOf(header, Tag::Other);
  EXPECT_EQ(fixnumValue(wordAt(p, -0xe)), 3);
  EXPECT_EQ(*reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(p - 0xa + 2 * 1)), 'b');
  EXPECT_EQ(*reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(p - 0xa + 2 * 3)), 0);

  EXPECT_EQ(vectorElementBytes(*vectorType(106), 3), 2u);
}

TEST(ObjectLayout, TypeCodeKinds) {
  const struct {
    uint8_t code;
    ObjectKind kind;
  } cases[] = {
      {0, ObjectKind::Bad},
      {7, ObjectKind::Bad},
      {8, ObjectKind::Function},
      {9, ObjectKind::Closure},
      {18, ObjectKind::Bignum},
      {20, ObjectKind::Complex},
      {21, ObjectKind::Bad},
      {63, ObjectKind::Bad},
      {64, ObjectKind::ArrayHeader},
      {75, ObjectKind::ArrayHeader},
      {76, ObjectKind::Bad},
      {77, ObjectKind::ArrayHeader},
      {79, ObjectKind::Bad},
      {95, ObjectKind::ArrayHeader},
      {96, ObjectKind::Vector},
      {127, ObjectKind::Vector},
      {128, ObjectKind::Instance},
      {130, ObjectKind::ValuesVector},
      {132, ObjectKind::TrellonTriple},
      {133, ObjectKind::Bad},
      {192, ObjectKind::FlaggedArrayHeader},
      {194, ObjectKind::Bad},
      {210, ObjectKind::FlaggedArrayHeader},
      {229, ObjectKind::Vector},
      {242, ObjectKind::Vector},
      {255, ObjectKind::Bad},
  };
  for (const auto& c : cases) EXPECT_EQ(kindOfTypeCode(c.code), c.kind) << int(c.code);
  EXPECT_EQ(arrayTypeForVector(117), 85);
}

TEST(ObjectLayout, FunctionAndBignumSizes) {
  EXPECT_EQ(functionObjectBytes(0), 40u);
  EXPECT_EQ(functionObjectBytes(1), 40u);
  EXPECT_EQ(functionObjectBytes(2), 48u);
  EXPECT_EQ(bignumHeader(3, 0xff), 0x0003ff12u);
  EXPECT_EQ(bignumDigitCount(bignumHeader(kMaxBignumDigits)), kMaxBignumDigits);
  EXPECT_EQ(symbolHashWord(0x123), 0x12307u);
}

}  // namespace
