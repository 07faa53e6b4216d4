// The C++ half of the foreign callbacks: writing and re-pointing stubs, and
// laying Lisp arguments out in native form for the hooks. Reads Lisp
// objects only; never allocates in the Lisp heap.

#include "runtime/rs/foreign_callbacks.h"

#include <cstring>

#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"

namespace lisp::foreign_callback {

namespace {

namespace tc = type_code;

constexpr uint8_t kVectorBits = 0x60;
constexpr uint8_t kArrayHeaderBits = 0x40;  // with 0x20 clear
constexpr int32_t kFirstDataWord = -0xe;
constexpr int32_t kFirstDataWordAfterLength = -0xa;
// Vector types whose data start one word further (after an alignment word or
// in front of an entry-vec's call address).
constexpr uint8_t kDataOneWordFurther[] = {103, 110, 111};

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

void putWord(uint8_t* at, uint32_t word) {
  std::memcpy(at, &word, sizeof word);
}

uint8_t typeOf(lispval object) {
  return typeCodeOf(wordAt(object, kHeaderOffset));
}

uint32_t bignumLow32(lispval bignum) {
  const uint32_t header = wordAt(bignum, kHeaderOffset);
  const uint32_t digits = bignumDigitCount(header);
  const auto* digit =
      reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(bignum + kFirstDataWord));
  const uint32_t low = (digits > 0 ? digit[0] : 0u) | (digits > 1 ? uint32_t{digit[1]} << 16 : 0u);
  return ((header >> 8) & 0xff) != 0 ? 0u - low : low;
}

// The word of a Lisp integer (a fixnum's value, a bignum's low 32 bits with
// its sign); false for anything else.
bool integerWord(lispval object, uint32_t& word) {
  if (isFixnum(object)) {
    word = static_cast<uint32_t>(fixnumValue(object));
    return true;
  }
  if (isOther(object) && typeOf(object) == tc::Bignum) {
    word = bignumLow32(object);
    return true;
  }
  return false;
}

// Appends a native value to an argument area.
uint32_t store(const NativeValue& value, uint32_t* area, uint32_t words) {
  area[words++] = value.low;
  if (value.form == NativeForm::DoubleFloat) area[words++] = value.high;
  return words;
}

// The address a vector or array header stands for in a foreign-callable
// function's argument block; false for other objects.
bool dataAddress(lispval object, uint32_t& address) {
  if (!isOther(object)) return false;
  const uint8_t code = typeOf(object);
  if ((code & kVectorBits) == kVectorBits) {
    address = object + ((code & kFixnumLengthBit) ? kFirstDataWordAfterLength : kFirstDataWord);
    for (uint8_t further : kDataOneWordFurther)
      if (code == further) address += 4;
    return true;
  }
  if ((code & kVectorBits) == kArrayHeaderBits) {
    // Decision: a header whose displacement chain names no data address is
    // passed as its Lisp word, like any other object.
    const uint64_t located = foreign_address_locate(object);
    if (static_cast<uint32_t>(located) != 0) return false;
    address = static_cast<uint32_t>(located >> 32);
    return true;
  }
  return false;
}

// The stub of a convention at an address, when the bytes there are one
// (its fixed bytes as the template has them; X, N and T may be anything).
bool isStubOf(const StubTemplate& stub, const uint8_t* bytes) {
  for (uint8_t i = 0; i < stub.size; ++i) {
    const bool variable = (i >= stub.indexAt && i < stub.indexAt + 4) ||
                          (stub.popAt != kNoWord && i >= stub.popAt && i < stub.popAt + 4) ||
                          (i >= stub.targetAt && i < stub.targetAt + 4);
    if (!variable && bytes[i] != stub.bytes[i]) return false;
  }
  return true;
}

}  // namespace

NativeValue nativeValueOf(lispval object) {
  if (isFixnum(object)) return {NativeForm::Word, static_cast<uint32_t>(fixnumValue(object)), 0};
  if (isCharacter(object)) {
    const auto low = static_cast<int8_t>(characterCode(object) & 0xff);
    return {NativeForm::Word, static_cast<uint32_t>(int32_t{low}), 0};
  }
  if (isOther(object)) {
    switch (typeOf(object)) {
      case tc::SingleFloat:
        return {NativeForm::SingleFloat, wordAt(object, -0xe), 0};
      case tc::DoubleFloat:
        return {NativeForm::DoubleFloat, wordAt(object, -0xa), wordAt(object, -6)};
      case tc::Bignum:
        return {NativeForm::Word, bignumLow32(object), 0};
      default:
        break;
    }
  }
  return {NativeForm::Word, object, 0};
}

}  // namespace lisp::foreign_callback

namespace fc = lisp::foreign_callback;

extern "C" {

uint32_t foreign_callback_new(int32_t convention, int32_t index, int32_t argumentBytes) {
  const fc::StubTemplate& stub = fc::kStubTemplates[static_cast<uint32_t>(convention)];
  auto* bytes = static_cast<uint8_t*>(vxmmalloc(stub.size, 0, 0));
  if (bytes == nullptr) return 0;
  std::memcpy(bytes, stub.bytes.data(), stub.size);
  fc::putWord(bytes + stub.indexAt, static_cast<uint32_t>(index));
  if (stub.popAt != fc::kNoWord)
    fc::putWord(bytes + stub.popAt, fc::popBytes(stub, static_cast<uint32_t>(argumentBytes)));
  fc::putWord(bytes + stub.targetAt,
              fc::addressOf(reinterpret_cast<const void*>(&_callback_to_lisp)));
  return fc::addressOf(bytes);
}

// Decision: only a stub of that convention inside the native heap is
// rewritten; any other address is left alone, so a wrong argument from Lisp
// cannot overwrite arbitrary memory.
void foreign_callback_relocate(lisp::lispval address, lisp::lispval convention) {
  uint32_t stubAddress = 0;
  if (!fc::integerWord(address, stubAddress) || stubAddress == 0) return;
  if (!lisp::isFixnum(convention)) return;
  const int32_t code = lisp::fixnumValue(convention);
  if (code < 0 || static_cast<uint32_t>(code) >= fc::kConventionCount) return;
  const fc::StubTemplate& stub = fc::kStubTemplates[static_cast<uint32_t>(code)];
  if (stubAddress < vxmmalloc_heap.base || stubAddress >= vxmmalloc_heap.brk ||
      vxmmalloc_heap.brk - stubAddress < stub.size)
    return;
  auto* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(stubAddress));
  if (!fc::isStubOf(stub, bytes)) return;
  fc::putWord(bytes + stub.targetAt,
              fc::addressOf(reinterpret_cast<const void*>(&_callback_to_lisp)));
}

uint32_t foreign_callback_layout(const lisp::lispval* arguments, uint32_t count,
                                 uint32_t descriptor, uint32_t* area) {
  const uint32_t bits = static_cast<uint32_t>(lisp::fixnumValue(descriptor));
  uint32_t words = 0;
  for (uint32_t j = 0; j < count; ++j) {
    const uint32_t shift = 2 * j + 2;
    const bool convert = shift < 32 && ((bits >> shift) & 3) != 0;
    if (convert)
      words = fc::store(fc::nativeValueOf(arguments[j]), area, words);
    else
      area[words++] = arguments[j];
  }
  return words;
}

uint32_t foreign_callable_layout(const lisp::lispval* arguments, uint32_t count, uint32_t* area) {
  area[0] = fc::addressOf(area + 1);
  uint32_t words = 1;
  for (uint32_t j = 0; j < count; ++j) {
    uint32_t address = 0;
    if (fc::dataAddress(arguments[j], address))
      area[words++] = address;
    else
      words = fc::store(fc::nativeValueOf(arguments[j]), area, words);
  }
  return words;
}

}  // extern "C"
