// The pipe threads: one per child pipe, moving bytes between the child's pipe
// and its child pipe buffer (child_pipe_buffer.h), so that the Lisp thread
// never blocks in the system on a pipe.
//
// A reader thread reads up to one buffer from the pipe, hands it to the Lisp
// side (Lisp-side event) and waits until the Lisp side has emptied it
// (thread's event); a writer thread waits until the Lisp side has filled the
// buffer, writes it all to the pipe and hands the buffer back. When the pipe
// ends or fails, or the Lisp side detaches the buffer, the thread closes its
// end of the pipe and lets go of the buffer: the entry then reads as ended
// (reads give 0 bytes, writes error 5), never as freed memory.
#pragma once

#include "runtime/os/child_pipe_buffer.h"

namespace lisp::os {

// A buffer for the Lisp end `lispEnd` of a pipe to `childProcess`, with both
// owners. A writer's buffer starts handed to the Lisp side (its Lisp-side
// event signalled), a reader's with the thread.
ChildPipeBuffer* newPipeBuffer(int lispEnd, uint32_t childProcess, bool lispWrites);

// Starts the thread serving the buffer at below-normal priority. When it
// cannot start, the pipe ends at once: its end is closed and the thread's
// share of the buffer given up, so that an entry reads it as ended.
void startPipeThread(ChildPipeBuffer* buffer, bool lispWrites);

// The Lisp side lets go of a buffer that no entry names (what closing an
// entry does for one that does): the thread finishes what it holds, closes
// the pipe and frees the buffer.
void detachPipeBuffer(ChildPipeBuffer* buffer);

}  // namespace lisp::os
