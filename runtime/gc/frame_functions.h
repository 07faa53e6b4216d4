// Frames and the functions that own them, as the frame walker and the
// sampling profiler read them: a frame is reached by its frame pointer fp,
// [fp] is the caller's fp, [fp+4] the return address and [fp-4] the
// function object (or a runtime-frame marker).
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// The frame's return address (its second word) and the caller's frame
// pointer (its first word).
uint32_t get_return_address(uint32_t frame);
uint32_t next_frame_pointer(uint32_t frame);

// The value when it is a function object in old or new space (type 8,
// without bit 0x40 of its second header byte) whose code-vector slot is an
// other object, in the heap or in the attached pure library, that its entry
// address lies in or up to 0x20000 bytes past the start of; else 0.
lisp::lispval valid_function_object(lisp::lispval value);

// 1 when pc lies in the function's code, from its entry address to the end
// of its code vector (a closure counts its template function's code). Else,
// when lenient, -1 for a pc in the runtime's trampoline area or in the ten
// bytes below nil (the call stub's prefix); else 0.
int function_object_subsumes_address(lisp::lispval function, uint32_t pc, int lenient);
}
