#include "runtime/gc/lispstatic.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/native_heap.h"

extern "C" int valid_lispstatic(lisp::lispval value, int checkPositions) {
  using namespace gc;
  if (!lisp::isOther(value)) return 0;
  const uint32_t prefix = lisp::objectAddress(value) - kPrefixBytes;
  if (!malloc_verify_object(reinterpret_cast<void*>(static_cast<uintptr_t>(prefix)))) return 0;
  if (!checkPositions) return 1;

  const uint32_t position = wordAt(prefix);
  const uint32_t block = position & 0xffff, entry = position >> 16;
  if (first_lispstatic == 0 || block >= lispstatic_block_blocks || entry >= kLispstaticEntries)
    return 0;
  const uint32_t blockAddress = wordAt(first_lispstatic + 4 * block);
  if (blockAddress == 0) return 0;
  const auto* registry = reinterpret_cast<const lispstatic_block*>(blockAddress);
  return registry->entries[entry] == value ? 1 : 0;
}
