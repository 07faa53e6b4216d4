// The generation scavenger: copies the live objects of the allocation
// semispace into the other semispace, tenures the old enough into old
// areas, and leaves the root-set bitmap marking every old page that still
// points into new space.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_walkers.h"
#include "runtime/rs/lisp_value.h"

extern "C" {

extern uint32_t ScavengeCt;      // scavenges so far
extern uint32_t ScavengeSelect;  // gsbp is called when ScavengeCt reaches it
// The last three objects the scans looked at, newest first, for error reports.
extern uint32_t GsScanHist1;
extern uint32_t GsScanHist2;
extern uint32_t GsScanHist3;
// Native variable: the address of the symbol table's first element.
extern uint32_t oblist;

void scavenge1(uint32_t request);
void GsEnter(uint32_t argument);
void GsExit(uint32_t request);

// Slot treatments.
void checknslot(uint32_t slot);    // a root or a copied object's slot
void ochecknslot(uint32_t slot);   // a slot in old space: checknslot, then cnoteroot
void checkcslot(uint32_t slot);    // a function's code-vector slot
void checkretaddr(uint32_t slot);  // a return address into a new-space code vector

// Copying: the tagged word of the copy. The original is forwarded.
lisp::lispval copynewcons(lisp::lispval cons);
lisp::lispval copynewother(uint32_t prefix, uint32_t type, uint32_t tag);

void build_code_tree();
void copycatchup_init();
int copycatchup_cons();
int copycatchup_other();
void tenurecatchup_init();
int tenurecatchup_cons();
int tenurecatchup_other();
void scavenge_globals();
void scavenge_stack();

// Calls into Lisp after a collection (through the installed caller), from a
// thread with a record only; sizes go as integers (a bignum beyond the
// fixnum range).
void GsExitHook(uint32_t efficiency, uint32_t oldCopy, uint32_t newCopy, int global,
                uint32_t request);
void GsFailedSbrkError(uint32_t request, int oldExpansion, uint32_t zero, uint32_t failedBytes,
                       uint32_t heapLimit, uint32_t failCode);

// Collector timing of the system layer (runtime/os/process_times).
void gcstart();
void gcend();
}

namespace gc {

// Calls the Lisp function `function` with `count` arguments. Start-up
// installs the bridge into Lisp with the thread registry (build and
// restore alike); without one the collector's calls into Lisp are skipped.
using LispCaller = void (*)(lisp::lispval function, const lisp::lispval* arguments, uint32_t count);
void setLispCaller(LispCaller caller);

// Lets a refill of the native heap that finds the region exhausted scavenge
// (done when the library loads; forgetting the heaps undoes it).
void linkScavengerToNativeHeap();

// Points the shared cons pointer at the current generation's cons page.
void pointAtCurrentGenerationPage();

// Slot treatments the scans hand to the shared walkers.
extern const SlotTreatment kNewSlotTreatment;  // checknslot, checkcslot
extern const SlotTreatment kOldSlotTreatment;  // ochecknslot, checkcslot + cnoteroot

}  // namespace gc
