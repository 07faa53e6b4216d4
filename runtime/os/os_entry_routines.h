// Runtime routines of the operating-system interface that compiled Lisp
// code reaches through the entry table (assembly, Lisp register
// conventions).
#pragma once

extern "C" {
// The alarm and the descriptor-event waits (alarm_entries.S).
void mpsetupalarm();
void mpalarmon();
void mpwatchfor();
void mpwaitsigio();

// The debugger's frame walk and exit trap (debugger_frames.S).
void newest_frame();
void fd_next_frame();
void fd_arg_count();
void break_on_exit_control();

// The thread operations (thread_operation_entry.S).
void thread_test();
void thread_kill();
void thread_operation();
}
