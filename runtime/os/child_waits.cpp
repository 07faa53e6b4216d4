// Waits for child processes, as the system-call dispatch serves them to Lisp:
// the process table's children are looked at, or waited for with the heap
// released meanwhile, and an ended child is reaped.
//
// Results: the exit status (a fixnum) or nil or 0 as the first value; the
// process id and nil in the calling thread's first two extra result words
// (nil when there is no child to name).
//
// While a wait has released the heap another Lisp thread may run and reap
// children itself, so the table is looked up again after every wait, by
// process id or by handle; a child gone meanwhile gives nil.

#include "runtime/os/child_waits.h"

#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_record_access.h"

namespace {

using lisp::lispval;

void setResultWords(lispval processId) {
  if (uint32_t* words = thread_mv_slots()) {
    words[0] = processId;
    words[1] = words[2] = words[3] = nilval;
  }
}

int32_t indexOfProcess(int32_t processId) {
  for (int32_t i = 0; i < proc_count; ++i)
    if (proc_ids[i] == processId) return i;
  return -1;
}

int32_t indexOfHandle(uint32_t handle) {
  for (int32_t i = 0; i < proc_count; ++i)
    if (proc_handles[i] == handle) return i;
  return -1;
}

lispval reap(int32_t index) {
  const int32_t processId = proc_ids[index];
  const lispval status = sy_report_and_clean(index);
  setResultWords(lisp::makeFixnum(processId));
  return status;
}

}  // namespace

extern "C" {

lispval rs_sy_wait(lispval processId, lispval wait) {
  setResultWords(nilval);
  if (proc_count == 0 || !lisp::isFixnum(processId)) return nilval;
  const int32_t id = lisp::fixnumValue(processId);
  if (id == 0 || id == -1) return rs_sy_wait_any(wait);
  int32_t index = indexOfProcess(id);
  if (index < 0) return nilval;
  if (wait != nilval) {
    const bool signalled = wait_os_event(proc_handles[index]) == 0;
    index = indexOfProcess(id);
    if (index < 0) return nilval;
    if (signalled) return reap(index);
  }
  if (os_event_signalled_p(proc_handles[index]) == nilval) {
    setResultWords(processId);  // still running
    return nilval;
  }
  return reap(index);
}

lispval rs_sy_wait_any(lispval wait) {
  setResultWords(nilval);
  if (proc_count == 0) return nilval;  // a wait over no handles would only see messages
  const std::vector<uint32_t> handles(proc_handles, proc_handles + proc_count);
  const auto count = static_cast<uint32_t>(handles.size());
  int32_t signalled = -1;
  if (wait == nilval) {
    const lispval polled = any_os_event_signalled_p(static_cast<int32_t>(count), handles.data());
    if (polled == nilval) return lisp::makeFixnum(0);  // nothing ended
    signalled = lisp::fixnumValue(polled);
  } else {
    signalled = static_cast<int32_t>(wait_any_os_event(count, handles.data()));
  }
  if (signalled < 0 || static_cast<uint32_t>(signalled) >= count) return nilval;  // a failed wait
  const int32_t index = indexOfHandle(handles[static_cast<uint32_t>(signalled)]);
  return index < 0 ? nilval : reap(index);
}

}  // extern "C"
