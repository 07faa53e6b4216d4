// make_svector's checks and filling, and the shrinking of vectors in place.
//
// Every check runs before the object is allocated, so that a runtime error
// leaves nothing behind; filling then only converts what the checks
// accepted. Stores of Lisp values into an object outside new space mark its
// page through the barrier's native side.

#include "runtime/rs/svector_support.h"

#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::ElementKind;
using lisp::lispval;
using lisp::VectorType;
namespace tc = lisp::type_code;
namespace err = lisp::svector_error;

// The longest lengths: header-length vectors keep theirs in 24 bits; 64- and
// 128-bit elements are limited so that the size stays below 2^31 bytes.
constexpr uint32_t kMaxHeaderLength = lisp::kMaxHeaderLength;
constexpr uint32_t kMax64BitLength = 268435455;
constexpr uint32_t kMax128BitLength = 134217727;

// Unsigned 32-bit vectors whose element 0 holds a Lisp value, nil when made.
constexpr uint8_t kWordVectorWithValue = 119;

// How the initial element becomes the element representation.
enum class Conversion : uint8_t {
  Boxed,          // the word itself
  Integer32,      // a fixnum, or a bignum's two low digits with its sign
  FixnumWord,     // a fixnum word (type 120 keeps nothing else)
  SingleFloat,    // a single-float's bits
  DoubleFloat,    // a double-float's bits
  ComplexSingle,  // a complex of single-floats: real, then imaginary bits
  ComplexDouble,  // a complex of double-floats
  SmallInteger,   // the fixnum's low bits (bits, nibbles, 8 and 16 bits, code)
  Character,      // the character's code
  Never,          // type 242 is never filled
};

constexpr Conversion conversionOf(const VectorType& type) {
  switch (type.element) {
    case ElementKind::LispValue:
      return Conversion::Boxed;
    case ElementKind::Unsigned32:
    case ElementKind::Signed32:
    case ElementKind::Entry:
      return Conversion::Integer32;
    case ElementKind::Fixnum:
      return Conversion::FixnumWord;
    case ElementKind::SingleFloat:
      return Conversion::SingleFloat;
    case ElementKind::DoubleFloat:
      return Conversion::DoubleFloat;
    case ElementKind::ComplexSingle:
      return Conversion::ComplexSingle;
    case ElementKind::ComplexDouble:
      return Conversion::ComplexDouble;
    case ElementKind::Character:
      return Conversion::Character;
    case ElementKind::Refused:
      // Type 229's elements are bytes, filled like the 8-bit types.
      return type.code == tc::UnitVector ? Conversion::Never : Conversion::SmallInteger;
    default:
      return Conversion::SmallInteger;
  }
}

// Structures and values vectors are made like type 96.
const VectorType* makeableType(lispval type) {
  if (!lisp::isFixnum(type)) return nullptr;
  const int32_t code = lisp::fixnumValue(type);
  if (code == tc::Structure || code == tc::ValuesVector) return lisp::vectorType(tc::LispVector);
  if (code < 0 || code > 0xff) return nullptr;
  return lisp::vectorType(static_cast<uint8_t>(code));
}

uint32_t headerOf(lispval object) {
  return lisp::wordAt(object, lisp::kHeaderOffset);
}
bool isOtherOfType(lispval word, uint8_t code) {
  return lisp::isOther(word) && lisp::typeCodeOf(headerOf(word)) == code;
}
bool isComplexOf(lispval word, uint8_t partCode) {
  return isOtherOfType(word, tc::Complex) && isOtherOfType(lisp::wordAt(word, -0xe), partCode) &&
         isOtherOfType(lisp::wordAt(word, -0xa), partCode);
}

// Whether the conversion can read what it needs from x.
bool convertible(Conversion conversion, lispval x) {
  switch (conversion) {
    case Conversion::Integer32:
      return lisp::isFixnum(x) || isOtherOfType(x, tc::Bignum);
    case Conversion::FixnumWord:
      return lisp::isFixnum(x);
    case Conversion::SingleFloat:
      return isOtherOfType(x, tc::SingleFloat);
    case Conversion::DoubleFloat:
      return isOtherOfType(x, tc::DoubleFloat);
    case Conversion::ComplexSingle:
      return isComplexOf(x, tc::SingleFloat);
    case Conversion::ComplexDouble:
      return isComplexOf(x, tc::DoubleFloat);
    default:
      return true;
  }
}

uint32_t integer32Of(lispval x) {
  if (lisp::isFixnum(x)) return static_cast<uint32_t>(lisp::fixnumValue(x));
  const uint32_t header = headerOf(x);
  const uint32_t digits = lisp::bignumDigitCount(header);
  const auto* digit = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(x - 0xe));
  uint32_t value = digits > 0 ? digit[0] : 0;
  if (digits > 1) value |= uint32_t{digit[1]} << 16;
  return ((header >> 8) & 0xff) != 0 ? 0u - value : value;
}

// One element's bytes, or for elements narrower than a byte one byte of
// them, repeated to fill the data.
struct FillUnit {
  uint8_t bytes[16];
  uint32_t size;
};

FillUnit fillUnitOf(const VectorType& type, Conversion conversion, lispval x) {
  FillUnit unit{};
  auto put = [&unit](const void* from, uint32_t size) {
    std::memcpy(unit.bytes + unit.size, from, size);
    unit.size += size;
  };
  switch (conversion) {
    case Conversion::Integer32: {
      const uint32_t value = integer32Of(x);
      put(&value, 4);
      break;
    }
    case Conversion::SingleFloat:
      put(reinterpret_cast<const void*>(static_cast<uintptr_t>(x - 0xe)), 4);
      break;
    case Conversion::DoubleFloat:
      put(reinterpret_cast<const void*>(static_cast<uintptr_t>(x - 0xa)), 8);
      break;
    case Conversion::ComplexSingle:
    case Conversion::ComplexDouble: {
      const bool single = conversion == Conversion::ComplexSingle;
      for (int32_t part : {-0xe, -0xa}) {
        const lispval number = lisp::wordAt(x, part);
        put(reinterpret_cast<const void*>(static_cast<uintptr_t>(number - (single ? 0xe : 0xa))),
            single ? 4 : 8);
      }
      break;
    }
    case Conversion::Character: {
      const uint16_t code = lisp::characterCode(x);
      put(&code, 2);
      break;
    }
    default: {  // SmallInteger and FixnumWord
      const uint32_t value = static_cast<uint32_t>(lisp::fixnumValue(x));
      if (conversion == Conversion::FixnumWord) {
        put(&x, 4);
      } else if (type.widthBits == 1) {
        unit.bytes[0] = (value & 1) ? 0xff : 0;
        unit.size = 1;
      } else if (type.widthBits == 4) {
        unit.bytes[0] = static_cast<uint8_t>((value & 0xf) * 0x11);
        unit.size = 1;
      } else {
        put(&value, type.widthBits / 8);
      }
      break;
    }
  }
  return unit;
}

uint32_t* wordPointer(uint32_t address) {
  return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

uint32_t newSpaceBoundary(lispval nil) {
  return lisp::wordAt(nil, lisp::nil_block::global::kNewSpaceBoundary);
}

// A Lisp value into a word of an object; outside new space its page is
// marked when the value needs it.
void storeValue(uint32_t slot, lispval value) {
  *wordPointer(slot) = value;
  if (slot < GsNewFence || slot >= GsNewTop) cnoteroot(slot);
}

// ---- shrinking ----

// Object bytes of n elements counted as shrinking counts them: the element
// bytes, the zero unit of character vectors, and the header and length or
// alignment word, brought up to 8.
uint32_t shrunkBytes(const VectorType& type, uint32_t n) {
  return static_cast<uint32_t>(lisp::vectorObjectBytes(type, n));
}

// Marks the tail an object no longer uses, so that the heap still walks:
// in new space a filler prefix (its size, then -1), elsewhere a byte vector.
void markFreedTail(uint32_t header, uint32_t oldBytes, uint32_t newBytes, lispval nil) {
  if (newBytes >= oldBytes) return;
  const uint32_t gap = oldBytes - newBytes;
  uint32_t* tail = wordPointer(header + newBytes);
  if (header >= newSpaceBoundary(nil)) {
    tail[0] = gap;
    tail[1] = 0xffffffff;
  } else {
    tail[0] = lisp::headerWithLength(tc::ByteVector, gap - 4);
  }
}

// The vector row that sizes a header-length object being shrunk: types
// 96-111, and the word objects 128 and 130 as type 96.
const VectorType* shrinkableHeaderType(uint8_t code) {
  if (code >= tc::LispVector && code <= tc::EntryVector) return lisp::vectorType(code);
  if (code == tc::Instance || code == tc::ValuesVector) return lisp::vectorType(tc::LispVector);
  return nullptr;
}

bool isNegativeFixnum(lispval word) {
  return lisp::fixnumValue(word) < 0;
}

}  // namespace

extern "C" {

uint64_t svector_plan(const SvectorArguments* arguments, lispval nil) {
  const lispval length = arguments->length;
  if (!lisp::isFixnum(length) || isNegativeFixnum(length)) return err::kBadLength;
  const VectorType* type = makeableType(arguments->type);
  if (!type) return err::kBadType;
  const uint32_t n = static_cast<uint32_t>(lisp::fixnumValue(length));
  const uint32_t limit = !type->fixnumLength      ? kMaxHeaderLength
                         : type->widthBits == 64  ? kMax64BitLength
                         : type->widthBits == 128 ? kMax128BitLength
                                                  : 0xffffffff;
  if (n > limit) return err::kTooLong;
  const Conversion conversion = conversionOf(*type);
  if (arguments->fill != nil) {
    if (conversion == Conversion::Never && n != 0) return err::kBadLength;
    // Checked whatever the length: a request to fill with what the element
    // type cannot hold is refused even when nothing would be filled.
    if (!convertible(conversion, arguments->initial)) return err::kBadInitial;
  }
  const uint64_t bytes = lisp::vectorObjectBytes(*type, n);
  return bytes << 32;
}

lispval svector_initialise(uint32_t header, const SvectorArguments* arguments, lispval nil) {
  const uint8_t code = static_cast<uint8_t>(lisp::fixnumValue(arguments->type));
  const VectorType& type = *makeableType(arguments->type);
  const uint32_t n = static_cast<uint32_t>(lisp::fixnumValue(arguments->length));
  const uint32_t data = header + lisp::vectorDataOffset(type);
  const uint32_t dataBytes = static_cast<uint32_t>(lisp::vectorElementBytes(type, n));
  if (type.fixnumLength) {
    wordPointer(header)[0] = code;
    wordPointer(header)[1] = arguments->length;
  } else {
    wordPointer(header)[0] = lisp::headerWithLength(code, n);
  }

  const Conversion conversion = conversionOf(type);
  const lispval x = arguments->initial;
  if (conversion == Conversion::Boxed) {
    for (uint32_t i = 0; i < n; ++i) storeValue(data + 4 * i, x);
  } else if (arguments->fill != nil && conversion != Conversion::Never) {
    const FillUnit unit = fillUnitOf(type, conversion, x);
    auto* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(data));
    if (unit.size == 1) {
      std::memset(bytes, unit.bytes[0], dataBytes);
    } else {
      for (uint32_t at = 0; at < dataBytes; at += unit.size)
        std::memcpy(bytes + at, unit.bytes, unit.size);
    }
  } else if (conversion == Conversion::FixnumWord) {
    std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(data)), 0, dataBytes);
  }
  if (type.zeroUnit) *reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(data + dataBytes)) = 0;
  // A vector without elements has no element 0 (its word after the header
  // is the 0 below, or padding).
  if ((code == tc::EntryVector || code == kWordVectorWithValue) && n > 0)
    wordPointer(data)[0] = nil;
  if (!type.fixnumLength && n == 0) wordPointer(header)[1] = 0;
  return header + lisp::kPointerBias + static_cast<uint32_t>(lisp::Tag::Other);
}

uint32_t svector_shrink(const lispval* arguments, lispval nil) {
  const lispval v = arguments[0];
  const lispval length = arguments[1];
  if (!lisp::isFixnum(length)) return err::kLengthNotFixnum;
  if (!lisp::isOther(v)) return err::kCannotShrink;
  const uint32_t header = headerOf(v);
  if ((header & 0x70) == 0x70) return lvector_shrink(arguments, nil);
  if (isNegativeFixnum(length)) return err::kBadLength;
  const uint32_t n = static_cast<uint32_t>(lisp::fixnumValue(length));
  const uint32_t current = lisp::headerLength(header);
  if (n >= current) return 0;
  const VectorType* type = shrinkableHeaderType(lisp::typeCodeOf(header));
  if (!type) return err::kCannotShrink;

  const uint32_t address = lisp::objectAddress(v);
  wordPointer(address)[0] = lisp::headerWithLength(lisp::typeCodeOf(header), n);
  if (type->zeroUnit) *reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(address + 4 + 2 * n)) = 0;
  markFreedTail(address, shrunkBytes(*type, current), shrunkBytes(*type, n), nil);
  return 0;
}

uint32_t lvector_shrink(const lispval* arguments, lispval nil) {
  const lispval v = arguments[0];
  const lispval length = arguments[1];
  if (!lisp::isFixnum(length)) return err::kLengthNotFixnum;
  if (!lisp::isOther(v)) return err::kCannotShrink;
  const uint32_t header = headerOf(v);
  const VectorType* type = lisp::vectorType(lisp::typeCodeOf(header));
  if (!type || !type->fixnumLength) return err::kCannotShrink;
  if (isNegativeFixnum(length)) return err::kBadLength;
  const uint32_t n = static_cast<uint32_t>(lisp::fixnumValue(length));
  const uint32_t current = static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(v, -0xe)));
  if (n >= current) return 0;

  const uint32_t address = lisp::objectAddress(v);
  wordPointer(address)[0] = lisp::typeCodeOf(header);
  wordPointer(address)[1] = length;
  if (type->zeroUnit) *reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(address + 8 + 2 * n)) = 0;
  markFreedTail(address, shrunkBytes(*type, current), shrunkBytes(*type, n), nil);
  return 0;
}

}  // extern "C"
