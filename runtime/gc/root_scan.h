// The root-set scan of a scavenge: every old-space page whose root-set bit
// is set is scanned (and its bit cleared); each Lisp-value word on it is
// treated by the scavenger and then noted again when it still points into
// new space.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

namespace gc {

// How the scavenger treats one slot: checknslot for value words, checkcslot
// for a function's code-vector word. The scan calls cnoteroot after each.
struct SlotTreatment {
  void (*checknslot)(uint32_t slot);
  void (*checkcslot)(uint32_t slot);
};

}  // namespace gc

extern "C" {

void scan_rootset_entries(const gc::SlotTreatment* treatment);
void rootscan_others(gc::GsOldArea* area, const gc::SlotTreatment* treatment);
void rootscan_pages(uint32_t from, uint32_t to, const gc::SlotTreatment* treatment);
void rootscan_cons_page(uint32_t page, const gc::SlotTreatment* treatment);
// The first page in [page of from, to) whose bit is set, its bit cleared; 0 when none.
uint32_t rootscan_next_dirty_page(uint32_t from, uint32_t to);
uint32_t count_root_bits();
}
