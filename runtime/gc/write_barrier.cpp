// The native side of the write barrier: what native code and the collector
// call after storing, and the bitmap's index rule.
//
// Invariant: a word outside new space that holds a pointer into new space (or
// at a registered lisp-static object while any exist) lies on a page whose bit
// is set, or on a page without a bit.

#include "runtime/gc/write_barrier.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/lispstatic.h"

namespace {

using namespace gc;

constexpr uint32_t kBitsPerWord = 32;

// Bit position of the address's page, or -1 when the page has no bit.
int64_t bitIndex(uint32_t address) {
  const int64_t index = int64_t{pageOf(address)} - globalWord(global::kHeapBasePage);
  if (index < 0 || index / kBitsPerWord >= setf_protect_bmap_size) return -1;
  return index;
}

bool isImmediate(lisp::lispval value) {
  return lisp::isFixnum(value) || lisp::isCharacter(value);
}

}  // namespace

namespace gc {
bool rootBitSet(uint32_t address) {
  const int64_t index = bitIndex(address);
  return index >= 0 && (setf_protect_bmap[index / kBitsPerWord] >> (index % kBitsPerWord)) & 1;
}
void clearRootBit(uint32_t address) {
  const int64_t index = bitIndex(address);
  if (index >= 0) setf_protect_bmap[index / kBitsPerWord] &= ~(1u << (index % kBitsPerWord));
}
void clearRootBits(uint32_t from, uint32_t to) {
  for (uint32_t page = pageStart(from); page < to; page += kPageBytes) {
    const int64_t index = bitIndex(page);
    if (index < 0) continue;
    uint32_t& word = setf_protect_bmap[index / kBitsPerWord];
    if (index % kBitsPerWord == 0 && to - page >= kBitsPerWord * kPageBytes) {
      word = 0;  // a whole word's pages at once
      page += (kBitsPerWord - 1) * kPageBytes;
      continue;
    }
    word &= ~(1u << (index % kBitsPerWord));
  }
}
bool needsRootBit(lisp::lispval value) {
  if (isImmediate(value)) return false;
  if (value >= GsNewFenceLV && value < GsNewTopLV) return true;
  return Gslispstatic_count > 0 && value >= Gslispstatic_min && value <= Gslispstatic_max &&
         valid_lispstatic(value, 0);
}
}  // namespace gc

extern "C" {

void noteroot(uint32_t address) {
  const int64_t index = bitIndex(address);
  if (index >= 0) setf_protect_bmap[index / kBitsPerWord] |= 1u << (index % kBitsPerWord);
}

void notelispstatic(uint32_t slot) {
  if (valid_lispstatic(wordAt(slot), 0)) noteroot(slot);
}

void cnoteroot(uint32_t slot) {
  const lisp::lispval value = wordAt(slot);
  if (gc::needsRootBit(value)) noteroot(slot);
}

void fasl_protect(uint32_t slot) {
  if (slot >= areaAddress(GsOldAreas) && slot < GsNewFence) cnoteroot(slot);
}

}  // extern "C"
