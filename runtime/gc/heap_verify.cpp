// The verifier: classifies the value in a slot by where it points.
//
// Invariant relied on: a live cons lies on a cons page between its first
// cell and its fill pointer; a live other object or symbol starts where a
// walk of its region by object sizes steps; its tag agrees with its type.
// Verification only reads the heap and never fails.

#include "runtime/gc/heap_verify.h"

#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

extern "C" {
uint32_t dump_stack = 0;
uint32_t gsgc_sifting = 0;
}

namespace {

using namespace gc;
using lisp::lispval;
using lisp::Tag;
namespace code = verify_code;
namespace nb = lisp::nil_block;

// The semispace a value is judged against.
struct Semispace {
  uint32_t start, end, lowestConsPage;
  ObjectRegion objects;
};

Semispace semispace(bool current) {
  if (current) {
    const GsNewArea& area = GsNewAllocationArea;
    return {area.start, area.end, area.pageLowMark, allocationRegion()};
  }
  const GsOldArea& from = GsNewFromArea;
  return {GsNewFromEnd - from.size,
          GsNewFromEnd,
          from.lowestConsPage,
          {GsNewFrom_other1, from.frontier, from.pagemapBase, true}};
}

bool isSpecial(lispval value) {
  const lispval nil = nilval;
  return value == nb::tFor(nil) ||
         value == nb::word(nil, nb::global::kUnboundMarker);
}

bool symbolType(uint8_t type) {
  return type == lisp::kSymbolTypeByte || type == lisp::kLocativeTypeByte;
}

// The tag a pointer to an object of this type carries. Remote objects
// (type 14) are other objects like the rest.
Tag tagForType(uint8_t type) {
  return symbolType(type) ? Tag::Symbol : Tag::Other;
}

bool onCurrentStack(uint32_t address) {
  return address >= addressOf(__builtin_frame_address(0)) && address < currentStackBase();
}

// Below the first old area or past the semispace judged against. On
// another thread's saved stack only a cons counts, unless judged against
// the current semispace.
int outsideHeap(lispval value, bool current) {
  const uint32_t object = lisp::objectAddress(value);
  if (valid_lispstatic(value, 1)) return code::kLispStatic;
  if (object > vxm_lso && object < vxm_lsoend) return code::kOutsideHeap;
  if (onCurrentStack(object)) return code::kOutsideHeap;
  const ThreadRegion region = threadRegionHolding(object);
  if (region.high != 0 && (!region.savedStack || current || lisp::isCons(value)))
    return code::kOutsideHeap;
  return code::kNowhere;
}

// A cons on a page from the lowest cons page up: between the page's first
// cell and its fill (the shared cons pointer's fill for its page).
bool liveConsCell(uint32_t cell, uint32_t lowestConsPage, uint32_t end) {
  if (cell < lowestConsPage || cell >= end) return false;
  const uint32_t page = pageStart(cell);
  const uint32_t fill = page == xxGsAllocConsPage ? globalWord(global::kConsFill) - kConsWordBias
                                                  : consPage(page)->fill;
  return cell >= page + kConsPageFirstCell && cell < fill;
}

int inSemispace(const Semispace& space, lispval value) {
  const uint32_t object = lisp::objectAddress(value);
  if (lisp::isCons(value))
    return liveConsCell(object, space.lowestConsPage, space.end) ? code::kCons : code::kNotAnObject;
  if (!isObjectStart(space.objects, object)) return code::kNotAnObject;
  return tagForType(lisp::typeCodeOf(wordAt(object))) == lisp::tagOf(value) ? code::kObject
                                                                            : code::kNotAnObject;
}

int inOldArea(lispval value) {
  const uint32_t object = lisp::objectAddress(value);
  const GsOldArea* area = GsOldAreas;
  while (area && !(object >= areaAddress(area) && object < area->end)) area = area->next;
  if (!area) return code::kNowhere;
  if (lisp::isCons(value))
    return liveConsCell(object, area->lowestConsPage, area->end) ? code::kCons : code::kNotAnObject;
  if (object < area->firstObject || object >= area->frontier) return code::kNotAnObject;
  const uint8_t type = lisp::typeCodeOf(wordAt(object));
  const bool symbolTagged = lisp::isSymbolTagged(value);
  if (!symbolTagged && symbolType(type)) return code::kNotAnObject;
  if (symbolTagged && !symbolType(type) && !(gsgc_sifting && type == lisp::type_code::ByteVector))
    return code::kNotAnObject;
  return isObjectStart(regionOf(area), object) ? code::kObject : code::kNotAnObject;
}

int verifyPointer(lispval value, bool strict, bool current) {
  if (isSpecial(value)) return code::kSpecial;
  const Semispace space = semispace(current);
  const uint32_t object = lisp::objectAddress(value);
  if (!GsOldAreas || object < areaAddress(GsOldAreas) || object >= space.end)
    return outsideHeap(value, current);
  if (object >= space.start) return inSemispace(space, value);
  if (strict) return code::kNowhere;
  return inOldArea(value);
}

}  // namespace

namespace gc {

// The registry's list is read without its lock, as a collection may verify
// while a stack walk holds it: records are never given back to the system,
// so a stale link still leads to a record, and the walk stops after as many
// steps as the registry has places.
ThreadRegion threadRegionHolding(uint32_t address) {
  namespace tr = lisp::thread_record;
  constexpr uint32_t kRecordBytes = 4 * tr::kRecordWords;
  if (const uint32_t current = currentThreadRecord()) {
    const uint32_t start = lisp::objectAddress(current);
    if (address >= start && address - start < kRecordBytes) return {start, start + kRecordBytes};
  }
  uint32_t steps = 0;
  for (uint32_t* record = threadctl_active; record && steps < lisp::registry::kMostRecords;
       record = lisp::registry::nextOnChain(record), ++steps) {
    const uint32_t start = addressOf(record);
    if (address >= start && address - start < kRecordBytes) return {start, start + kRecordBytes};
    const uint32_t saved = lisp::registry::word(record, tr::kSavedNativeStack);
    const uint32_t base = lisp::registry::word(record, tr::kStackBase);
    if (saved != 0 && address >= saved && address < base) return {saved, base, true};
  }
  return {};
}

}  // namespace gc

extern "C" {

int r_verify(uint32_t slot, int strict, int current) {
  const lispval value = wordAt(slot);
  switch (lisp::tagOf(value)) {
    case Tag::Fixnum:
    case Tag::FixnumOdd:
    case Tag::Character:
      return code::kImmediate;
    case Tag::Unused:
      return code::kTagThree;
    case Tag::Nil:
      return value == nilval ? code::kSpecial : code::kBadNilTag;
    case Tag::Cons:
    case Tag::Other:
    case Tag::Symbol:
      break;
  }
  return verifyPointer(value, strict != 0, current != 0);
}

int verify_slot(uint32_t slot, int strict, int current) {
  const int result = r_verify(slot, strict, current);
  if (dump_stack)
    gc_messages::print(gc_messages::kVerifyTrace, static_cast<unsigned long>(slot),
                       static_cast<unsigned long>(wordAt(slot)), result);
  return result;
}

void verified_funcall(uint32_t slot, int strict, gsgc_slot_routine routine) {
  if (verify_slot(slot, strict, 1) > code::kLiveAbove) routine(slot);
}

int value_verify(uint32_t value, int inCollection) {
  if (!inCollection) {
    sync_shared_cons_pointer();
    setGsNewFrom();
  }
  uint32_t slot = value;
  return verify_slot(addressOf(&slot), 0, 1);
}

}  // extern "C"
