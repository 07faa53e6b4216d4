// Child processes for Lisp code: starting programs with each standard stream
// set to nothing, the Lisp's own stream, an open file or a pipe; the table of
// children started without waiting; and the waits that collect their exit
// codes.
//
// A pipe reaches Lisp as a pseudo descriptor of kind 5 whose bytes pass
// through a child pipe buffer served by a pipe thread (pipe_threads.h), so
// that the Lisp thread never blocks in the system on a pipe.
//
// Services with more than one result leave the others in the calling
// thread's four multiple-values words (thread_mv_slots), which are not
// written when the caller has no thread record.
//
// Linux rendering: a child is started with posix_spawn in a process group of
// its own; its process handle (platform::watchChildProcess) is signalled when
// it ends, and the platform reaps it. Exit codes of children ended by a
// signal are 128 plus the signal number.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// ---- the process table ----
// Parallel arrays of proc_capacity entries, of which the first proc_count are
// live: process handles, process ids, and 1 once the child has been seen
// ended by a wait. Used by the Lisp thread only.
extern uint32_t* proc_handles;
extern int32_t* proc_ids;
extern uint8_t* proc_used;
extern int32_t proc_count;
extern int32_t proc_capacity;

// ---- starting a child ----
// Runs the command line `command` (a Lisp string; an entry vector gives
// fixnum 1 at once). `noWait` nil returns at once, anything else waits for
// the child. `input`, `output` and `error` are fixnums: -4 nothing, -2 a
// pipe, -1 the Lisp's own stream, -3 (error only) the output's stream, any
// other a kind-1 pseudo descriptor. `show` has no effect here. `environment`
// is nil or a Lisp environment block (child_environment.h); `directory` the
// working directory's native text or null.
// Results: fixnum 0 started, 2 the program could not be started, 5 a stream
// could not be set up. Multiple-values words: started without waiting, the
// process id and the descriptors of the input, output and error pipes
// (fixnums, nil where that stream is no pipe); started and waited for, the
// exit code in word 1.
lisp::lispval sy_run_shell2(lisp::lispval command, lisp::lispval noWait, lisp::lispval input,
                            lisp::lispval output, lisp::lispval error, lisp::lispval show,
                            lisp::lispval environment, const char* directory);
// The same in the Lisp's working directory.
lisp::lispval sy_run_shell(lisp::lispval command, lisp::lispval noWait, lisp::lispval input,
                           lisp::lispval output, lisp::lispval error, lisp::lispval show,
                           lisp::lispval environment);

// ---- collecting children ----
// With no children nil. Process id above 0 or below -1: that child, waiting
// for ever when `noHang` is nil, else only looking (a running child gives nil
// with its id in word 1; an unknown id nil). Process id 0 or -1: any child,
// waiting for ever when `noHang` is nil, else not at all (nothing ended gives
// fixnum 0); a failed wait (more children than one wait takes) gives nil.
// A child found ended is reaped: its exit code, with its id in word 1.
lisp::lispval sy_wait(int32_t processId, lisp::lispval noHang);
// The exit code of table entry `index` as a fixnum (-1 when the system cannot
// tell it), after closing its handle and removing the entry. nil for an
// index outside the table.
lisp::lispval sy_report_and_clean(int32_t index);

// ---- waits over handles ----
// nil while the handle is not signalled, else fixnum 0.
lisp::lispval os_event_signalled_p(uint32_t handle);
// nil when none of the handles is signalled; else the index of the first
// signalled (or abandoned) one as a fixnum; fixnum -1 when the wait fails.
lisp::lispval any_os_event_signalled_p(int32_t count, const uint32_t* handles);
// Appends the handles of children not yet seen ended from array[start] on,
// stopping at limit; returns how many.
int add_waiting_proc_handles(uint32_t* array, int start, int limit);
// After a wait over array[0 .. limit): when the result names an index (or an
// abandoned one, 128 + index) in [first, end), the child whose handle lies
// there is marked as seen ended.
void note_signalled_procs(uint32_t* array, int first, int end, int limit, int32_t waitResult);
}

namespace lisp::os {
// Entries the table grows by when full (10); 0 makes a table that cannot grow.
extern int32_t processTableGrowth;
// Records a child in the table (events 899 and 900); false, recording
// nothing, when the table cannot grow.
bool recordChild(uint32_t processHandle, int32_t processId);
}  // namespace lisp::os
