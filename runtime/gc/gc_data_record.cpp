#include "runtime/gc/gc_data_record.h"

#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/load/startup_services.h"

namespace gc {

namespace {
constexpr uint32_t kBytesPerBitmapWord = 1u << 18;
constexpr uint32_t kMaxHeapSlack = 0x80000;
}  // namespace

#define GC_WORD(variable) \
  GcDataWord {            \
#variable, &variable  \
  }
#define GC_UNUSED     \
  GcDataWord {        \
    "unused", nullptr \
  }

const std::array<GcDataWord, kGcDataWords> kGcDataWordsTable = {{
    GC_WORD(setf_protect_bmap),
    GC_WORD(setf_protect_bmap_size),
    GC_WORD(GsOldAreas),
    GC_WORD(GsLastOldArea),
    GC_WORD(GsOldAreaCt),
    GC_WORD(GsAgingArea),
    GC_WORD(GsAgingAreaSize),
    GC_WORD(GsOldPageArea),
    GC_WORD(GsOldConsPage),
    GC_WORD(GsOldSmallOtherArea),
    GC_WORD(GsOldBigOtherArea),
    GC_WORD(GsNewAllocationArea.start),
    GC_WORD(GsNewAllocationArea.end),
    GC_WORD(GsNewSemiSize),
    GC_WORD(GsNewScavengeToArea),
    GC_WORD(GsNewFence),
    GC_WORD(GsNewFenceLV),
    GC_WORD(GsNewTop),
    GC_WORD(GsNewReserve),
    GC_WORD(GsNewHidden),
    GC_WORD(GsNewAllocationArea.pageLowMark),
    GC_UNUSED,
    GC_WORD(xxGsAllocConsPage),
    GC_WORD(GsNewOther1),
    GC_WORD(GsNewPagemap),
    GC_WORD(GsMinFreeOldOther),
    GC_WORD(GsMinFreeOldSyms),
    GC_WORD(GsMinFreeNewOther),
    GC_WORD(GsMinFreeNewPageSpace),
    GC_WORD(GsMinFreeNewPercent),
    GC_WORD(GsExpFreeNewPercent),
    GC_WORD(GsExpFreeOldPercent),
    GC_WORD(GsNewExpansion),
    GC_WORD(GsOldExpansion),
    GC_WORD(GsConsTenuresWaiting),
    GC_WORD(GsOtherTenuresWaiting),
    GC_WORD(GsNewQuantum),
    GC_WORD(GsCtlFlags),
    GC_WORD(GsWeakChain),
    GC_WORD(GsFinlzChain),
    GC_UNUSED,
    GC_WORD(GsCodeTree),
    GC_WORD(GsTenureLimit),
    GC_WORD(GsGenSpread),
    GC_WORD(GsCCPCons),
    GC_WORD(GsCCPQueue),
    GC_WORD(GsCCICons),
    GC_WORD(GsCCOther),
    GC_WORD(GsTenureCatchupConsArea),
    GC_WORD(GsTenureCatchupConsPage),
    GC_WORD(GsTenureCatchupConsItem),
    GC_WORD(GSTCACons),
    GC_WORD(GSTCPCons),
    GC_WORD(GSTCICons),
    GC_WORD(GsOldBitMapSize),
    GC_WORD(GsBitMapArea),
    GC_WORD(GsPMVO),
    GC_WORD(GsPMS),
    GC_WORD(GsPMPfx),
    GC_WORD(GsInGlobalGc),
    GC_WORD(GsGenConsPage[0]),
    GC_WORD(GsGenConsPage[1]),
    GC_WORD(GsGenConsPage[2]),
    GC_WORD(GsGenConsPage[3]),
    GC_WORD(GsGenConsPage[4]),
    GC_WORD(GsGenConsPage[5]),
    GC_WORD(GsGenConsPage[6]),
    GC_WORD(GsGenConsPage[7]),
    GC_WORD(GsGenConsPage[8]),
    GC_WORD(GsGenConsPage[9]),
    GC_WORD(GsGenConsPage[10]),
    GC_WORD(GsGenConsPage[11]),
    GC_WORD(GsGenConsPage[12]),
    GC_WORD(GsGenConsPage[13]),
    GC_WORD(GsGenConsPage[14]),
    GC_WORD(GsGenConsPage[15]),
    GC_WORD(GsGenConsPage[16]),
    GC_WORD(GsGenConsPage[17]),
    GC_WORD(GsGenConsPage[18]),
    GC_WORD(GsGenConsPage[19]),
    GC_WORD(GsGenConsPage[20]),
    GC_WORD(GsGenConsPage[21]),
    GC_WORD(GsGenConsPage[22]),
    GC_WORD(GsGenConsPage[23]),
    GC_WORD(GsGenConsPage[24]),
    GC_WORD(GsGenConsPage[25]),
    GC_WORD(GsUT),
    GC_WORD(GsOldAreaType),
    GC_WORD(GsOpenOldAreaFence),
    GC_WORD(GsRecentTenures),
    GC_WORD(GsOldShrinkage),
    GC_WORD(GsNewShrinkage),
    GC_WORD(GsSVC_tail),
    GC_WORD(GsSVC_head),
    GC_WORD(GsCVC_tail),
    GC_WORD(GsCVC_head),
    GC_WORD(GsCVC_count),
    GC_WORD(Gslispstatic_count),
    GC_WORD(Gslispstatic_min),
    GC_WORD(Gslispstatic_max),
    GC_WORD(first_lispstatic),
    GC_WORD(last_lispstatic),
    GC_WORD(last_lispstatic_index),
    GC_WORD(lispstatic_block_blocks),
}};

#undef GC_WORD
#undef GC_UNUSED

}  // namespace gc

extern "C" {

void capture_gc_data(uint32_t record[gc::kGcDataWords]) {
  for (uint32_t i = 0; i < gc::kGcDataWords; ++i) {
    const void* variable = gc::kGcDataWordsTable[i].variable;
    record[i] = 0;
    if (variable) std::memcpy(&record[i], variable, 4);
  }
}

void restore_gc_data(const uint32_t record[gc::kGcDataWords]) {
  for (uint32_t i = 0; i < gc::kGcDataWords; ++i)
    if (void* variable = gc::kGcDataWordsTable[i].variable) std::memcpy(variable, &record[i], 4);
  maxheapsize = setf_protect_bmap_size * gc::kBytesPerBitmapWord - gc::kMaxHeapSlack;
  // Mended: the tail of an empty chain names the chain's head word, which
  // lies in this library, not where the saving process had it loaded.
  if (GsSVC_head == 0) GsSVC_tail = gc::addressOf(&GsSVC_head);
  if (GsCVC_head == 0) GsCVC_tail = gc::addressOf(&GsCVC_head);
  // Not in the record, but the write barrier needs it.
  GsNewTopLV = GsNewTop + lisp::kPointerBias;
  // Not in the record either: growth and packing align to it.
  GsWorstCasePagesize = gc::worstCasePageSize();
}

}  // extern "C"
