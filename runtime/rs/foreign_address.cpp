// The native word a Lisp object stands for when it is passed to native code:
// the C++ half of foreign_address_to_mi. Reads only; never allocates.

#include <array>

#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::lispval;
namespace tc = lisp::type_code;
namespace err = lisp::foreign_address_error;

constexpr uint8_t kInstanceForeignPointer = 0x80;  // in a standard-instance's header byte 1
constexpr int32_t kInstanceAddressWord = -6;       // its data word 2
constexpr uint8_t kVectorBits = 0x60;
constexpr uint8_t kArrayHeaderBits = 0x40;  // with 0x20 clear
constexpr int32_t kFirstDataWord = -0xe;
constexpr int32_t kArrayData = -0xa;
constexpr int32_t kArrayDisplacement = -6;

// Element sizes of data vectors under array headers: bits per element, and
// whether the data start one word further (after a length or alignment word).
struct ElementSizeRow {
  uint8_t code;
  uint8_t bits;
  bool afterLengthWord;
};
constexpr std::array<ElementSizeRow, 33> kElementSizes = {{
    {15, 32, false},  {96, 32, false},  {100, 32, false}, {102, 32, false}, {107, 32, false},
    {128, 32, false}, {97, 1, false},   {98, 8, false},   {104, 8, false},  {99, 16, false},
    {101, 16, false}, {105, 16, false}, {108, 16, false}, {106, 4, false},  {109, 64, false},
    {103, 64, true},  {110, 128, true}, {116, 128, true}, {111, 8, true},   {121, 8, true},
    {125, 8, true},   {112, 32, true},  {113, 32, true},  {120, 32, true},  {123, 32, true},
    {127, 32, true},  {114, 64, true},  {115, 64, true},  {117, 16, true},  {122, 16, true},
    {126, 16, true},  {118, 1, true},   {124, 4, true},
}};

constexpr const ElementSizeRow* elementSizeOf(uint8_t code) {
  for (const ElementSizeRow& row : kElementSizes)
    if (row.code == code) return &row;
  return nullptr;  // 119 and every code not listed
}

uint8_t typeOf(lispval object) {
  return lisp::typeCodeOf(lisp::wordAt(object, lisp::kHeaderOffset));
}
uint8_t headerByte1(lispval object) {
  return static_cast<uint8_t>(lisp::wordAt(object, lisp::kHeaderOffset) >> 8);
}

uint64_t found(uint32_t word) {
  return static_cast<uint64_t>(word) << 32;
}
uint64_t refused(uint32_t code) {
  return static_cast<uint64_t>(lisp::makeFixnum(static_cast<int32_t>(code))) << 32 |
         (code == err::kNotAnAddress ? 2 : 1);
}

// A vector's first data word: after the header, one word further when a
// length word (type bit 0x10) or an alignment word (types 103, 110) follows it.
uint32_t vectorDataStart(lispval vector, uint8_t code) {
  const lisp::VectorType* type = lisp::vectorType(code);
  const bool extraWord = (code & lisp::kFixnumLengthBit) != 0 || (type && type->alignmentWord);
  return vector + kFirstDataWord + (extraWord ? 4 : 0);
}

// An array header: the displacements summed along the chain of headers down
// to the data word that is a cons whose cdr is the data vector; a chain that
// ends elsewhere, or comes back to a header it passed, stands for no address.
uint64_t arrayElementAddress(lispval array) {
  int64_t offset = 0;
  lispval checkpoint = array;
  uint32_t stepsToCheckpoint = 1, steps = 0;
  for (;;) {
    const lispval displacement = lisp::wordAt(array, kArrayDisplacement);
    if (!lisp::isFixnum(displacement)) return refused(err::kNotAnAddress);
    offset += lisp::fixnumValue(displacement);
    const lispval data = lisp::wordAt(array, kArrayData);
    if (lisp::isCons(data)) {
      const lispval vector = lisp::cdr(data);
      if (!lisp::isOther(vector)) return refused(err::kNotAnAddress);
      const ElementSizeRow* size = elementSizeOf(typeOf(vector));
      if (!size) return refused(err::kNoElementSize);
      const uint32_t start = vector + kFirstDataWord + (size->afterLengthWord ? 4 : 0);
      return found(start + static_cast<uint32_t>(offset * size->bits / 8));
    }
    if (!lisp::isOther(data) || (typeOf(data) & 0x60) != kArrayHeaderBits || data == checkpoint)
      return refused(err::kNotAnAddress);
    array = data;
    if (++steps == stepsToCheckpoint) {
      checkpoint = array;
      stepsToCheckpoint *= 2;
      steps = 0;
    }
  }
}

uint32_t bignumLow32(lispval bignum) {
  const uint32_t header = lisp::wordAt(bignum, lisp::kHeaderOffset);
  const uint32_t digits = lisp::bignumDigitCount(header);
  const uint16_t* digit = reinterpret_cast<const uint16_t*>(
      static_cast<uintptr_t>(bignum + kFirstDataWord));
  const uint32_t low = (digits > 0 ? digit[0] : 0u) | (digits > 1 ? uint32_t{digit[1]} << 16 : 0u);
  return headerByte1(bignum) != 0 ? 0u - low : low;
}

}  // namespace

uint64_t foreign_address_locate(lispval object) {
  if (lisp::isFixnum(object)) return found(static_cast<uint32_t>(lisp::fixnumValue(object)));
  if (!lisp::isOther(object)) return refused(err::kNotAnAddress);
  const uint8_t code = typeOf(object);
  if (code == tc::Bignum) return found(bignumLow32(object));
  if (code == tc::StandardInstance && (headerByte1(object) & kInstanceForeignPointer) != 0)
    return found(lisp::wordAt(object, kInstanceAddressWord));
  if (code == tc::EntryVector) return found(object + lisp::entry_vec::kCallAddress);
  if ((code & kVectorBits) == kVectorBits) return found(vectorDataStart(object, code));
  if ((code & kVectorBits) == kArrayHeaderBits) return arrayElementAddress(object);
  return refused(err::kNotAnAddress);
}
