// The collector's routines in the runtime entry table, and their native
// halves.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// Runtime routines (Lisp register conventions; see collector_entries.S).
void set_fn_code();
// The routine `gc`; named apart in C++, where gc is the collector's namespace.
void gc_entry() __asm__("gc");
void gsgc_control();
void gsgc_totalloc();
void gsgc_build_map();
void panify();
void pointer_storage_type();
void user_verify();
void dummy_mcons();
void pack_heap();
void gsgc_type_counts();

// Native halves, called inside a foreign-call record; Lisp values in and out.
lisp::lispval gsgc_control_native(lisp::lispval flag);
lisp::lispval gsgc_totalloc_native(lisp::lispval vector, lisp::lispval flag);
lisp::lispval gsgc_build_map_native(lisp::lispval mode, lisp::lispval vector, uint32_t count);
lisp::lispval GsgcPanify(lisp::lispval object);
lisp::lispval pointer_storage_type_native(lisp::lispval value);
lisp::lispval user_verify_native(lisp::lispval value);
lisp::lispval pack_heap_native(lisp::lispval mode, lisp::lispval a, lisp::lispval b);
lisp::lispval gsgc_type_counts_native(lisp::lispval counts, lisp::lispval sizes, lisp::lispval mode);

// Where a value points, as a code: 0 immediate, 4 outside the Lisp heap,
// 8 an old area, 12 a new cons or plain object, 16 keep-new, 20 weak
// vector, 24 finalization, 28 and 32 the two weak-key vector kinds.
uint32_t gsgc_pointer_storage_type(lisp::lispval value);
}
