// The collector's variables (module "gca"), and the global words of the nil
// block that allocation and the write barrier share with compiled code.
//
// Everything listed in gc_data_record.h travels with a heap image; the rest
// is set again at start-up.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/gc/heap_layout.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"

extern "C" {

extern lisp::lispval nilval;

// ---- root-set bitmap ----
extern uint32_t* setf_protect_bmap;
extern uint32_t setf_protect_bmap_size;  // words

// ---- old areas ----
extern gc::GsOldArea* GsOldAreas;     // oldest (lowest address)
extern gc::GsOldArea* GsLastOldArea;  // newest
extern uint32_t GsOldAreaCt;
extern uint32_t GsAgingArea;
extern uint32_t GsAgingAreaSize;
extern gc::GsOldArea* GsOldPageArea;  // old cons pages are taken from here on
extern uint32_t GsOldConsPage;
extern gc::GsOldArea* GsOldSmallOtherArea;
extern gc::GsOldArea* GsOldBigOtherArea;
extern gc::GsOldArea* GsOpenOldAreaFence;  // first open area
extern uint32_t GsOldAreaType;

// ---- new space ----
extern gc::GsNewArea GsNewAllocationArea;
extern uint32_t GsNewSemiSize;
extern uint32_t GsNewScavengeToArea;
extern uint32_t GsNewFence;    // start of new space
extern uint32_t GsNewFenceLV;  // GsNewFence + 16
extern uint32_t GsNewTop;      // end of new space
extern uint32_t GsNewTopLV;    // GsNewTop + 16: the largest word that points into new space
extern uint32_t GsNewReserve;
extern uint32_t GsNewHidden;
extern uint32_t xxGsAllocConsPage;  // the page behind the shared cons pointer
extern uint32_t GsNewOther1;
extern uint32_t GsNewPagemap;  // biased
extern uint32_t GsGenConsPage[gc::kGenerationCount];

// ---- parameters and sizing ----
extern uint32_t GsMinFreeOldOther;
extern uint32_t GsMinFreeOldSyms;
extern uint32_t GsMinFreeNewOther;
extern uint32_t GsMinFreeNewPageSpace;
extern uint32_t GsMinFreeNewPercent;
extern uint32_t GsExpFreeNewPercent;
extern uint32_t GsExpFreeOldPercent;
extern uint32_t GsNewExpansion;
extern uint32_t GsOldExpansion;
extern uint32_t GsConsTenuresWaiting;
extern uint32_t GsOtherTenuresWaiting;
extern uint32_t GsNewQuantum;  // bytes
extern uint32_t GsCtlFlags;
extern int32_t GsTenureLimit;
extern int32_t GsGenSpread;
extern uint32_t GsUT;
extern uint32_t GsRecentTenures;
extern uint32_t GsOldShrinkage;
extern uint32_t GsNewShrinkage;

// ---- scavenger state (kept here because images carry it) ----
extern uint32_t GsWeakChain;
extern uint32_t GsFinlzChain;
extern uint32_t GsCodeTree;
extern uint32_t GsCCPCons;
extern uint32_t GsCCPQueue;
extern uint32_t GsCCICons;
extern uint32_t GsCCOther;
extern gc::GsOldArea* GsTenureCatchupConsArea;
extern uint32_t GsTenureCatchupConsPage;
extern uint32_t GsTenureCatchupConsItem;
extern uint32_t GSTCACons;
extern uint32_t GSTCPCons;
extern uint32_t GSTCICons;
extern uint32_t GsOldBitMapSize;
extern uint32_t GsBitMapArea;
extern uint32_t GsPMVO;
extern uint32_t GsPMS;
extern uint32_t GsPMPfx;
extern uint32_t GsInGlobalGc;
extern uint32_t GsSVC_tail;
extern uint32_t GsSVC_head;
extern uint32_t GsCVC_tail;
extern uint32_t GsCVC_head;
extern uint32_t GsCVC_count;

// ---- lisp-static registry (its range is what the barrier tests) ----
extern int32_t Gslispstatic_count;
extern uint32_t Gslispstatic_min;
extern uint32_t Gslispstatic_max;
extern uint32_t first_lispstatic;
extern uint32_t last_lispstatic;
extern uint32_t last_lispstatic_index;
extern uint32_t lispstatic_block_blocks;

// ---- not saved ----
extern uint32_t GsWorstCasePagesize;  // heap growth granularity
extern uint32_t GsFailedHlimit;       // maxheapsize when the bitmap could not grow
extern uint32_t GsFailedSbrk;
extern uint32_t InScavenge;
extern uint32_t vxmmalloc_frees;  // native bytes freed during a collection
using page_allocation_hook = void (*)(int kind, uint32_t bytes);
extern page_allocation_hook pageallochook;
}

namespace gc {

// Global words of the nil block that the collector reads and writes.
namespace global {
namespace nb = lisp::nil_block::global;
inline constexpr int32_t kGeneration = nb::kAllocationStamp;  // GlobGeneration, raw
inline constexpr int32_t kNewFree = nb::kNewSpaceFree;        // GlobNewFree, raw signed
inline constexpr int32_t kNewOtherTop = nb::kNewSpaceNext;    // GlobNewOtherTop, raw
inline constexpr int32_t kConsFill = nb::kConsFill;           // GlobConsFill, tagged
inline constexpr int32_t kConsLimit = nb::kConsLimit;         // GlobConsLimit, tagged
inline constexpr int32_t kNewFence = nb::kNewSpaceBoundary;   // GlobNewFence, raw
inline constexpr int32_t kHeapBasePage = nb::kFirstHeapPage;  // GlobHeapBasePage
// Global word -N lies 0x15 + 4N below nil.
inline constexpr int32_t kFinalizeQueue = -0x15 - 4 * 159;    // GlobFinalizeQueue, a list
inline constexpr int32_t kWeakReplacement = -0x15 - 4 * 103;  // GlobWeakReplacement, a symbol
}  // namespace global

// The global word at nil + offset of the running heap.
uint32_t& globalWord(int32_t offset);

// What moving the Lisp heap does with a collector variable.
enum class HeapWordRole : uint8_t {
  None,       // holds no Lisp heap address
  Address,    // a heap address, or a value outside the heap: shifted when inside
  ChainHead,  // first element of a new-space prefix chain: relinked with the chain
  ChainTail,  // last element of that chain, or the head variable's own address
  Pagemap,    // a biased page-map base: computed again where the map lies
};
// One row per word of every variable declared above (arrays and records
// word by word), in the order of their definitions; a test holds the list
// against gc_state.h and the image's record of collector words.
struct CollectorVariable {
  const char* name;
  void* variable;
  HeapWordRole role;
};
extern const std::span<const CollectorVariable> kCollectorVariables;

}  // namespace gc
