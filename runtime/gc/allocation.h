// Allocation of conses and other objects in new space and old space.
//
// New space: other objects grow upward from GsNewOther1, cons pages are
// taken downward from the semispace's end, GlobNewFree counts what lies
// between. Old space: the same inside each open old area.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_layout.h"

extern "C" {

// New space.
int request_newspace(uint32_t bytes);  // 1 when the bytes were taken
uint32_t page_from_new(int kind);      // a page, or 0
uint32_t conspage_from_new();          // a cons page behind the shared cons pointer, or 0
uint32_t cons_from_new_page();         // a cons cell (scavenges when new space is short)
int require_new_cons(int32_t generation);
uint32_t other_from_new_xsmp(uint32_t bytes);  // the object's address, after its prefix
// The new-space frontier moved from `from` to `to` onto a later page for an
// object of `objectBytes` (without prefix): page hook, then page map.
void new_space_page_crossed(uint32_t from, uint32_t to, uint32_t objectBytes);

// Old space.
uint32_t page_from_old();  // a page taken from an open area, or 0
uint32_t cons_from_old();  // a cons cell, or 0 when old space is full
uint32_t grab_old_other(gc::GsOldArea* area, uint32_t bytes);  // 0 when it does not fit
uint32_t other_from_old_xsmp(uint32_t bytes);
uint32_t other_from_static_xsmp(uint32_t bytes, int inHeap, void* oldStorage);

// The scavenger's entry: makes `bytes` of new space free (and a cons page of
// the current generation) or does not return.
void scavenge(uint32_t bytes);
}
