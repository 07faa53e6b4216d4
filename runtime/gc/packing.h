// Making the heap smaller before an image is written: sifting other objects
// of the newest old area into free space of older ones, squeezing free space
// out of the newest old area and out of new space, and asking the scavenger
// to keep given amounts of old space free.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

extern "C" {

// Bytes squeezed out of the newest old area by the last packing (the
// distance its cons pages and new space moved down), and the matching shift
// of its page map in words; both 0 when nothing moved.
extern uint32_t ggcp_oldp_shift;
extern uint32_t ggcp_oldo_shift;

// Packs the heap leaving `keep` free bytes in old space. Returns 1 (nothing
// done) when the heap's break is not at the top of new space or a packing
// is already running, else 0.
int ggc_pack(int32_t keep);
// Steps of ggc_pack.
void ggcp_pack_old(gc::GsOldArea* area, uint32_t distance);
void ggc_pack_adjust();
void ggcp_downshift(gc::GsOldArea* area, uint32_t pages);
void ggcp_pack_new();

// Moves the newest old areas' other objects into free space of older open
// areas, adjusts every slot and rebuilds the root set when anything moved.
void ggc_sift();
void ggcs_adj_slot(uint32_t slot);
void ggcs_adj_retaddr(uint32_t slot);

// Makes the next scavenge leave at least `otherBytes` of free old space and
// room for `symbolBytes` of symbols (each only when positive).
void gc_resize(int32_t otherBytes, int32_t symbolBytes);
}

namespace gc {

// Forwarding header a sifted object leaves where it was: a byte vector
// (type 0x62) of the object's size, its second word the new tagged address.
inline constexpr uint8_t kSiftedType = 0x62;
constexpr uint32_t siftedHeader(uint32_t bytes) {
  return ((bytes - 4) << 8) | kSiftedType;
}

}  // namespace gc
