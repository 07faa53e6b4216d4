// The thread-local slot that holds each thread's record, as the runtime's
// native entry points read it (through %fs; see platform/thread_block.h).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Byte offset of the runtime's slot in a thread's slot array (slot index * 4);
// 0x100 and above address the expansion slots. Set by the start-up code.
extern uint32_t lisp_tls_index;

// Allocates a thread-local slot and stores its index (0, 1, ...) through
// `index`; 1 on success, 0 when every slot is taken.
int init_tls(uint32_t* index);

// Stores `record` (a tagged thread record) in the calling thread's slot at
// byte offset `index`; 1 on success, 0 when the slot is not allocated.
int set_tls_thread(uint32_t index, lisp::lispval record);
int rs_set_tls_thread(uint32_t index, lisp::lispval record);

// The placeholder thread record (tagged) used while the first heap is built;
// setup_dummy_threadctl makes it.
extern lisp::lispval dummy_thread;
}

namespace lisp {
lispval dummyThreadWord();
}
