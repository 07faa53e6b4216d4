// Definitions of the collector's variables; see gc_state.h.

#include "runtime/gc/gc_state.h"

extern "C" {

// ---- root-set bitmap ----
uint32_t* setf_protect_bmap = {};
uint32_t setf_protect_bmap_size = {};

// ---- old areas ----
gc::GsOldArea* GsOldAreas = {};
gc::GsOldArea* GsLastOldArea = {};
uint32_t GsOldAreaCt = {};
uint32_t GsAgingArea = {};
uint32_t GsAgingAreaSize = {};
gc::GsOldArea* GsOldPageArea = {};
uint32_t GsOldConsPage = {};
gc::GsOldArea* GsOldSmallOtherArea = {};
gc::GsOldArea* GsOldBigOtherArea = {};
gc::GsOldArea* GsOpenOldAreaFence = {};
uint32_t GsOldAreaType = {};

// ---- new space ----
gc::GsNewArea GsNewAllocationArea = {};
uint32_t GsNewSemiSize = {};
uint32_t GsNewScavengeToArea = {};
uint32_t GsNewFence = {};
uint32_t GsNewFenceLV = {};
uint32_t GsNewTop = {};
uint32_t GsNewTopLV = {};
uint32_t GsNewReserve = {};
uint32_t GsNewHidden = {};
uint32_t xxGsAllocConsPage = {};
uint32_t GsNewOther1 = {};
uint32_t GsNewPagemap = {};
uint32_t GsGenConsPage[gc::kGenerationCount] = {};

// ---- parameters and sizing ----
uint32_t GsMinFreeOldOther = {};
uint32_t GsMinFreeOldSyms = {};
uint32_t GsMinFreeNewOther = {};
uint32_t GsMinFreeNewPageSpace = {};
uint32_t GsMinFreeNewPercent = {};
uint32_t GsExpFreeNewPercent = {};
uint32_t GsExpFreeOldPercent = {};
uint32_t GsNewExpansion = {};
uint32_t GsOldExpansion = {};
uint32_t GsConsTenuresWaiting = {};
uint32_t GsOtherTenuresWaiting = {};
uint32_t GsNewQuantum = {};
uint32_t GsCtlFlags = {};
int32_t GsTenureLimit = {};
int32_t GsGenSpread = {};
uint32_t GsUT = {};
uint32_t GsRecentTenures = {};
uint32_t GsOldShrinkage = {};
uint32_t GsNewShrinkage = {};

// ---- scavenger state (kept here because images carry it) ----
uint32_t GsWeakChain = {};
uint32_t GsFinlzChain = {};
uint32_t GsCodeTree = {};
uint32_t GsCCPCons = {};
uint32_t GsCCPQueue = {};
uint32_t GsCCICons = {};
uint32_t GsCCOther = {};
gc::GsOldArea* GsTenureCatchupConsArea = {};
uint32_t GsTenureCatchupConsPage = {};
uint32_t GsTenureCatchupConsItem = {};
uint32_t GSTCACons = {};
uint32_t GSTCPCons = {};
uint32_t GSTCICons = {};
uint32_t GsOldBitMapSize = {};
uint32_t GsBitMapArea = {};
uint32_t GsPMVO = {};
uint32_t GsPMS = {};
uint32_t GsPMPfx = {};
uint32_t GsInGlobalGc = {};
uint32_t GsSVC_tail = {};
uint32_t GsSVC_head = {};
uint32_t GsCVC_tail = {};
uint32_t GsCVC_head = {};
uint32_t GsCVC_count = {};

// ---- lisp-static registry (its range is what the barrier tests) ----
int32_t Gslispstatic_count = {};
uint32_t Gslispstatic_min = {};
uint32_t Gslispstatic_max = {};
uint32_t first_lispstatic = {};
uint32_t last_lispstatic = {};
uint32_t last_lispstatic_index = {};
uint32_t lispstatic_block_blocks = {};

// ---- not saved ----
uint32_t GsWorstCasePagesize = {};
uint32_t GsFailedHlimit = {};
uint32_t GsFailedSbrk = {};
uint32_t InScavenge = {};
uint32_t vxmmalloc_frees = {};
page_allocation_hook pageallochook = {};
}

namespace gc {

uint32_t& globalWord(int32_t offset) {
  return lisp::wordAt(nilval, offset);
}

}  // namespace gc
