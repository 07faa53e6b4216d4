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

namespace {
constexpr HeapWordRole N = HeapWordRole::None;
constexpr HeapWordRole A = HeapWordRole::Address;
constexpr HeapWordRole H = HeapWordRole::ChainHead;
constexpr HeapWordRole T = HeapWordRole::ChainTail;
constexpr HeapWordRole P = HeapWordRole::Pagemap;

// Variables in the native heap (the bitmap, the lisp-static registry) or in
// this library (hooks) never move with the Lisp heap.
const CollectorVariable kRows[] = {
    // root-set bitmap
    {"setf_protect_bmap", &setf_protect_bmap, N},
    {"setf_protect_bmap_size", &setf_protect_bmap_size, N},
    // old areas
    {"GsOldAreas", &GsOldAreas, A},
    {"GsLastOldArea", &GsLastOldArea, A},
    {"GsOldAreaCt", &GsOldAreaCt, N},
    {"GsAgingArea", &GsAgingArea, A},
    {"GsAgingAreaSize", &GsAgingAreaSize, N},
    {"GsOldPageArea", &GsOldPageArea, A},
    {"GsOldConsPage", &GsOldConsPage, A},
    {"GsOldSmallOtherArea", &GsOldSmallOtherArea, A},
    {"GsOldBigOtherArea", &GsOldBigOtherArea, A},
    {"GsOpenOldAreaFence", &GsOpenOldAreaFence, A},
    {"GsOldAreaType", &GsOldAreaType, N},
    // new space
    {"GsNewAllocationArea.start", &GsNewAllocationArea.start, A},
    {"GsNewAllocationArea.end", &GsNewAllocationArea.end, A},
    {"GsNewAllocationArea.pageLowMark", &GsNewAllocationArea.pageLowMark, A},
    {"GsNewSemiSize", &GsNewSemiSize, N},
    {"GsNewScavengeToArea", &GsNewScavengeToArea, A},
    {"GsNewFence", &GsNewFence, A},
    {"GsNewFenceLV", &GsNewFenceLV, A},
    {"GsNewTop", &GsNewTop, A},
    {"GsNewTopLV", &GsNewTopLV, A},
    {"GsNewReserve", &GsNewReserve, N},
    {"GsNewHidden", &GsNewHidden, N},
    {"xxGsAllocConsPage", &xxGsAllocConsPage, A},
    {"GsNewOther1", &GsNewOther1, A},
    {"GsNewPagemap", &GsNewPagemap, P},
    {"GsGenConsPage[0]", &GsGenConsPage[0], A},
    {"GsGenConsPage[1]", &GsGenConsPage[1], A},
    {"GsGenConsPage[2]", &GsGenConsPage[2], A},
    {"GsGenConsPage[3]", &GsGenConsPage[3], A},
    {"GsGenConsPage[4]", &GsGenConsPage[4], A},
    {"GsGenConsPage[5]", &GsGenConsPage[5], A},
    {"GsGenConsPage[6]", &GsGenConsPage[6], A},
    {"GsGenConsPage[7]", &GsGenConsPage[7], A},
    {"GsGenConsPage[8]", &GsGenConsPage[8], A},
    {"GsGenConsPage[9]", &GsGenConsPage[9], A},
    {"GsGenConsPage[10]", &GsGenConsPage[10], A},
    {"GsGenConsPage[11]", &GsGenConsPage[11], A},
    {"GsGenConsPage[12]", &GsGenConsPage[12], A},
    {"GsGenConsPage[13]", &GsGenConsPage[13], A},
    {"GsGenConsPage[14]", &GsGenConsPage[14], A},
    {"GsGenConsPage[15]", &GsGenConsPage[15], A},
    {"GsGenConsPage[16]", &GsGenConsPage[16], A},
    {"GsGenConsPage[17]", &GsGenConsPage[17], A},
    {"GsGenConsPage[18]", &GsGenConsPage[18], A},
    {"GsGenConsPage[19]", &GsGenConsPage[19], A},
    {"GsGenConsPage[20]", &GsGenConsPage[20], A},
    {"GsGenConsPage[21]", &GsGenConsPage[21], A},
    {"GsGenConsPage[22]", &GsGenConsPage[22], A},
    {"GsGenConsPage[23]", &GsGenConsPage[23], A},
    {"GsGenConsPage[24]", &GsGenConsPage[24], A},
    {"GsGenConsPage[25]", &GsGenConsPage[25], A},
    // parameters and sizing
    {"GsMinFreeOldOther", &GsMinFreeOldOther, N},
    {"GsMinFreeOldSyms", &GsMinFreeOldSyms, N},
    {"GsMinFreeNewOther", &GsMinFreeNewOther, N},
    {"GsMinFreeNewPageSpace", &GsMinFreeNewPageSpace, N},
    {"GsMinFreeNewPercent", &GsMinFreeNewPercent, N},
    {"GsExpFreeNewPercent", &GsExpFreeNewPercent, N},
    {"GsExpFreeOldPercent", &GsExpFreeOldPercent, N},
    {"GsNewExpansion", &GsNewExpansion, N},
    {"GsOldExpansion", &GsOldExpansion, N},
    {"GsConsTenuresWaiting", &GsConsTenuresWaiting, N},
    {"GsOtherTenuresWaiting", &GsOtherTenuresWaiting, N},
    {"GsNewQuantum", &GsNewQuantum, N},
    {"GsCtlFlags", &GsCtlFlags, N},
    {"GsTenureLimit", &GsTenureLimit, N},
    {"GsGenSpread", &GsGenSpread, N},
    {"GsUT", &GsUT, N},
    {"GsRecentTenures", &GsRecentTenures, N},
    {"GsOldShrinkage", &GsOldShrinkage, N},
    {"GsNewShrinkage", &GsNewShrinkage, N},
    // scavenger state
    {"GsWeakChain", &GsWeakChain, H},
    {"GsFinlzChain", &GsFinlzChain, H},
    {"GsCodeTree", &GsCodeTree, A},
    {"GsCCPCons", &GsCCPCons, A},
    {"GsCCPQueue", &GsCCPQueue, A},
    {"GsCCICons", &GsCCICons, A},
    {"GsCCOther", &GsCCOther, A},
    {"GsTenureCatchupConsArea", &GsTenureCatchupConsArea, A},
    {"GsTenureCatchupConsPage", &GsTenureCatchupConsPage, A},
    {"GsTenureCatchupConsItem", &GsTenureCatchupConsItem, A},
    {"GSTCACons", &GSTCACons, A},
    {"GSTCPCons", &GSTCPCons, A},
    {"GSTCICons", &GSTCICons, A},
    {"GsOldBitMapSize", &GsOldBitMapSize, N},
    {"GsBitMapArea", &GsBitMapArea, A},
    {"GsPMVO", &GsPMVO, N},
    {"GsPMS", &GsPMS, N},
    {"GsPMPfx", &GsPMPfx, N},
    {"GsInGlobalGc", &GsInGlobalGc, N},
    {"GsSVC_tail", &GsSVC_tail, T},
    {"GsSVC_head", &GsSVC_head, H},
    {"GsCVC_tail", &GsCVC_tail, T},
    {"GsCVC_head", &GsCVC_head, H},
    {"GsCVC_count", &GsCVC_count, N},
    // lisp-static registry
    {"Gslispstatic_count", &Gslispstatic_count, N},
    {"Gslispstatic_min", &Gslispstatic_min, N},
    {"Gslispstatic_max", &Gslispstatic_max, N},
    {"first_lispstatic", &first_lispstatic, N},
    {"last_lispstatic", &last_lispstatic, N},
    {"last_lispstatic_index", &last_lispstatic_index, N},
    {"lispstatic_block_blocks", &lispstatic_block_blocks, N},
    // not saved
    {"GsWorstCasePagesize", &GsWorstCasePagesize, N},
    {"GsFailedHlimit", &GsFailedHlimit, N},
    {"GsFailedSbrk", &GsFailedSbrk, N},
    {"InScavenge", &InScavenge, N},
    {"vxmmalloc_frees", &vxmmalloc_frees, N},
    {"pageallochook", &pageallochook, N},
};
}  // namespace

const std::span<const CollectorVariable> kCollectorVariables = kRows;

uint32_t& globalWord(int32_t offset) {
  return lisp::wordAt(nilval, offset);
}

}  // namespace gc
