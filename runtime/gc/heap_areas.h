// Laying out the Lisp heap: GsInit for a heap built from scratch, old areas
// with their pagemaps, the new-space allocation semispace, heap growth within
// the root-set bitmap's reach, and the open-area fence.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

extern "C" {

// Builds the heap at the Lisp heap's break (the heap is reserved already).
// Sizes in bytes; a spread below 1 becomes 1; sizes below 256 KB end the process.
void GsInit(uint32_t oldSize, uint32_t newSize, int32_t spread, uint32_t reserve);
void GsRebornInit();

void GsOldAreaSetup(uint32_t start, uint32_t size);
void GsOldAreaSetsize(gc::GsOldArea* area, uint32_t size);
void GsInitPagemap(uint32_t pagemap, uint32_t firstAddress, uint32_t words, uint32_t firstObject);
void GsNewAreaSetup(uint32_t start, uint32_t size);

// Grows the Lisp heap by n bytes; stores the new break into *newBreak.
// 0 on success; -1 (break unchanged) when the heap or the bitmap cannot grow.
int limited_setbrk(uint32_t n, uint32_t* newBreak);
// Enlarges the root-set bitmap to cover `span` bytes; 0 when it cannot.
int allocate_new_bmap(uint32_t span);

// Closes the areas before the n-th (negative: counted back from the newest).
void setOpenOldFence(int32_t n);
int32_t getOpenOldFence();

// Free new space in twentieths.
uint32_t GsNewspaceFullness();

// The shared cons pointer of Lisp code and the page behind it.
void sync_shared_cons_pointer();  // writes its fill back into the page
void point_shared_cons_pointer(uint32_t page);
}

namespace gc {
// The alignment of heap growth that must hold on every host the image may
// run on: the host's allocation granularity, at least a page. GsInit sets
// GsWorstCasePagesize to it, and so does an image restore.
uint32_t worstCasePageSize();
}  // namespace gc
