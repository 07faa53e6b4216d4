// Reading and writing the collector's parameter block, and the -fg letters.
//
// Every value Lisp writes is brought into the range the collector can work
// with before it is stored: a quantum of whole even pages, percentages of
// 0 to 99, a spread of at least 1, an open-area fence on the chain.

#include "runtime/gc/gc_parameters.h"

#include <algorithm>

#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"

namespace {

uint32_t clampPercent(int32_t value) {
  return static_cast<uint32_t>(std::clamp(value, 0, gc::kMaxPercent));
}

const gc::FlagLetter* flagLetter(char letter) {
  for (const gc::FlagLetter& row : gc::kFlagLetters)
    if (row.letter == letter) return &row;
  return nullptr;
}

}  // namespace

extern "C" {

void GsReadCtl(gc_parameter_block* block) {
  *block = {};
  block->generation = static_cast<int32_t>(gc::globalWord(gc::global::kGeneration));
  block->tenureLimit = GsTenureLimit;
  block->quantumPages = static_cast<int32_t>(GsNewQuantum / gc::kPageBytes);
  block->pageSize = gc::kPageBytes;
  block->minFreeNewOther = static_cast<int32_t>(GsMinFreeNewOther);
  block->minFreeNewPageSpace = static_cast<int32_t>(GsMinFreeNewPageSpace);
  block->flags = static_cast<int32_t>(GsCtlFlags);
  block->generationSpread = GsGenSpread;
  block->minFreeNewPercent = static_cast<int32_t>(GsMinFreeNewPercent);
  block->expFreeNewPercent = static_cast<int32_t>(GsExpFreeNewPercent);
  block->expFreeOldPercent = static_cast<int32_t>(GsExpFreeOldPercent);
  block->openAreaFence = getOpenOldFence();
}

void GsWriteCtl(const gc_parameter_block* block) {
  gc::globalWord(gc::global::kGeneration) = static_cast<uint32_t>(block->generation);
  GsTenureLimit = block->tenureLimit;
  int32_t pages = std::clamp(block->quantumPages, gc::kMinQuantumPages, gc::kMaxQuantumPages);
  pages += pages & 1;
  GsNewQuantum = static_cast<uint32_t>(pages) * gc::kPageBytes;
  GsMinFreeNewOther = static_cast<uint32_t>(block->minFreeNewOther);
  GsMinFreeNewPageSpace = static_cast<uint32_t>(block->minFreeNewPageSpace);
  GsCtlFlags = static_cast<uint32_t>(block->flags);
  GsGenSpread = std::max(block->generationSpread, 1);
  GsMinFreeNewPercent = clampPercent(block->minFreeNewPercent);
  GsExpFreeNewPercent = clampPercent(block->expFreeNewPercent);
  GsExpFreeOldPercent = clampPercent(block->expFreeOldPercent);
  setOpenOldFence(block->openAreaFence);
}

void gsgc_flag_init(const char* letters) {
  if (!letters) return;
  bool setting = true;
  for (const char* c = letters; *c != '\0'; ++c) {
    if (*c == '+' || *c == '-') {
      setting = *c == '+';
    } else if (const gc::FlagLetter* row = flagLetter(*c)) {
      GsCtlFlags = setting ? GsCtlFlags | row->bit : GsCtlFlags & ~row->bit;
    } else {
      gc_messages::warn(gc_messages::kUnknownFlagLetter, *c);
    }
  }
}

}  // extern "C"
