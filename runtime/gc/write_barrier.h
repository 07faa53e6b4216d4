// The write barrier: stores of Lisp values into heap objects that keep the
// root-set bitmap up to date.
//
// A set bit of setf_protect_bmap promises nothing but "some word on this page
// may point into new space or at a lisp-static object"; a clear bit promises
// that no word on the page does. Pages below GlobHeapBasePage and beyond the
// bitmap have no bit and are never marked.
#pragma once

#include <cstdint>

extern "C" {

// Runtime routines (Lisp register conventions; see write_barrier.S).
void gc_setf_protect();
void gc_setf_protect_x();
void gc_setf_protect_y();
void gc_set_protect();
void gc_setf_protect_atomic();
void gsgc_setf_protect_1();

// Native entries.
void fasl_protect(uint32_t slot);    // after a store into an old object
void cnoteroot(uint32_t slot);       // marks the slot's page when its value needs it
void notelispstatic(uint32_t slot);  // marks it when the value is a registered lisp-static
void noteroot(uint32_t address);     // sets the bit of the address's page
}

namespace gc {
// Whether the bit of the address's page is set (false for pages without one).
bool rootBitSet(uint32_t address);
void clearRootBit(uint32_t address);
// Clears the bits of the pages that hold [from, to).
void clearRootBits(uint32_t from, uint32_t to);
// Whether a slot holding `value` must lie on a marked page: a pointer into
// new space, or at a registered lisp-static object.
bool needsRootBit(uint32_t value);
}  // namespace gc
