// Linking the heap to a pure library attached while the Lisp runs: heap
// strings and code vectors with an identical copy in the library are
// replaced by that copy, so that the heap copies become garbage, and
// frames that return into a replaced code vector return into its copy.
//
// Decision: an entry word inside the replaced code vector moves to the
// same place in the library's copy (for the usual entry, the copy's first
// instruction); an entry elsewhere (a trampoline) stays.

#include <cstdint>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/function_entry.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_relocation.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using lisp::lispval;

constexpr uint32_t kSymbolNameWord = 4;
constexpr uint32_t kFunctionConstantsWord = 9;
constexpr uint32_t kPlainStringDataOffset = 4;   // type 101: the length is in the header
constexpr uint32_t kLengthStringDataOffset = 8;  // type 117: a fixnum length word follows
constexpr uint8_t kPlainStringType = 101;

bool inLibrary(uint32_t address) {
  return address >= vxm_lso && address < vxm_lsoend;
}

uint8_t typeOf(uint32_t object) {
  return static_cast<uint8_t>(wordAt(object) & 0xff);
}

// The library's string equal to the heap string in `slot`, stored there.
void linkString(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (!lisp::isOther(value)) return;
  const uint32_t string = lisp::objectAddress(value);
  if (inLibrary(string)) return;
  const uint8_t type = typeOf(string);
  uint32_t count, data;
  if (type == kPlainStringType) {
    count = wordAt(string) >> 8;
    data = string + kPlainStringDataOffset;
  } else if (type == lisp::type_code::SimpleString) {
    count = static_cast<uint32_t>(lisp::fixnumValue(wordAt(string + 4)));
    data = string + kLengthStringDataOffset;
  } else {
    return;
  }
  const lispval twin =
      find_cached_string(reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(data)), count);
  if (twin != nilval) wordAt(slot) = twin;
}

// The library's code vector equal to the heap code vector `code`, or 0.
uint32_t libraryTwin(uint32_t code) {
  const lispval twin = find_cached_codevec(lisp::pointerWord(code, lisp::Tag::Other));
  return twin == nilval ? 0 : lisp::objectAddress(twin);
}

void linkCodeVector(uint32_t slot) {
  const lispval value = wordAt(slot);
  if (!lisp::isOther(value)) return;
  const uint32_t code = lisp::objectAddress(value);
  if (inLibrary(code)) return;
  const uint32_t twin = libraryTwin(code);
  if (twin == 0) return;
  wordAt(slot) = lisp::pointerWord(twin, lisp::Tag::Other);
  moveEntryWithCode(slot, code, ausize_other(code), twin);
}

uint32_t linkObject(uint32_t object) {
  switch (typeOf(object)) {
    case lisp::kSymbolTypeByte:
      linkString(object + 4 * kSymbolNameWord);
      break;
    case lisp::type_code::Function: {
      const uint32_t constants = wordAt(object) >> 16;
      for (uint32_t i = 0; i < constants; ++i)
        linkString(object + 4 * (kFunctionConstantsWord + i));
      linkCodeVector(object + 4 * kCodeSlotWord);
      break;
    }
    default:
      break;
  }
  return 0;
}

bool isCodeVector(uint32_t object) {
  const uint8_t type = typeOf(object);
  return type == lisp::type_code::CodeVector || type == lisp::fasl::kPureCodeVectorType;
}

// The heap code vector that holds a return address, or 0.
uint32_t codeVectorHolding(uint32_t address) {
  uint32_t object = 0;
  if (address >= GsNewAllocationArea.start && address < GsNewAllocationArea.end) {
    object = llf_scan_new(address);
  } else {
    for (GsOldArea* area = GsOldAreas; area; area = area->next)
      if (address >= areaAddress(area) && address < area->end) {
        object = llf_scan_old(area, address);
        break;
      }
  }
  return object != 0 && isCodeVector(object) ? object : 0;
}

void moveReturnAddress(uint32_t slot) {
  const uint32_t address = wordAt(slot);
  const uint32_t code = codeVectorHolding(address);
  if (code == 0) return;
  if (const uint32_t twin = libraryTwin(code)) wordAt(slot) = address - code + twin;
}

void noSlot(uint32_t) {}

}  // namespace

extern "C" {

uint32_t llf_scan_new(uint32_t address) {
  if (GsNewSemiSize == 0) return 0;
  return objectContaining(allocationRegion(), address);
}

uint32_t llf_scan_old(GsOldArea* area, uint32_t address) {
  return objectContaining(regionOf(area), address);
}

void link_lso_file() {
  if (vxm_lso == 0 || nilval == 0) return;  // no library, or no heap to link yet
  sync_shared_cons_pointer();
  setGsNewFrom();
  prelink_stacks();
  gsgc_scan_all(nullptr, linkObject, 1, 1, 1);
  scan_os_stacks(noSlot, moveReturnAddress);
}

}  // extern "C"
