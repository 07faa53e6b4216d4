// Element access through vectors and array headers, and the filling of new
// array headers.
//
// Every check runs before anything is read or written: a call that ends in a
// runtime error has touched no element, and every word it reads as part of
// an object has first been seen to belong to an object of the right kind (an
// immediate is never read through).

#include "runtime/rs/array_access.h"

#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::ElementKind;
using lisp::lispval;
using lisp::ObjectKind;
using lisp::VectorType;
namespace err = lisp::array_error;
namespace tc = lisp::type_code;

// Words of an array header from its tagged word.
constexpr int32_t kArrayWord1 = -0xe;
constexpr int32_t kArrayData = -0xa;
constexpr int32_t kArrayDisplacement = -6;
constexpr int32_t kArrayDimensions = -2;
constexpr int32_t kArraySerialWord = 2;
constexpr int32_t kLengthWord = -0xe;

// Array-header flags byte.
constexpr uint8_t kFlagSixth = 1;
constexpr uint8_t kFlagWord1 = 2;
constexpr uint8_t kFlagSeventh = 4;
constexpr uint8_t kVectorTypeBit = 0x20;  // cleared to make an array type

// The first axis of a one-dimensional array and the ranges of the narrow
// element kinds. Bits and nibbles take 0-1 and 0-15, as their width holds.
struct IntegerRange {
  int32_t least, most;
};
constexpr IntegerRange rangeOf(ElementKind kind) {
  switch (kind) {
    case ElementKind::Bit:
      return {0, 1};
    case ElementKind::Nibble:
      return {0, 15};
    case ElementKind::Unsigned8:
      return {0, 255};
    case ElementKind::Signed8:
      return {-128, 127};
    case ElementKind::Unsigned16:
    case ElementKind::Code:
      return {0, 65535};
    case ElementKind::Signed16:
      return {-32768, 32767};
    default:
      return {lisp::kMostNegativeFixnum, lisp::kMostPositiveFixnum};
  }
}

uint32_t headerOf(lispval object) {
  return lisp::wordAt(object, lisp::kHeaderOffset);
}
uint8_t typeOf(lispval object) {
  return lisp::typeCodeOf(headerOf(object));
}
bool isOtherOfType(lispval word, uint8_t code) {
  return lisp::isOther(word) && typeOf(word) == code;
}

// Array headers that aref reads through: the plain forms and 210.
bool readableArrayHeader(uint8_t code) {
  return lisp::kindOfTypeCode(code) == ObjectKind::ArrayHeader || code == tc::FlaggedArray;
}
// Array headers that inv_s_aref and the displacement walk go through: every
// plain and flagged form.
bool anyArrayHeader(uint8_t code) {
  const ObjectKind kind = lisp::kindOfTypeCode(code);
  return kind == ObjectKind::ArrayHeader || kind == ObjectKind::FlaggedArrayHeader;
}
bool isArrayHeaderObject(lispval word) {
  return lisp::isOther(word) && anyArrayHeader(typeOf(word));
}
// Vector types element access takes (229 is refused as not a vector).
const VectorType* accessibleVector(uint8_t code) {
  return code == tc::PlainVector ? nullptr : lisp::vectorType(code);
}

uint32_t* wordPointer(uint32_t address) {
  return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

// A Lisp value into a word of an object; outside new space its page is
// marked when the value needs it.
void storeValue(uint32_t slot, lispval value) {
  *wordPointer(slot) = value;
  if (slot < GsNewFence || slot >= GsNewTop) cnoteroot(slot);
}

// A refusal: the error code and, for the codes that carry one, its datum.
struct Failure {
  uint32_t code = 0;
  lispval datum = 0;
  bool withDatum = false;
};
Failure fail(uint32_t code) {
  return {code, 0, false};
}
Failure failWith(uint32_t code, lispval datum) {
  return {code, datum, true};
}

// ---- the vector and the element ----

struct ElementPlace {
  const VectorType* type = nullptr;
  uint32_t data = 0;  // address of element 0
  uint32_t index = 0;
};

uint32_t lengthOf(lispval vector, const VectorType& type) {
  if (type.fixnumLength) return static_cast<uint32_t>(lisp::wordAt(vector, kLengthWord)) >> 2;
  return lisp::headerLength(headerOf(vector));
}

// The element of `vector` at the fixnum `index`: error 14 with the vector
// when it is none that element access takes, 16 for a non-fixnum index, 13
// out of range or for type 242.
bool elementPlace(lispval vector, lispval index, ElementPlace* place, Failure* failure) {
  const VectorType* type = lisp::isOther(vector) ? accessibleVector(typeOf(vector)) : nullptr;
  if (!type) {
    *failure = failWith(err::kNotArray, vector);
    return false;
  }
  if (!lisp::isFixnum(index)) {
    *failure = failWith(err::kSubscriptNotFixnum, index);
    return false;
  }
  const int32_t i = lisp::fixnumValue(index);
  if (type->code == tc::UnitVector || i < 0 ||
      static_cast<uint32_t>(i) >= lengthOf(vector, *type)) {
    *failure = fail(err::kIndexOutOfRange);
    return false;
  }
  place->type = type;
  place->data = lisp::objectAddress(vector) + lisp::vectorDataOffset(*type);
  place->index = static_cast<uint32_t>(i);
  return true;
}

// Address of the element's first byte (for bits and nibbles, of its byte).
uint32_t elementAddress(const ElementPlace& place) {
  switch (place.type->widthBits) {
    case 1:
      return place.data + place.index / 8;
    case 4:
      return place.data + place.index / 2;
    default:
      return place.data + place.index * (place.type->widthBits / 8);
  }
}

template <class T>
T load(uint32_t address) {
  T value;
  std::memcpy(&value, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), sizeof value);
  return value;
}
template <class T>
void put(uint32_t address, T value) {
  std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &value, sizeof value);
}

// ---- subscripts and the displacement walk ----

// The dimension at the head of a dimensions list; 0 when the list ends or
// holds no fixnum there, which every subscript is out of range of.
int32_t headDimension(lispval dims) {
  if (!lisp::isCons(dims) || !lisp::isFixnum(lisp::car(dims))) return 0;
  return lisp::fixnumValue(lisp::car(dims));
}

// From an array header and its subscripts to the data vector and the index
// into it: rank check, row-major index, then the header's displacement and
// that of every array it is displaced onto, until a data word is a cons
// whose cdr is the data vector. Each step of the walk must be an array
// header (error 14 with the word that is not), and a walk that comes back
// to a header it passed is refused the same way.
bool resolveArray(lispval array, const lispval* subscripts, uint32_t count, lispval* vector,
                  lispval* index, Failure* failure) {
  if (lisp::headerLength(headerOf(array)) >> 8 != count) {
    *failure = fail(err::kWrongSubscriptCount);
    return false;
  }
  const lispval dims = lisp::wordAt(array, kArrayDimensions);
  int64_t at = 0;
  if (count == 1) {
    const lispval s = subscripts[0];
    if (!lisp::isFixnum(s)) {
      *failure = failWith(err::kSubscriptNotFixnum, s);
      return false;
    }
    if (headDimension(dims) == 0 || lisp::fixnumValue(s) < 0) {
      *failure = fail(err::kIndexOutOfRange);
      return false;
    }
    at = lisp::fixnumValue(s);
  } else {
    lispval rowMajor = 0;
    lispval bad = 0;
    uint32_t code = 0;
    if (!calc_index(subscripts, count, dims, &rowMajor, &code, &bad)) {
      *failure = code == err::kSubscriptNotFixnum ? failWith(code, bad) : fail(code);
      return false;
    }
    at = lisp::fixnumValue(rowMajor);
  }

  // Brent's cycle test: a header met again at a checkpoint ends the walk.
  lispval checkpoint = array;
  uint32_t stepsToCheckpoint = 1, steps = 0;
  for (;;) {
    const lispval displacement = lisp::wordAt(array, kArrayDisplacement);
    if (!lisp::isFixnum(displacement)) {
      *failure = failWith(err::kNotArray, array);
      return false;
    }
    at += lisp::fixnumValue(displacement);
    const lispval data = lisp::wordAt(array, kArrayData);
    if (lisp::isCons(data)) {
      *vector = lisp::cdr(data);
      break;
    }
    if (!isArrayHeaderObject(data) || data == checkpoint) {
      *failure = failWith(err::kNotArray, data);
      return false;
    }
    array = data;
    if (++steps == stepsToCheckpoint) {
      checkpoint = array;
      stepsToCheckpoint *= 2;
      steps = 0;
    }
  }
  if (!lisp::fitsFixnum(at)) {
    *failure = fail(err::kIndexOutOfRange);
    return false;
  }
  *index = lisp::makeFixnum(static_cast<int32_t>(at));
  return true;
}

// The element place of an access (a, s ...), whichever a is.
bool placeOf(lispval a, const lispval* subscripts, uint32_t count, bool forWrite,
             ElementPlace* place, Failure* failure) {
  if (!lisp::isOther(a)) {
    *failure = failWith(err::kNotArray, a);
    return false;
  }
  const uint8_t code = typeOf(a);
  if (accessibleVector(code)) {
    if (count != 1) {
      *failure = fail(err::kWrongSubscriptCount);
      return false;
    }
    return elementPlace(a, subscripts[0], place, failure);
  }
  if (forWrite ? anyArrayHeader(code) : readableArrayHeader(code)) {
    lispval vector = 0, index = 0;
    return resolveArray(a, subscripts, count, &vector, &index, failure) &&
           elementPlace(vector, index, place, failure);
  }
  *failure = failWith(err::kNotArray, a);
  return false;
}

// ---- reading ----

uint64_t answer(ArefAction action, uint32_t payload) {
  return uint64_t{action} | (uint64_t{payload} << 32);
}

uint64_t readElement(const ElementPlace& place) {
  const uint32_t address = elementAddress(place);
  switch (place.type->element) {
    case ElementKind::LispValue:
    case ElementKind::Fixnum:
      return answer(kArefValue, load<uint32_t>(address));
    case ElementKind::Bit:
      return answer(kArefValue,
                    lisp::makeFixnum((load<uint8_t>(address) >> (place.index % 8)) & 1));
    case ElementKind::Nibble:
      return answer(kArefValue,
                    lisp::makeFixnum((load<uint8_t>(address) >> (4 * (place.index % 2))) & 0xf));
    case ElementKind::Unsigned8:
      return answer(kArefValue, lisp::makeFixnum(load<uint8_t>(address)));
    case ElementKind::Signed8:
      return answer(kArefValue, lisp::makeFixnum(load<int8_t>(address)));
    case ElementKind::Unsigned16:
    case ElementKind::Code:
      return answer(kArefValue, lisp::makeFixnum(load<uint16_t>(address)));
    case ElementKind::Signed16:
      return answer(kArefValue, lisp::makeFixnum(load<int16_t>(address)));
    case ElementKind::Character:
      return answer(kArefValue, lisp::makeCharacter(load<uint16_t>(address)));
    case ElementKind::Signed32:
      return answer(kArefSigned32, load<uint32_t>(address));
    case ElementKind::Entry:
      if (place.index == 0) return answer(kArefValue, load<uint32_t>(address));
      return answer(kArefUnsigned32, load<uint32_t>(address));
    case ElementKind::Unsigned32:
      return answer(kArefUnsigned32, load<uint32_t>(address));
    case ElementKind::SingleFloat:
      return answer(kArefSingleFloat, 0);
    case ElementKind::DoubleFloat:
      return answer(kArefDoubleFloat, 0);
    case ElementKind::ComplexSingle:
      return answer(kArefComplexSingle, 0);
    case ElementKind::ComplexDouble:
      return answer(kArefComplexDouble, 0);
    case ElementKind::Refused:
      break;
  }
  return answer(kArefError, lisp::makeFixnum(err::kIndexOutOfRange));
}

// ---- writing ----

bool isFloatOfWidth(lispval word, uint32_t bytes) {
  return isOtherOfType(word, bytes == 4 ? tc::SingleFloat : tc::DoubleFloat);
}
// Address of a float's value.
uint32_t floatBits(lispval number, uint32_t bytes) {
  return number + (bytes == 4 ? -0xe : -0xa);
}

// A 32-bit integer element's bits from a fixnum or a bignum (its two low
// digits, negated when its sign byte is not 0).
bool integer32Of(lispval x, uint32_t* bits) {
  if (lisp::isFixnum(x)) {
    *bits = static_cast<uint32_t>(lisp::fixnumValue(x));
    return true;
  }
  if (!isOtherOfType(x, tc::Bignum)) return false;
  const uint32_t header = headerOf(x);
  const uint32_t digits = lisp::bignumDigitCount(header);
  uint32_t value = digits > 0 ? load<uint16_t>(x - 0xe) : 0;
  if (digits > 1) value |= uint32_t{load<uint16_t>(x - 0xc)} << 16;
  *bits = ((header >> 8) & 0xff) != 0 ? 0u - value : value;
  return true;
}

// Stores v into the element; false (error 21) when v is of the wrong kind.
bool storeElement(const ElementPlace& place, lispval v) {
  const uint32_t address = elementAddress(place);
  const ElementKind kind = place.type->element;
  switch (kind) {
    case ElementKind::LispValue:
      storeValue(address, v);
      return true;
    case ElementKind::Fixnum:
      if (!lisp::isFixnum(v)) return false;
      put<uint32_t>(address, v);
      return true;
    case ElementKind::Character:
      if (!lisp::isCharacter(v)) return false;
      put<uint16_t>(address, lisp::characterCode(v));
      return true;
    case ElementKind::Entry:
      // Element 0 of an entry vector holds a Lisp value, stored as it is.
      if (place.index == 0) {
        storeValue(address, v);
        return true;
      }
      [[fallthrough]];
    case ElementKind::Unsigned32:
    case ElementKind::Signed32: {
      uint32_t bits = 0;
      if (!integer32Of(v, &bits)) return false;
      put<uint32_t>(address, bits);
      return true;
    }
    case ElementKind::SingleFloat:
    case ElementKind::DoubleFloat: {
      const uint32_t bytes = place.type->widthBits / 8;
      if (!isFloatOfWidth(v, bytes)) return false;
      std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address)),
                  reinterpret_cast<const void*>(static_cast<uintptr_t>(floatBits(v, bytes))),
                  bytes);
      return true;
    }
    case ElementKind::ComplexSingle:
    case ElementKind::ComplexDouble: {
      const uint32_t bytes = place.type->widthBits / 16;
      if (!isOtherOfType(v, tc::Complex)) return false;
      const lispval parts[2] = {lisp::wordAt(v, -0xe), lisp::wordAt(v, -0xa)};
      if (!isFloatOfWidth(parts[0], bytes) || !isFloatOfWidth(parts[1], bytes)) return false;
      for (uint32_t part = 0; part < 2; ++part)
        std::memcpy(
            reinterpret_cast<void*>(static_cast<uintptr_t>(address + part * bytes)),
            reinterpret_cast<const void*>(static_cast<uintptr_t>(floatBits(parts[part], bytes))),
            bytes);
      return true;
    }
    case ElementKind::Refused:
      return false;
    default:
      break;
  }
  // The narrow integer kinds: a fixnum within the element's range.
  if (!lisp::isFixnum(v)) return false;
  const int32_t value = lisp::fixnumValue(v);
  const IntegerRange range = rangeOf(kind);
  if (value < range.least || value > range.most) return false;
  switch (place.type->widthBits) {
    case 1: {
      const uint8_t bit = static_cast<uint8_t>(1u << (place.index % 8));
      put<uint8_t>(address, static_cast<uint8_t>(value ? load<uint8_t>(address) | bit
                                                       : load<uint8_t>(address) & ~bit));
      break;
    }
    case 4: {
      const uint32_t shift = 4 * (place.index % 2);
      const uint8_t kept = load<uint8_t>(address) & static_cast<uint8_t>(~(0xfu << shift));
      put<uint8_t>(address, static_cast<uint8_t>(kept | (value << shift)));
      break;
    }
    case 8:
      put<uint8_t>(address, static_cast<uint8_t>(value));
      break;
    default:
      put<uint16_t>(address, static_cast<uint16_t>(value));
      break;
  }
  return true;
}

// The type byte of a new array header: the code given as a fixnum, or the
// type of the data's vector (a cons's cdr, or the datum itself) with the bit
// of value 32 cleared. Only an array-header code is accepted: any other
// would make an object the collector cannot size.
bool arrayHeaderType(const ArrayHeaderArguments* arguments, uint8_t* type) {
  const lispval d = arguments->data;
  if (lisp::isFixnum(d)) {
    const int32_t code = lisp::fixnumValue(d);
    if (code < 0 || code > 0xff) return false;
    *type = static_cast<uint8_t>(code);
  } else {
    const lispval vector = lisp::isCons(d) ? lisp::cdr(d) : d;
    if (!lisp::isOther(vector)) return false;
    *type = typeOf(vector) & static_cast<uint8_t>(~kVectorTypeBit);
  }
  return anyArrayHeader(*type);
}

uint32_t reported(const Failure& failure, lispval* datum) {
  if (!failure.withDatum) return failure.code;
  *datum = failure.datum;
  return failure.code | err::kWithDatum;
}

}  // namespace

extern "C" {

bool calc_index(const lispval* subscripts, uint32_t count, lispval dims, lispval* index,
                uint32_t* error, lispval* bad) {
  int64_t acc = 0;
  for (uint32_t axis = 0; axis < count; ++axis) {
    const lispval s = subscripts[axis];
    if (!lisp::isFixnum(s)) {
      *error = err::kSubscriptNotFixnum;
      *bad = s;
      return false;
    }
    const int32_t d = headDimension(dims);
    if (d <= 0 || lisp::fixnumValue(s) < 0 || lisp::fixnumValue(s) >= d) {
      *error = err::kIndexOutOfRange;
      return false;
    }
    acc += lisp::fixnumValue(s);
    dims = lisp::cdr(dims);
    if (axis + 1 < count) acc *= headDimension(dims);
    if (!lisp::fitsFixnum(acc)) {
      *error = err::kIndexOutOfRange;
      return false;
    }
  }
  *index = lisp::makeFixnum(static_cast<int32_t>(acc));
  return true;
}

uint64_t aref_locate(const lispval* arguments, uint32_t count, lispval nil, lispval* datum) {
  if (count == 0) {
    *datum = nil;
    return answer(kArefErrorWithDatum, lisp::makeFixnum(err::kNoArguments));
  }
  ElementPlace element;
  Failure failure;
  if (!placeOf(arguments[0], arguments + 1, count - 1, false, &element, &failure)) {
    if (!failure.withDatum) return answer(kArefError, lisp::makeFixnum(failure.code));
    *datum = failure.datum;
    return answer(kArefErrorWithDatum, lisp::makeFixnum(failure.code));
  }
  return readElement(element);
}

lispval aref_fill(const lispval* arguments, uint32_t count, lispval number, uint32_t part) {
  ElementPlace element;
  Failure failure;
  if (count == 0 || !placeOf(arguments[0], arguments + 1, count - 1, false, &element, &failure))
    return number;  // not reached: aref_locate accepted these arguments
  const ElementKind kind = element.type->element;
  const bool complex = kind == ElementKind::ComplexSingle || kind == ElementKind::ComplexDouble;
  const uint32_t bytes = element.type->widthBits / (complex ? 16 : 8);
  std::memcpy(
      reinterpret_cast<void*>(static_cast<uintptr_t>(floatBits(number, bytes))),
      reinterpret_cast<const void*>(static_cast<uintptr_t>(elementAddress(element) + part * bytes)),
      bytes);
  return number;
}

uint32_t inv_s_aref_store(const lispval* arguments, uint32_t count, lispval /*nil*/,
                          lispval* datum) {
  if (count < 2) return err::kWrongSubscriptCount;
  ElementPlace element;
  Failure failure;
  if (!placeOf(arguments[1], arguments + 2, count - 2, true, &element, &failure))
    return reported(failure, datum);
  if (!storeElement(element, arguments[0])) return err::kWrongKind;
  return 0;
}

uint32_t array_header_check(const ArrayHeaderArguments* arguments) {
  uint8_t type = 0;
  return arrayHeaderType(arguments, &type) ? 0 : err::kNotArray;
}

lispval array_header_initialise(uint32_t header, const ArrayHeaderArguments* arguments,
                                lispval nil) {
  uint8_t type = 0;
  arrayHeaderType(arguments, &type);
  const lispval data = lisp::isFixnum(arguments->data) ? nil : arguments->data;
  const uint8_t flags = (arguments->sixth != nil ? kFlagSixth : 0) |
                        (arguments->word1 != nil ? kFlagWord1 : 0) |
                        (arguments->seventh != nil ? kFlagSeventh : 0);
  const uint16_t rank = static_cast<uint16_t>(lisp::fixnumValue(arguments->rank));
  uint32_t& serial = lisp::wordAt(nil, lisp::nil_block::global::kArraySerial);
  serial += 1;

  const lispval array = lisp::pointerWord(header, lisp::Tag::Other);
  wordPointer(header)[0] = lisp::headerWord(type, flags, rank);
  storeValue(array + kArrayWord1, arguments->word1);
  storeValue(array + kArrayData, data);
  storeValue(array + kArrayDisplacement, arguments->displacement);
  storeValue(array + kArrayDimensions, arguments->dimensions);
  lisp::wordAt(array, kArraySerialWord) = lisp::makeFixnum(static_cast<int32_t>(serial));
  return array;
}

}  // extern "C"
