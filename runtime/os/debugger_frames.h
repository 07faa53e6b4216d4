// Native halves of the debugger's frame routines (debugger_frames.S).
//
// Frames are frame pointers, raw stack addresses (word-aligned, so they read
// as fixnums). `current` is the caller's thread register and `ownFrame` the
// entry's own frame pointer: the running thread's stack is read from there
// up. A thread argument that is neither nil, the current thread nor a
// registered record parked outside Lisp makes every routine answer nil.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// newest_frame: the running thread's frame two links above the entry's own
// (the caller of the routine that called the entry); a parked thread's
// Lisp frame saved in its newest foreign-call record.
lisp::lispval debugger_newest_frame(lisp::lispval thread, lisp::lispval current, uint32_t ownFrame);
// fd_next_frame: the next older frame that belongs to Lisp or to the
// runtime system, or nil at the end of the stack.
lisp::lispval debugger_next_frame(lisp::lispval frame, lisp::lispval thread, lisp::lispval current,
                                  uint32_t ownFrame);
// fd_arg_count: the argument count the frame's caller recorded for the call,
// as a fixnum, or nil.
lisp::lispval debugger_arg_count(lisp::lispval frame, lisp::lispval thread, lisp::lispval current,
                                 uint32_t ownFrame);
// break_on_exit_control: the arguments (action, thread, frame, throw flag)
// in order. Action 0 plants the exit trap, 1 removes it, 2 reports it.
// Writes the values into values[0] and values[1] and returns their count: 2
// for a report (t or nil: return-only trap planted, return-or-throw trap
// planted), else 1 (t when the frame took the plant or removal, nil when it
// was refused or the action is unknown).
uint32_t debugger_exit_trap(const lisp::lispval* arguments, lisp::lispval current,
                            uint32_t ownFrame, lisp::lispval* values);
}
