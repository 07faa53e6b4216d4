// The table of children started without waiting, and the waits that collect
// them.
//
// The table keeps one entry per child not yet collected, in the order they
// were started; an entry goes only when its exit code has been taken and its
// handle closed (sy_report_and_clean), so every child is collected at most
// once and every handle closed once.

#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/error_numbers.h"
#include "platform/waitable.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/thread_record_access.h"

extern "C" {
uint32_t* proc_handles = nullptr;
int32_t* proc_ids = nullptr;
uint8_t* proc_used = nullptr;
int32_t proc_count = 0;
int32_t proc_capacity = 0;
}

namespace lisp::os {

// Entries added each time the table is full; tests set 0 to see a table
// that cannot grow.
int32_t processTableGrowth = 10;

namespace {

// Exit code reported when the system cannot tell it.
constexpr int32_t kUnknownExitCode = -1;

// Each array grows on its own; one that has grown keeps its larger block, so
// a failure halfway leaves the table as it was, only with room to spare.
bool growTable() {
  if (processTableGrowth <= 0) return false;
  const size_t capacity = static_cast<size_t>(proc_capacity + processTableGrowth);
  auto* handles =
      static_cast<uint32_t*>(std::realloc(proc_handles, capacity * sizeof *proc_handles));
  if (!handles) return false;
  proc_handles = handles;
  auto* ids = static_cast<int32_t*>(std::realloc(proc_ids, capacity * sizeof *proc_ids));
  if (!ids) return false;
  proc_ids = ids;
  auto* used = static_cast<uint8_t*>(std::realloc(proc_used, capacity * sizeof *proc_used));
  if (!used) return false;
  proc_used = used;
  proc_capacity = static_cast<int32_t>(capacity);
  return true;
}

void removeEntry(int32_t index) {
  const size_t later = static_cast<size_t>(proc_count - index - 1);
  std::memmove(proc_handles + index, proc_handles + index + 1, later * sizeof *proc_handles);
  std::memmove(proc_ids + index, proc_ids + index + 1, later * sizeof *proc_ids);
  std::memmove(proc_used + index, proc_used + index + 1, later * sizeof *proc_used);
  --proc_count;
}

int32_t indexOfProcess(int32_t processId) {
  for (int32_t i = 0; i < proc_count; ++i)
    if (proc_ids[i] == processId) return i;
  return -1;
}

bool handleSignalled(uint32_t handle) {
  const platform::Handle handles[] = {handle};
  return platform::waitForAny(handles, 0) != platform::kWaitTimedOut;
}

// The handle index a wait over `count` handles reports, abandoned or not;
// -1 when it reports none.
int32_t signalledIndex(int32_t result, int32_t count) {
  if (result >= 0 && result < count) return result;
  if (result >= platform::kWaitAbandoned && result - platform::kWaitAbandoned < count)
    return result - platform::kWaitAbandoned;
  return -1;
}

void clearResultWords() {
  if (uint32_t* words = thread_mv_slots())
    for (int i = 0; i < 4; ++i) words[i] = nilval;
}

void setFirstResultWord(lispval value) {
  if (uint32_t* words = thread_mv_slots()) words[0] = value;
}

// Reaps entry `index`: its exit code, with its id in the first result word.
lispval collect(int32_t index) {
  const int32_t processId = proc_ids[index];
  const lispval exitCode = sy_report_and_clean(index);
  setFirstResultWord(makeFixnum(processId));
  return exitCode;
}

lispval waitForOne(int32_t processId, bool hang) {
  const int32_t index = indexOfProcess(processId);
  if (index < 0) return nilval;
  if (hang) {
    const platform::Handle handles[] = {proc_handles[index]};
    platform::waitForAny(handles, platform::kWaitForever);
  } else if (!handleSignalled(proc_handles[index])) {
    setFirstResultWord(makeFixnum(processId));
    return nilval;
  }
  return collect(index);
}

// Decision: as one system wait takes at most 64 handles, a wait for any of
// more children fails and gives nil.
lispval waitForAnyChild(bool hang) {
  const std::span<const uint32_t> handles(proc_handles, static_cast<size_t>(proc_count));
  const int32_t result = platform::waitForAny(handles, hang ? platform::kWaitForever : 0);
  if (result == platform::kWaitTimedOut) return makeFixnum(0);
  const int32_t index = signalledIndex(result, proc_count);
  return index < 0 ? nilval : collect(index);
}

}  // namespace

bool recordChild(uint32_t processHandle, int32_t processId) {
  if (proc_count == proc_capacity && !growTable()) return false;
  const int32_t index = proc_count++;
  proc_handles[index] = processHandle;
  proc_ids[index] = processId;
  proc_used[index] = 0;
  mp_log_event(mp_event::kChildRecordedIndex, static_cast<uint32_t>(index));
  mp_log_event(mp_event::kChildRecordedHandle, processHandle);
  return true;
}

}  // namespace lisp::os

using namespace lisp;
using namespace lisp::os;

extern "C" {

lispval sy_wait(int32_t processId, lispval noHang) {
  clearResultWords();
  if (proc_count == 0) return nilval;
  const bool hang = noHang == nilval;
  return processId == 0 || processId == -1 ? waitForAnyChild(hang) : waitForOne(processId, hang);
}

lispval sy_report_and_clean(int32_t index) {
  if (index < 0 || index >= proc_count) return nilval;
  const uint32_t handle = proc_handles[index];
  mp_log_event(mp_event::kChildReportIndex, static_cast<uint32_t>(index));
  mp_log_event(mp_event::kChildReportHandle, handle);
  uint32_t exitCode = 0;
  int32_t result = kUnknownExitCode;
  if (platform::exitCodeOf(handle, &exitCode)) {
    mp_log_event(mp_event::kChildExitCode, exitCode);
    result = static_cast<int32_t>(exitCode);
  } else {
    mp_log_event(mp_event::kChildExitUnknown, platform::lastSystemError());
  }
  platform::closeHandle(handle);
  removeEntry(index);
  return makeFixnum(result);
}

lispval os_event_signalled_p(uint32_t handle) {
  return handleSignalled(handle) ? makeFixnum(0) : nilval;
}

// Decision: a count below 1 is a wait that fails.
lispval any_os_event_signalled_p(int32_t count, const uint32_t* handles) {
  if (count < 1) return makeFixnum(-1);
  const int32_t result = platform::waitForAny({handles, static_cast<size_t>(count)}, 0);
  if (result == platform::kWaitTimedOut) return nilval;
  return makeFixnum(signalledIndex(result, count));
}

int add_waiting_proc_handles(uint32_t* array, int start, int limit) {
  int added = 0;
  for (int32_t i = 0; i < proc_count && start + added < limit; ++i)
    if (!proc_used[i]) array[start + added++] = proc_handles[i];
  return added;
}

void note_signalled_procs(uint32_t* array, int first, int end, int limit, int32_t waitResult) {
  const int32_t index = signalledIndex(waitResult, limit);
  if (index < first || index >= end) return;
  for (int32_t i = 0; i < proc_count; ++i)
    if (proc_handles[i] == array[index]) {
      proc_used[i] = 1;
      return;
    }
}

}  // extern "C"
