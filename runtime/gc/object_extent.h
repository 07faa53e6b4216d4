// Size and Lisp-value words of every object that lies in the heap's object
// regions, by type code: what a walk needs to step from one object to the
// next and to visit the words that may point elsewhere.
//
// Word 0 is the header (or a symbol's type byte); h8 is the header shifted
// right by 8, "length" the fixnum length word (word 1) shifted right by 2,
// "upper" the header's upper 16 bits.
#pragma once

#include <array>
#include <cstdint>

namespace gc {

enum class Field : uint8_t { None, H8, Length, Upper, Byte1Below128 };

// ((field * mul + add) >> shift) + plus
struct Count {
  Field field;
  uint8_t mul, add, shift, plus;
};
constexpr Count fixed(uint8_t n) {
  return {Field::None, 0, 0, 0, n};
}

struct WordRange {
  uint8_t first;  // 0: no range
  Count count;
};

struct ObjectExtentRow {
  uint8_t firstCode, lastCode;
  Count cells;  // size in 8-byte cells
  WordRange values[2];
  bool codeSlot;   // function: word 4 holds the code vector
  bool sysvector;  // values by kind; never in old space
};

inline constexpr uint8_t kCodeSlotWord = 4;

inline constexpr ObjectExtentRow kObjectExtents[] = {
    // clang-format off
    {7, 7, fixed(4), {{1, fixed(1)}, {3, fixed(5)}}, false, false},         // symbol
    {135, 135, fixed(4), {{1, fixed(1)}, {3, fixed(2)}}, false, false},     // locative
    {8, 8, {Field::Upper, 1, 0, 1, 5}, {{3, fixed(1)}, {5, {Field::Upper, 1, 0, 0, 4}}}, true, false},
    {9, 9, {Field::Upper, 4, 23, 3, 0}, {{2, {Field::Upper, 1, 0, 0, 2}}, {}}, false, false},
    {10, 10, fixed(6), {{1, fixed(11)}, {}}, false, false},
    {11, 11, fixed(2), {{1, fixed(3)}, {}}, false, false},
    {12, 12, fixed(2), {{1, fixed(2)}, {3, {Field::Byte1Below128, 1, 0, 0, 0}}}, false, false},
    {14, 14, fixed(2), {{1, fixed(2)}, {3, {Field::Byte1Below128, 1, 0, 0, 0}}}, false, false},
    {13, 13, {Field::H8, 1, 11, 3, 0}, {}, false, true},
    {98, 98, {Field::H8, 1, 11, 3, 0}, {}, false, false},
    {104, 104, {Field::H8, 1, 11, 3, 0}, {}, false, false},
    {229, 229, {Field::H8, 1, 11, 3, 0}, {}, false, false},
    {15, 15, {Field::H8, 1, 0, 1, 1}, {{1, {Field::H8, 1, 0, 0, 0}}, {}}, false, false},
    {96, 96, {Field::H8, 1, 0, 1, 1}, {{1, {Field::H8, 1, 0, 0, 0}}, {}}, false, false},
    {128, 130, {Field::H8, 1, 0, 1, 1}, {{1, {Field::H8, 1, 0, 0, 0}}, {}}, false, false},
    {16, 16, fixed(1), {}, false, false},
    {17, 17, fixed(2), {}, false, false},
    {131, 131, fixed(2), {}, false, false},
    {18, 18, {Field::Upper, 1, 5, 2, 0}, {}, false, false},
    {19, 20, fixed(2), {{1, fixed(2)}, {}}, false, false},
    {64, 75, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {77, 78, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {80, 95, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {192, 193, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {197, 197, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {208, 210, fixed(3), {{1, fixed(4)}, {}}, false, false},
    {97, 97, {Field::H8, 1, 95, 6, 0}, {}, false, false},
    {99, 99, {Field::H8, 1, 5, 2, 0}, {}, false, false},
    {105, 105, {Field::H8, 1, 5, 2, 0}, {}, false, false},
    {108, 108, {Field::H8, 1, 5, 2, 0}, {}, false, false},
    {101, 101, {Field::H8, 1, 6, 2, 0}, {}, false, false},
    {100, 100, {Field::H8, 1, 0, 1, 1}, {}, false, false},
    {102, 102, {Field::H8, 1, 0, 1, 1}, {}, false, false},
    {107, 107, {Field::H8, 1, 0, 1, 1}, {}, false, false},
    {111, 111, {Field::H8, 1, 0, 1, 1}, {{1, fixed(1)}, {}}, false, false},
    {103, 103, {Field::H8, 1, 0, 0, 1}, {}, false, false},
    {109, 109, {Field::H8, 1, 0, 0, 1}, {}, false, false},
    {106, 106, {Field::H8, 1, 23, 4, 0}, {}, false, false},
    {110, 110, {Field::H8, 2, 0, 0, 1}, {}, false, false},
    {112, 112, {Field::Length, 1, 3, 1, 0}, {{2, {Field::Length, 1, 0, 0, 0}}, {}}, false, false},
    {119, 119, {Field::Length, 1, 3, 1, 0}, {{1, fixed(1)}, {}}, false, false},
    {113, 113, {Field::Length, 1, 3, 1, 0}, {}, false, false},
    {120, 120, {Field::Length, 1, 3, 1, 0}, {}, false, false},
    {123, 123, {Field::Length, 1, 3, 1, 0}, {}, false, false},
    {127, 127, {Field::Length, 1, 3, 1, 0}, {}, false, false},
    {114, 115, {Field::Length, 1, 0, 0, 1}, {}, false, false},
    {116, 116, {Field::Length, 2, 0, 0, 1}, {}, false, false},
    {117, 117, {Field::Length, 1, 8, 2, 0}, {}, false, false},
    {118, 118, {Field::Length, 1, 127, 6, 0}, {}, false, false},
    {121, 121, {Field::Length, 1, 15, 3, 0}, {}, false, false},
    {125, 125, {Field::Length, 1, 15, 3, 0}, {}, false, false},
    {242, 242, {Field::Length, 1, 15, 3, 0}, {}, false, false},
    {122, 122, {Field::Length, 1, 7, 2, 0}, {}, false, false},
    {126, 126, {Field::Length, 1, 7, 2, 0}, {}, false, false},
    {124, 124, {Field::Length, 1, 31, 4, 0}, {}, false, false},
    {132, 132, fixed(8), {}, false, false},
    // clang-format on
};

inline constexpr uint8_t kNoRow = 0xff;
inline constexpr std::array<uint8_t, 256> kExtentRowByTypeCode = [] {
  std::array<uint8_t, 256> table{};
  table.fill(kNoRow);
  for (uint8_t row = 0; row < std::size(kObjectExtents); ++row)
    for (uint32_t code = kObjectExtents[row].firstCode; code <= kObjectExtents[row].lastCode;
         ++code)
      table[code] = row;
  return table;
}();

// An object's extent, resolved from its first two words.
struct ObjectExtent {
  const ObjectExtentRow* row;  // nullptr: unknown type code
  uint32_t bytes;
  uint32_t firstWord[2], wordCount[2];  // value-word ranges
};

constexpr uint32_t fieldValue(Field field, uint32_t header, uint32_t lengthWord) {
  switch (field) {
    case Field::None:
      return 0;
    case Field::H8:
      return header >> 8;
    case Field::Length:
      return lengthWord >> 2;
    case Field::Upper:
      return header >> 16;
    case Field::Byte1Below128:
      return ((header >> 8) & 0xff) < 128 ? 1 : 0;
  }
  return 0;
}

// In 64 bits: a damaged header or length word gives a large count, never a
// small one that wraps.
constexpr uint64_t countOf(const Count& count, uint32_t header, uint32_t lengthWord) {
  return ((uint64_t{fieldValue(count.field, header, lengthWord)} * count.mul + count.add) >>
          count.shift) +
         count.plus;
}

// The largest extent an object can claim: anything larger is damage, and
// stays larger than every region, so a walk bounded by its region sees it.
inline constexpr uint32_t kMostObjectBytes = 0xfffffff8;

constexpr ObjectExtent extentOf(uint32_t header, uint32_t lengthWord) {
  const uint8_t index = kExtentRowByTypeCode[header & 0xff];
  if (index == kNoRow) return {nullptr, 0, {0, 0}, {0, 0}};
  const ObjectExtentRow& row = kObjectExtents[index];
  const uint64_t bytes = 8 * countOf(row.cells, header, lengthWord);
  const auto capped = static_cast<uint32_t>(bytes < kMostObjectBytes ? bytes : kMostObjectBytes);
  ObjectExtent extent{&row, capped, {0, 0}, {0, 0}};
  for (int i = 0; i < 2; ++i) {
    if (row.values[i].first == 0) continue;
    extent.firstWord[i] = row.values[i].first;
    extent.wordCount[i] = static_cast<uint32_t>(countOf(row.values[i].count, header, lengthWord));
  }
  return extent;
}

// A few rows checked against the table they come from.
static_assert(extentOf(7, 0).bytes == 32 && extentOf(7, 0).wordCount[1] == 5);
static_assert(extentOf(8 | (3u << 16), 0).bytes == 8 * 6);
static_assert(extentOf(8 | (3u << 16), 0).wordCount[1] == 7);
static_assert(extentOf(112, 5u << 2).bytes == 8 * 4 && extentOf(112, 5u << 2).wordCount[0] == 5);
static_assert(extentOf(117, 13u << 2).bytes == 8 * 5);
static_assert(extentOf(12 | (200u << 8), 0).wordCount[1] == 0);
static_assert(extentOf(12, 0).wordCount[1] == 1);
static_assert(extentOf(76, 0).row == nullptr && extentOf(21, 0).row == nullptr);
// A damaged length word: fixnum -1 would be -8 bytes in 32 bits.
static_assert(extentOf(116, 0xfffffffc).bytes == kMostObjectBytes);
static_assert(extentOf(117, 0x3ffffffcu).bytes == 8 * 0x04000001u);

}  // namespace gc
