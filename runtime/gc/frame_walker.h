// The native frame walker: lists the Lisp frames of the current thread with
// each frame's function and arguments, remembers the list, and moves a
// current position up (towards the innermost frame) and down through it.
//
// Frames are read as frame_functions.h describes; native stretches are
// known from the thread's foreign-call records (stack_walk.h).
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int kLispFrameCacheEntries = 4096;

extern "C" {

// The frames the last walk listed and the return address of each.
extern uint32_t lisp_frame_cache[kLispFrameCacheEntries];
extern uint32_t lisp_retaddr_cache[kLispFrameCacheEntries];
// The frame up, down and cur refer to; the last frame listed (-1: no walk yet).
extern int32_t lisp_frame_current_index;
extern int32_t lisp_frame_highest_index;

// Lists `count` frames (0: all) from `frame` (0: the current frame of the
// last walk, or without one the innermost frame of this thread).
void lisp_zo(uint32_t frame, int32_t count);
void lisp_cur();
void lisp_up(int32_t n);
void lisp_dn(int32_t n);
void lisp_zo_aux(uint32_t frame, int32_t count, FILE* file);
void lisp_cur_aux(FILE* file);
void lisp_up_aux(int32_t n, FILE* file);
void lisp_dn_aux(int32_t n, FILE* file);

// One frame's description after its "0x...: ".
void print_c_frame(uint32_t returnAddress, FILE* file);
void print_lisp_frame(uint32_t frame, FILE* file);
// 1 when the frame lies in a native stretch of this thread's stack.
int c_frame_p(uint32_t frame);
// The argument count a frame's caller recorded for the call (the word 16
// bytes below the caller's frame pointer, -1 - n), or -1 when unknown.
int32_t count_given_p(uint32_t nextFrame);
// The frame after `frame`, or 0 at the end of the stack or of a chain that
// cannot be followed.
uint32_t find_next_frame(uint32_t frame);
}
