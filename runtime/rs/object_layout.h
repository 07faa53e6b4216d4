// Byte layouts of the Lisp heap objects and their type codes.
//
// Each record is the object as it lies in memory from its first byte; the
// offset of a field from the tagged word is (field offset - 16 - tag), and the
// static_asserts below pin those offsets, which compiled code relies on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp {

// Offset of a field from its object's tagged word.
constexpr int32_t offsetFromWord(size_t fieldOffset, Tag tag) {
  return static_cast<int32_t>(fieldOffset) - static_cast<int32_t>(kPointerBias) -
         static_cast<int32_t>(tag);
}

// ---- cons, symbol and locative (no header word) ----

struct ConsCell {
  lispval car;
  lispval cdr;
};
static_assert(sizeof(ConsCell) == 8);
static_assert(offsetFromWord(offsetof(ConsCell, car), Tag::Cons) == kCarOffset);
static_assert(offsetFromWord(offsetof(ConsCell, cdr), Tag::Cons) == kCdrOffset);

inline constexpr uint8_t kSymbolTypeByte = 7;
inline constexpr uint8_t kLocativeTypeByte = 0x87;

struct SymbolObject {
  uint8_t typeByte;  // kSymbolTypeByte
  uint8_t flags;     // 0 when made; its bits are Lisp code's
  uint16_t zero;
  lispval globalValue;  // the unbound marker when made
  uint32_t hashWord;    // (hash code << 8) | 7
  lispval function;     // the initial function object when made
  lispval name;         // a string, or nil
  lispval propertyList;
  lispval valueVector;  // simple vector; element 0 is the symbol itself
  lispval lispSlot;
};
static_assert(sizeof(SymbolObject) == 32);
static_assert(offsetFromWord(offsetof(SymbolObject, typeByte), Tag::Symbol) == -0x17);
static_assert(offsetFromWord(offsetof(SymbolObject, flags), Tag::Symbol) == -0x16);
static_assert(offsetFromWord(offsetof(SymbolObject, zero), Tag::Symbol) == -0x15);
static_assert(offsetFromWord(offsetof(SymbolObject, globalValue), Tag::Symbol) == -0x13);
static_assert(offsetFromWord(offsetof(SymbolObject, hashWord), Tag::Symbol) == -0xf);
static_assert(offsetFromWord(offsetof(SymbolObject, function), Tag::Symbol) == -0xb);
static_assert(offsetFromWord(offsetof(SymbolObject, name), Tag::Symbol) == -7);
static_assert(offsetFromWord(offsetof(SymbolObject, propertyList), Tag::Symbol) == -3);
static_assert(offsetFromWord(offsetof(SymbolObject, valueVector), Tag::Symbol) == 1);
static_assert(offsetFromWord(offsetof(SymbolObject, lispSlot), Tag::Symbol) == 5);

constexpr uint32_t symbolHashWord(int32_t hashCode) {
  return (static_cast<uint32_t>(hashCode) << 8) | kSymbolTypeByte;
}

// A binding cell: symbol-shaped, with the bound value where a symbol keeps
// its global value and the bound symbol in the name word.
struct LocativeObject {
  uint8_t typeByte;  // kLocativeTypeByte
  uint8_t flags;     // 0
  uint16_t zero;
  lispval value;
  lispval hashWord;  // nil
  lispval function;  // the initial function object
  lispval symbol;
  lispval unused[3];  // nil
};
static_assert(sizeof(LocativeObject) == sizeof(SymbolObject));
static_assert(offsetof(LocativeObject, value) == offsetof(SymbolObject, globalValue));
static_assert(offsetof(LocativeObject, symbol) == offsetof(SymbolObject, name));

// ---- objects with a header word ----

// Header: type code in byte 0, a per-type byte 1, a per-type 16-bit field above.
constexpr uint32_t headerWord(uint8_t typeCode, uint8_t byte1 = 0, uint16_t upper = 0) {
  return typeCode | (static_cast<uint32_t>(byte1) << 8) | (static_cast<uint32_t>(upper) << 16);
}
constexpr uint32_t headerWithLength(uint8_t typeCode, uint32_t length) {
  return typeCode | (length << 8);
}
constexpr uint8_t typeCodeOf(uint32_t header) {
  return static_cast<uint8_t>(header);
}
constexpr uint32_t headerLength(uint32_t header) {
  return header >> 8;
}
inline constexpr uint32_t kMaxHeaderLength = 0xffffff;

inline constexpr int32_t kHeaderOffset = -0x12;  // header word from an other-object word

namespace type_code {
inline constexpr uint8_t Function = 8;
inline constexpr uint8_t Closure = 9;
inline constexpr uint8_t HashTable = 10;
inline constexpr uint8_t Readtable = 11;
inline constexpr uint8_t StandardInstance = 12;
inline constexpr uint8_t Sysvector = 13;
inline constexpr uint8_t RemoteObject = 14;
inline constexpr uint8_t Structure = 15;
inline constexpr uint8_t SingleFloat = 16;
inline constexpr uint8_t DoubleFloat = 17;
inline constexpr uint8_t Bignum = 18;
inline constexpr uint8_t Ratio = 19;
inline constexpr uint8_t Complex = 20;
inline constexpr uint8_t FirstVector = 96;
inline constexpr uint8_t LispVector = 96;
inline constexpr uint8_t ByteVector = 98;
inline constexpr uint8_t DoubleFloatVector = 103;
inline constexpr uint8_t CodeVector = 108;
inline constexpr uint8_t ComplexDoubleVector = 110;
inline constexpr uint8_t EntryVector = 111;
inline constexpr uint8_t SimpleVector = 112;
inline constexpr uint8_t SimpleString = 117;
inline constexpr uint8_t LastVector = 127;
inline constexpr uint8_t PlainVector = 229;
inline constexpr uint8_t UnitVector = 242;
inline constexpr uint8_t Instance = 128;
inline constexpr uint8_t InstanceAlternate = 129;
inline constexpr uint8_t ValuesVector = 130;
inline constexpr uint8_t TrellonUpi = 131;
inline constexpr uint8_t TrellonTriple = 132;
inline constexpr uint8_t FlaggedArray = 210;  // the one flagged array form element access takes
}  // namespace type_code

// The bit of value 16 in a vector's type code: a fixnum length word follows the header.
inline constexpr uint8_t kFixnumLengthBit = 16;

// What a type code stands for; codes of kind Bad are bad objects.
enum class ObjectKind : uint8_t {
  Bad,
  Function,
  Closure,
  HashTable,
  Readtable,
  StandardInstance,
  Sysvector,
  RemoteObject,
  Structure,
  SingleFloat,
  DoubleFloat,
  Bignum,
  Ratio,
  Complex,
  ArrayHeader,
  FlaggedArrayHeader,
  Vector,
  Instance,
  ValuesVector,
  TrellonUpi,
  TrellonTriple,
};

// The type-code table as ranges; every code outside them is a bad object.
struct TypeCodeRange {
  uint8_t first;
  uint8_t last;
  ObjectKind kind;
};

inline constexpr TypeCodeRange kTypeCodeRanges[] = {
    {8, 8, ObjectKind::Function},
    {9, 9, ObjectKind::Closure},
    {10, 10, ObjectKind::HashTable},
    {11, 11, ObjectKind::Readtable},
    {12, 12, ObjectKind::StandardInstance},
    {13, 13, ObjectKind::Sysvector},
    {14, 14, ObjectKind::RemoteObject},
    {15, 15, ObjectKind::Structure},
    {16, 16, ObjectKind::SingleFloat},
    {17, 17, ObjectKind::DoubleFloat},
    {18, 18, ObjectKind::Bignum},
    {19, 19, ObjectKind::Ratio},
    {20, 20, ObjectKind::Complex},
    {64, 75, ObjectKind::ArrayHeader},
    {77, 78, ObjectKind::ArrayHeader},
    {80, 95, ObjectKind::ArrayHeader},
    {96, 127, ObjectKind::Vector},
    {128, 129, ObjectKind::Instance},
    {130, 130, ObjectKind::ValuesVector},
    {131, 131, ObjectKind::TrellonUpi},
    {132, 132, ObjectKind::TrellonTriple},
    {192, 193, ObjectKind::FlaggedArrayHeader},
    {197, 197, ObjectKind::FlaggedArrayHeader},
    {208, 210, ObjectKind::FlaggedArrayHeader},
    {229, 229, ObjectKind::Vector},
    {242, 242, ObjectKind::Vector},
};

inline constexpr std::array<ObjectKind, 256> kObjectKindByTypeCode = [] {
  std::array<ObjectKind, 256> table{};
  table.fill(ObjectKind::Bad);
  for (const TypeCodeRange& range : kTypeCodeRanges)
    for (uint32_t code = range.first; code <= range.last; ++code) table[code] = range.kind;
  return table;
}();

constexpr ObjectKind kindOfTypeCode(uint8_t code) {
  return kObjectKindByTypeCode[code];
}

// ---- vectors ----

enum class ElementKind : uint8_t {
  LispValue,
  Bit,
  Unsigned8,
  Unsigned16,
  Unsigned32,
  Character,
  SingleFloat,
  DoubleFloat,
  Signed8,
  Signed16,
  Nibble,
  Signed32,
  Code,
  ComplexSingle,
  ComplexDouble,
  Entry,
  Fixnum,
  Refused,  // printed as a vector, element access refuses it
};

struct VectorType {
  uint8_t code;
  ElementKind element;
  uint8_t widthBits;   // bits per element (0: no fixed width)
  bool fixnumLength;   // a fixnum length word after the header
  bool alignmentWord;  // an alignment word after the header (8-byte aligned data)
  bool zeroUnit;       // one 16-bit zero unit after the last element
};

inline constexpr std::array<VectorType, 34> kVectorTypes = {{
    {96, ElementKind::LispValue, 32, false, false, false},
    {97, ElementKind::Bit, 1, false, false, false},
    {98, ElementKind::Unsigned8, 8, false, false, false},
    {99, ElementKind::Unsigned16, 16, false, false, false},
    {100, ElementKind::Unsigned32, 32, false, false, false},
    {101, ElementKind::Character, 16, false, false, true},
    {102, ElementKind::SingleFloat, 32, false, false, false},
    {103, ElementKind::DoubleFloat, 64, false, true, false},
    {104, ElementKind::Signed8, 8, false, false, false},
    {105, ElementKind::Signed16, 16, false, false, false},
    {106, ElementKind::Nibble, 4, false, false, false},
    {107, ElementKind::Signed32, 32, false, false, false},
    {108, ElementKind::Code, 16, false, false, false},
    {109, ElementKind::ComplexSingle, 64, false, false, false},
    {110, ElementKind::ComplexDouble, 128, false, true, false},
    {111, ElementKind::Entry, 32, false, false, false},
    {112, ElementKind::LispValue, 32, true, false, false},
    {113, ElementKind::SingleFloat, 32, true, false, false},
    {114, ElementKind::DoubleFloat, 64, true, false, false},
    {115, ElementKind::ComplexSingle, 64, true, false, false},
    {116, ElementKind::ComplexDouble, 128, true, false, false},
    {117, ElementKind::Character, 16, true, false, true},
    {118, ElementKind::Bit, 1, true, false, false},
    {119, ElementKind::Unsigned32, 32, true, false, false},
    {120, ElementKind::Fixnum, 32, true, false, false},
    {121, ElementKind::Signed8, 8, true, false, false},
    {122, ElementKind::Signed16, 16, true, false, false},
    {123, ElementKind::Signed32, 32, true, false, false},
    {124, ElementKind::Nibble, 4, true, false, false},
    {125, ElementKind::Unsigned8, 8, true, false, false},
    {126, ElementKind::Unsigned16, 16, true, false, false},
    {127, ElementKind::Unsigned32, 32, true, false, false},
    {229, ElementKind::Refused, 8, false, false, false},  // sized as bytes, as the collector walks it
    {242, ElementKind::Refused, 8, true, false, false},
}};

// The row of a vector type code, or nullptr.
constexpr const VectorType* vectorType(uint8_t code) {
  for (const VectorType& row : kVectorTypes)
    if (row.code == code) return &row;
  return nullptr;
}

// Byte offset of the first element from the header.
constexpr uint32_t vectorDataOffset(const VectorType& type) {
  return type.fixnumLength || type.alignmentWord ? 8 : 4;
}

// Bytes of n elements, in whole bytes.
constexpr uint64_t vectorElementBytes(const VectorType& type, uint64_t n) {
  switch (type.widthBits) {
    case 0:
      return 0;
    case 1:
      return (n + 7) / 8;
    case 4:
      return (n + 1) / 2;
    default:
      return n * (type.widthBits / 8);
  }
}

constexpr uint64_t roundUpTo8(uint64_t bytes) {
  return (bytes + 7) & ~uint64_t{7};
}

// Heap size of a vector of n elements: header, length or alignment word,
// elements, the zero unit of character vectors, brought up to 8 bytes.
constexpr uint64_t vectorObjectBytes(const VectorType& type, uint64_t n) {
  return roundUpTo8(vectorDataOffset(type) + vectorElementBytes(type, n) + (type.zeroUnit ? 2 : 0));
}

// ---- functions, closures, code vectors ----

struct FunctionObject {
  uint32_t header;  // 8 | flags << 8 | constant count << 16
  uint32_t start;   // every call jumps here
  uint32_t hash;    // 24-bit serial number << 8
  lispval lispSlot1;
  lispval codeVector;
  lispval lispSlot2;
  uint32_t raw[3];
  lispval constants[1];  // constant count words
};
inline constexpr size_t kFunctionFixedBytes = offsetof(FunctionObject, constants);
static_assert(kFunctionFixedBytes == 36);
static_assert(offsetFromWord(offsetof(FunctionObject, start), Tag::Other) == -0xe);
static_assert(offsetFromWord(offsetof(FunctionObject, hash), Tag::Other) == -0xa);
static_assert(offsetFromWord(offsetof(FunctionObject, lispSlot1), Tag::Other) == -6);
static_assert(offsetFromWord(offsetof(FunctionObject, codeVector), Tag::Other) == -2);
static_assert(offsetFromWord(offsetof(FunctionObject, lispSlot2), Tag::Other) == 2);
static_assert(offsetFromWord(offsetof(FunctionObject, raw), Tag::Other) == 6);
static_assert(offsetFromWord(offsetof(FunctionObject, constants), Tag::Other) == 0x12);

inline constexpr uint8_t kByteCodeFunctionFlags = 0xc8;

constexpr uint32_t functionObjectBytes(uint32_t constantCount) {
  return static_cast<uint32_t>(roundUpTo8(kFunctionFixedBytes + 4ull * constantCount));
}

struct ClosureObject {
  uint32_t header;  // 9 | flags << 8 | extra slot count << 16
  uint32_t start;   // the closure entry
  lispval templateFunction;
  lispval environment;
  lispval extra[1];
};
static_assert(offsetFromWord(offsetof(ClosureObject, start), Tag::Other) == -0xe);
static_assert(offsetFromWord(offsetof(ClosureObject, templateFunction), Tag::Other) == -0xa);
static_assert(offsetFromWord(offsetof(ClosureObject, environment), Tag::Other) == -6);
static_assert(offsetFromWord(offsetof(ClosureObject, extra), Tag::Other) == -2);

// Code vector: header bits 8-31 count 16-bit units, the code plus 4 extra units.
inline constexpr uint32_t kCodeVectorExtraUnits = 4;
inline constexpr int32_t kCodeVectorCodeOffset = -0xe;

// ---- numbers ----

struct BignumObject {
  uint32_t header;     // digit count << 16 | sign byte << 8 | 18
  uint16_t digits[2];  // least significant first; digit count of them
};
static_assert(offsetFromWord(offsetof(BignumObject, digits), Tag::Other) == -0xe);
inline constexpr uint32_t kMaxBignumDigits = 65535;

constexpr uint32_t bignumHeader(uint32_t digitCount, uint8_t signByte = 0) {
  return (digitCount << 16) | (static_cast<uint32_t>(signByte) << 8) | type_code::Bignum;
}
constexpr uint32_t bignumDigitCount(uint32_t header) {
  return header >> 16;
}

struct SingleFloatObject {
  uint32_t header;
  float value;
};
static_assert(sizeof(SingleFloatObject) == 8);
static_assert(offsetFromWord(offsetof(SingleFloatObject, value), Tag::Other) == -0xe);

struct alignas(8) DoubleFloatObject {
  uint32_t header;
  uint32_t alignment;
  double value;
};
static_assert(sizeof(DoubleFloatObject) == 16);
static_assert(offsetFromWord(offsetof(DoubleFloatObject, value), Tag::Other) == -0xa);

struct TwoPartObject {  // ratio (numerator, denominator) and complex (real, imaginary)
  uint32_t header;
  lispval first;
  lispval second;
};
static_assert(sizeof(TwoPartObject) == 12);

// ---- vectors with a fixnum length, strings, array headers ----

struct FixnumLengthVector {
  uint32_t header;
  lispval length;  // fixnum
  uint32_t data[1];
};
static_assert(offsetFromWord(offsetof(FixnumLengthVector, length), Tag::Other) == -0xe);
static_assert(offsetFromWord(offsetof(FixnumLengthVector, data), Tag::Other) == -0xa);

struct HeaderLengthVector {
  uint32_t header;  // type | length << 8
  uint32_t data[1];
};
static_assert(offsetFromWord(offsetof(HeaderLengthVector, data), Tag::Other) == -0xe);

struct ArrayHeaderObject {
  uint32_t header;  // type | flags << 8 | 16-bit field << 16
  uint32_t words[4];
  lispval serial;  // fixnum serial number
};
static_assert(sizeof(ArrayHeaderObject) == 24);

// Array type of an array whose data is a vector of type v (96 to 127).
constexpr uint8_t arrayTypeForVector(uint8_t vectorCode) {
  return static_cast<uint8_t>(vectorCode & ~0x20);
}

// ---- the new-space prefix ----

// Two words before every other object the runtime allocates in new space.
struct NewSpacePrefix {
  uint32_t chainLink;  // used by code vectors, which are chained through it
  uint32_t stamp;      // allocation stamp; upper 16 bits may hold a kind number
};
static_assert(sizeof(NewSpacePrefix) == 8);
inline constexpr uint32_t kPrefixToWord = 0x1a;  // p = prefix + 0x1a
static_assert(sizeof(NewSpacePrefix) + kPointerBias + static_cast<uint32_t>(Tag::Other) ==
              kPrefixToWord);
inline constexpr int32_t kPrefixKindOffset = -0x14;  // 16-bit kind field from p

namespace prefix_kind {
inline constexpr uint16_t ValuesVector = 2;
inline constexpr uint16_t WeakVector = 6;
inline constexpr uint16_t Finalization = 10;
inline constexpr uint16_t WeakKeyVectorWithArgument = 20;
inline constexpr uint16_t WeakKeyVector = 22;
}  // namespace prefix_kind

}  // namespace lisp
