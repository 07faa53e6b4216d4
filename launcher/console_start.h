// The launcher's side of a start beside the console window: the body of the
// Lisp thread that the console thread starts, and the console form's exit
// hook, which hands the Lisp's status back to the console thread.
#pragma once

#include <cstdint>

namespace launcher {

// The console thread's id once it runs; 0 before.
extern uint32_t console_thread_id;
// The status the Lisp ended with, for the console thread to report.
extern int32_t lisp_exit_status;
// Set to 1 by the runtime when the Lisp thread has ended.
extern int32_t lisp_ended;

// The Lisp thread: fills the options record, makes the console form current
// with this thread in word 14, hands it to setup_redir and calls lisp_init
// with the options record. Returns lisp_init's result should it return.
uint32_t console_lisp_thread(void* unused);

}  // namespace launcher
