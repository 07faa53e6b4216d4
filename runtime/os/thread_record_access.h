// Accessors of the native-side words of thread records, for code that does
// not keep the record in a register.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The foreign-call chain head of a raw record; -1 when there is no record.
uint32_t get_clink(uint32_t* record);
// The calling thread's chain head, leaf marker and stack base.
void set_clink(uint32_t value);
uint32_t get_c_leaf();
void set_c_leaf(uint32_t value);
uint32_t get_stackbase();  // 0 when the caller has no record
// The calling thread's multiple-values area (four words), or null.
uint32_t* thread_mv_slots();
// The foreign-call chain head of a tagged record.
uint32_t thread_clink(lisp::lispval record);
// The cons limit of an allocation page record (its first word a tagged
// thread record, its second the page's own limit): the address the named
// thread's allocation word points at when that lies at or above the page
// record, otherwise the second word.
uint32_t thread_page_conslimit(const uint32_t* record);
// The record's address when it heads the active records; otherwise a fatal
// error.
uint32_t vxm_validate_inline_tls(lisp::lispval record);
}
