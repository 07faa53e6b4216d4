// Checks of the restored native variables (restored_variables.h). Each reads
// only memory that a check before it has shown to be there.

#include "runtime/load/restored_variables.h"

#include <cstdint>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/load/image_file.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"

namespace {

namespace tr = lisp::thread_record;

uint32_t placeOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// [from, from + bytes) lies in the heap's used part.
bool insideRange(uint64_t from, uint64_t bytes, const heap_descriptor& heap) {
  return from >= heap.base && from + bytes <= heap.brk;
}
bool zeroOrInside(uint32_t address, const heap_descriptor& heap) {
  return address == 0 || insideRange(address, 1, heap);
}
// A cons page: 0, or the start of a page inside the heap's used part.
bool zeroOrPageInside(uint32_t address, const heap_descriptor& heap) {
  return address == 0 || (address % gc::kPageBytes == 0 && insideRange(address, 1, heap));
}
// A boundary of new space: within the heap, at its break, or 0 (a record
// that lays out no collector, as in an image made from the format alone).
bool boundaryInside(uint32_t address, const heap_descriptor& heap) {
  return address == 0 || (address >= heap.base && address <= heap.brk);
}

// A list of thread records through their chain links: every record whole in
// the native heap, and no more of them than the registry can hold.
bool recordListInside(uint32_t* head, const heap_descriptor& native) {
  constexpr uint32_t kRecordBytes = 4 * tr::kRecordWords;
  uint32_t count = 0;
  for (uint32_t* record = head; record; record = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(
                                            lisp::registry::word(record, tr::kChainLink)))) {
    if (count++ == lisp::registry::kMostRecords) return false;
    if (!insideRange(placeOf(record), kRecordBytes, native)) return false;
  }
  return true;
}

// Words that name a cons page, or 0.
const uint32_t* const kConsPageWords[] = {&xxGsAllocConsPage, &GsOldConsPage,
                                          &GsTenureCatchupConsPage};
// Boundaries of new space.
const uint32_t* const kNewSpaceBoundaries[] = {&GsNewAllocationArea.start,
                                               &GsNewAllocationArea.end,
                                               &GsNewScavengeToArea,
                                               &GsNewFence,
                                               &GsNewTop,
                                               &GsNewOther1};
// Words that name an old area of the chain, or 0.
gc::GsOldArea* const* const kAreaWords[] = {&GsOldPageArea, &GsOldSmallOtherArea,
                                            &GsOldBigOtherArea, &GsOpenOldAreaFence,
                                            &GsTenureCatchupConsArea};

}  // namespace

namespace image_file {

bool restoredWordsInside(const heap_descriptor& savedLisp, const heap_descriptor& native) {
  if (!recordListInside(threadctl_available, native) || !recordListInside(threadctl_active, native))
    return false;
  if (setf_protect_bmap != 0 &&
      !insideRange(placeOf(setf_protect_bmap), uint64_t{4} * setf_protect_bmap_size, native))
    return false;
  for (const uint32_t* word : kConsPageWords)
    if (!zeroOrPageInside(*word, savedLisp)) return false;
  for (uint32_t page : GsGenConsPage)
    if (!zeroOrPageInside(page, savedLisp)) return false;
  // An aging area is named only inside a scavenge, which never saves an
  // image: one named here would become an old area over live objects.
  if (GsAgingArea != 0) return false;
  for (const uint32_t* word : kNewSpaceBoundaries)
    if (!boundaryInside(*word, savedLisp)) return false;
  return true;
}

bool oldAreasInside(const heap_descriptor& savedLisp, uint32_t offset) {
  // The chain, read where the areas now lie.
  const auto now = [offset](const gc::GsOldArea* area) {
    return reinterpret_cast<const gc::GsOldArea*>(static_cast<uintptr_t>(placeOf(area) + offset));
  };
  const auto onChain = [&](const gc::GsOldArea* wanted) {
    for (const gc::GsOldArea* area = GsOldAreas; area; area = now(area)->next)
      if (area == wanted) return true;
    return false;
  };
  uint32_t count = 0;
  uint32_t previousEnd = savedLisp.base;
  const gc::GsOldArea* newest = nullptr;
  for (const gc::GsOldArea* area = GsOldAreas; area; area = now(area)->next) {
    const uint32_t start = placeOf(area);
    if (++count > kImageMaxAreas || start < previousEnd ||
        !insideRange(start, sizeof(gc::GsOldArea), savedLisp))
      return false;
    const uint32_t end = now(area)->end;
    if (end < start + sizeof(gc::GsOldArea) || end > savedLisp.brk) return false;
    previousEnd = end;
    newest = area;
  }
  if (newest != GsLastOldArea) return false;  // both 0 when the record lays out no area
  for (gc::GsOldArea* const* word : kAreaWords)
    if (*word != nullptr && !onChain(*word)) return false;
  return true;
}

}  // namespace image_file
