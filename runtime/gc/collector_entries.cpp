// Native halves of the collector's runtime routines.
//
// Every vector Lisp hands over (or leaves in global word -46) is checked to
// be a raw 32-bit vector (type 127 or 123) long enough before anything is
// written into it; otherwise nothing is written and nil comes back (a map
// gets a new vector instead).

#include "runtime/gc/collector_entries.h"

#include <cstring>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_queries.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/packing.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using lisp::lispval;
namespace nb = lisp::nil_block;

constexpr int32_t kParameterVectorGlobal = -46;
constexpr int32_t kPanifyResultGlobal = -2;
constexpr uint32_t kReportWords = 4;

// Global word -N lies at nil - (4N + 0x15).
uint32_t& runtimeGlobal(int32_t index) {
  return globalWord(4 * index - 0x15);
}

lispval t() {
  return nb::tFor(nilval);
}

// The data words of a raw 32-bit vector of at least `words` elements.
uint32_t* rawWords(lispval vector, uint32_t words) {
  if (!lisp::isOther(vector)) return nullptr;
  const uint8_t type = lisp::typeCodeOf(lisp::wordAt(vector, lisp::kHeaderOffset));
  if (type != lisp::type_code::LastVector && type != 123) return nullptr;
  const lispval length = lisp::wordAt(vector, lisp::offsetFromWord(4, lisp::Tag::Other));
  if (!lisp::isFixnum(length) || lisp::fixnumValue(length) < static_cast<int32_t>(words))
    return nullptr;
  return &lisp::wordAt(vector, lisp::offsetFromWord(8, lisp::Tag::Other));
}

lispval newRawVector(uint32_t words) {
  const auto& type = *lisp::vectorType(lisp::type_code::LastVector);
  const uint32_t bytes = static_cast<uint32_t>(lisp::vectorObjectBytes(type, words));
  const uint32_t object = other_from_new_xsmp(bytes);
  wordAt(object) = lisp::headerWord(lisp::type_code::LastVector);
  wordAt(object + 4) = lisp::makeFixnum(static_cast<int32_t>(words));
  std::memset(&wordAt(object + 8), 0, bytes - 8);
  return lisp::pointerWord(object, lisp::Tag::Other);
}

bool inOldArea(uint32_t address) {
  for (const GsOldArea* area = GsOldAreas; area; area = area->next)
    if (address >= areaAddress(area) && address < area->end) return true;
  return false;
}

// Storage codes of a new-space object by its stamp's flag half.
struct FlagHalfCode {
  uint16_t half;
  uint32_t code;
};
constexpr FlagHalfCode kFlagHalfCodes[] = {
    {lisp::prefix_kind::WeakVector, 20},
    {lisp::prefix_kind::Finalization, 24},
    {lisp::prefix_kind::WeakKeyVectorWithArgument, 28},
    {lisp::prefix_kind::WeakKeyVector, 32},
};
constexpr uint32_t kImmediateCode = 0, kOutsideCode = 4, kOldCode = 8, kNewCode = 12;
constexpr uint32_t kKeepNewCode = 16;
constexpr uint16_t kKeepNewHalfBit = stamp::kKeepNew >> 16;

// A machine integer from a fixnum or a bignum of one 32-bit word (its sign
// from the sign byte). A bignum whose value lies outside the 32-bit range
// (2^31 and above, below -2^31, any of more than two digits) is out of
// range, never cast.
enum class Integer : uint8_t { Fits, OutOfRange, NotAnInteger };
constexpr uint8_t kNegativeSign = 0x80;
constexpr uint32_t kMostWordDigits = 2;  // 16-bit digits
constexpr uint32_t kMostNegativeMagnitude = 0x80000000;
Integer machineInteger(lispval word, int32_t& value) {
  if (lisp::isFixnum(word)) {
    value = lisp::fixnumValue(word);
    return Integer::Fits;
  }
  if (!lisp::isOther(word)) return Integer::NotAnInteger;
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(word);
  if ((bignum->header & 0xff) != lisp::type_code::Bignum) return Integer::NotAnInteger;
  const uint32_t digits = lisp::bignumDigitCount(bignum->header);
  if (digits == 0) return Integer::NotAnInteger;
  if (digits > kMostWordDigits) return Integer::OutOfRange;
  const uint32_t magnitude =
      bignum->digits[0] | (digits == 2 ? uint32_t{bignum->digits[1]} << 16 : 0);
  const bool negative = ((bignum->header >> 8) & 0xff) == kNegativeSign;
  if (magnitude > (negative ? kMostNegativeMagnitude : kMostNegativeMagnitude - 1))
    return Integer::OutOfRange;
  value = static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
  return Integer::Fits;
}

enum PackMode : int32_t { kPack = 0, kSift = 1, kResize = 2 };

}  // namespace

extern "C" {

lispval gsgc_control_native(lispval flag) {
  const lispval vector = runtimeGlobal(kParameterVectorGlobal);
  uint32_t* words = rawWords(vector, sizeof(gc_parameter_block) / 4);
  if (!words) return nilval;
  auto* block = reinterpret_cast<gc_parameter_block*>(words);
  if (flag == nilval)
    GsReadCtl(block);
  else
    GsWriteCtl(block);
  return vector;
}

lispval gsgc_totalloc_native(lispval vector, lispval flag) {
  uint32_t* words = rawWords(vector, kReportWords);
  if (!words) return nilval;
  GsReportAlloc(words, flag != nilval);
  return vector;
}

lispval gsgc_build_map_native(lispval mode, lispval vector, uint32_t count) {
  if (mode == lisp::makeFixnum(0))
    return lisp::makeFixnum(static_cast<int32_t>(GsNewspaceFullness()));
  if (count < 2) vector = nilval;
  // Making the vector may scavenge and add an area: count again after it.
  while (!rawWords(vector, buildMapWords(GsOldAreaCt)))
    vector = newRawVector(buildMapWords(GsOldAreaCt));
  GsBuildMap(rawWords(vector, 0), mode != nilval);
  return vector;
}

lispval GsgcPanify(lispval object) {
  if (!lisp::isOther(object) && !lisp::isSymbolTagged(object)) return nilval;
  const uint32_t address = lisp::objectAddress(object);
  if (GsNewSemiSize == 0 || !isObjectStart(allocationRegion(), address)) return nilval;
  wordAt(address - kPrefixBytes + 4) |= stamp::kKeepNew;
  return runtimeGlobal(kPanifyResultGlobal);
}

uint32_t gsgc_pointer_storage_type(lispval value) {
  if (lisp::isFixnum(value) || lisp::isCharacter(value)) return kImmediateCode;
  if (value >= GsNewTopLV) return kOutsideCode;
  const uint32_t address = lisp::objectAddress(value);
  if (value >= GsNewFenceLV && address >= GsNewFence) {
    if (lisp::isCons(value)) return kNewCode;
    const uint16_t half = static_cast<uint16_t>(wordAt(address - kPrefixBytes + 4) >> 16);
    for (const FlagHalfCode& row : kFlagHalfCodes)
      if (row.half == half) return row.code;
    return half & kKeepNewHalfBit ? kKeepNewCode : kNewCode;
  }
  return inOldArea(address) ? kOldCode : kOutsideCode;
}

lispval pointer_storage_type_native(lispval value) {
  return lisp::makeFixnum(static_cast<int32_t>(gsgc_pointer_storage_type(value)));
}

lispval user_verify_native(lispval value) {
  return value_verify(value, 0) >= verify_code::kImmediate ? t() : nilval;
}

lispval pack_heap_native(lispval mode, lispval a, lispval b) {
  int32_t first = 0, second = 0;
  if (!lisp::isFixnum(mode)) return nilval;
  switch (lisp::fixnumValue(mode)) {
    case kPack:
      if (machineInteger(a, first) != Integer::Fits) return nilval;
      return lisp::makeFixnum(ggc_pack(first));
    case kSift:
      ggc_sift();
      return t();
    case kResize: {
      // Decision: a missing or non-integer amount counts as 0 (not positive);
      // an integer past 32 bits is refused as mode 0 refuses a bad amount.
      const Integer firstRead = machineInteger(a, first);
      const Integer secondRead = machineInteger(b, second);
      if (firstRead == Integer::OutOfRange || secondRead == Integer::OutOfRange) return nilval;
      if (firstRead != Integer::Fits) first = 0;
      if (secondRead != Integer::Fits) second = 0;
      gc_resize(first, second);
      return t();
    }
    default:
      return nilval;
  }
}

lispval gsgc_type_counts_native(lispval counts, lispval sizes, lispval mode) {
  uint32_t* countWords = rawWords(counts, kTypeCountSlots);
  uint32_t* sizeWords = rawWords(sizes, kTypeCountSlots);
  if (!countWords || !sizeWords || !lisp::isFixnum(mode)) return lisp::makeFixnum(-1);
  return lisp::makeFixnum(gcs_type_counts(countWords, sizeWords, lisp::fixnumValue(mode)));
}

}  // extern "C"
