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
  if (isImmediate(value)) return;
  if (value >= GsNewFenceLV && value < GsNewTopLV)
    noteroot(slot);
  else if (Gslispstatic_count > 0 && value >= Gslispstatic_min && value <= Gslispstatic_max)
    notelispstatic(slot);
}

void fasl_protect(uint32_t slot) {
  if (slot >= areaAddress(GsOldAreas) && slot < GsNewFence) cnoteroot(slot);
}

}  // extern "C"
