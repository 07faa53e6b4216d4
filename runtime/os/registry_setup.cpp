// Setting the registry up: at start-up (fresh or after an image restore),
// the queue headers, and the placeholder record used before the registry.

#include <cstdio>
#include <cstring>

#include "platform/thread_block.h"
#include "platform/waitable.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/collector_lisp_calls.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/object_layout.h"

namespace tr = lisp::thread_record;
using lisp::lispval;
using lisp::registry::tagged;
using lisp::registry::word;

extern "C" {
extern uint32_t globreg;  // base of the runtime globals table

alignas(8) uint32_t ready_thread_header_holder[tr::kRecordWords];
alignas(8) uint32_t waiting_thread_header_holder[tr::kRecordWords];
uint32_t* ready_thread_header_aligned = nullptr;
uint32_t* waiting_thread_header_aligned = nullptr;
lispval ready_thread_queue = 0;
lispval waiting_thread_queue = 0;
int skip_stack_scan = 0;
}

namespace {

constexpr char kNoFirstRecord[] = "thread registry: no record for the first thread\n";
constexpr uint32_t kMostRestoredRecords = lisp::registry::kMostRecords;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Enters a record that came with the image under its own index; false for a
// record whose index no registry can hold (a damaged image).
bool reenter(uint32_t* record) {
  const uint32_t index = word(record, tr::kRegistryIndex);
  if (index >= lisp::registry::kMostRecords) return false;
  auto& control = vxm_thread_control;
  note_threadctl_address(record);
  control.registryTable[index] = record;
  if (index >= control.registryCount) control.registryCount = index + 1;
  ++threadctl_allocated;
  return true;
}

// Clears the word of a process object that refers to its OS thread.
void forgetProcessThread(lispval process) {
  if (!lisp::isOther(process)) return;
  uint32_t header = lisp::wordAt(process, lisp::kHeaderOffset);
  if (lisp::typeCodeOf(header) == lisp::type_code::StandardInstance) {
    process = lisp::wordAt(process, lisp::kHeaderOffset + 4 * lisp::registry::kProcessThreadWord);
    if (!lisp::isOther(process)) return;
    header = lisp::wordAt(process, lisp::kHeaderOffset);
  }
  if (lisp::headerLength(header) < lisp::registry::kProcessThreadWord) return;
  lisp::wordAt(process, lisp::kHeaderOffset + 4 * lisp::registry::kProcessThreadWord) = 0;
}

uint32_t** chainLinkOf(uint32_t* record) {
  return reinterpret_cast<uint32_t**>(&word(record, tr::kChainLink));
}

// Enters every record of a list saved with the image. A damaged list is cut
// where it goes wrong (an index no registry holds, or more records than
// there can be indices), so that no unentered record is ever handed out.
template <class Restore>
void reenterList(uint32_t** head, Restore restore) {
  uint32_t** link = head;
  uint32_t count = 0;
  while (*link) {
    uint32_t* record = *link;
    if (count++ == kMostRestoredRecords || !reenter(record)) {
      *link = nullptr;
      return;
    }
    if (restore(record)) link = chainLinkOf(record);  // else it left the list: *link follows it
  }
}

// The records saved with the image: released ones are dead; of those in
// use, one that has an owner or was never started is kept as new, every
// other one is dead and released.
void restoreRecords() {
  reenterList(&threadctl_available, [](uint32_t* record) {
    word(record, tr::kState) = tr::kStateDead;
    return true;
  });
  reenterList(&threadctl_active, [](uint32_t* record) {
    word(record, tr::kOsIdSlot) = nilval;
    word(record, tr::kSavedNativeStack) = 0;
    word(record, tr::kOsThreadId) = 0;
    word(record, tr::kQueueNext) = word(record, tr::kQueuePrevious) = nilval;
    clean_bound_symbols(record);
    if (word(record, tr::kProcessObject) != nilval)
      forgetProcessThread(word(record, tr::kProcessObject));
    if (word(record, tr::kOwner) != nilval || word(record, tr::kState) == tr::kStateNew) {
      word(record, tr::kOwner) = nilval;
      word(record, tr::kState) = tr::kStateNew;
      return true;
    }
    word(record, tr::kState) = tr::kStateDead;
    free_threadctl_c(record);
    return false;
  });
}

void linkOnlyMember(uint32_t* header, uint32_t* record) {
  word(record, tr::kQueueNext) = word(record, tr::kQueuePrevious) = tagged(header);
  word(header, tr::kQueueNext) = word(header, tr::kQueuePrevious) = tagged(record);
}

}  // namespace

extern "C" {

void queue_init(uint32_t* header) {
  std::memset(header, 0, 4 * tr::kRecordWords);
  header[0] = tr::kHeader;
  word(header, tr::kStructureType) = 0;
  word(header, tr::kQueueNext) = word(header, tr::kQueuePrevious) = tagged(header);
}

void initialize_thread_registry(int /*reborn: the image's lists say what was restored*/) {
  auto& control = vxm_thread_control;
  // 1. the thread slot for native entry points, the event log
  if (globreg) *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(globreg)) = lisp_tls_index;
  lisp::mp_log::setUp();
  // 2. the ready-queue lock and the counts
  if (control.readyQueueLock.semaphore == 0) control.readyQueueLock = lisp::makeFastMutex();
  control.lispThreadCount = 1;
  control.freezeCount = 0;
  control.parkedThread = 0;
  control.immigrantCount = 0;
  control.heapHolds = 1;
  control.alarmThread = -1;
  control.environmentIndex = -1;
  // 3. the heap mutex, held by the thread that sets up
  control.heapMutex = create_os_mutex();
  md_lock_wait(control.heapMutex);
  // 4. an empty table
  std::memset(control.registryTable, 0, sizeof control.registryTable);
  control.registryCount = 0;
  threadctl_allocated = 0;
  // 5. records that came with the image
  restoreRecords();
  // 6. the slot holding each thread's index + 1
  tls_active = init_tls(&tls_key);
  // 7. the calling thread's record, owning the heap
  uint32_t* record = allocate_threadctl();
  if (!record) {
    vxmfprintf(stderr, "%s", kNoFirstRecord);
    lisp_exit(1);
  }
  const lispval first = tagged(record);
  set_tls_thread(lisp_tls_index, first);
  const auto index = static_cast<int32_t>(word(record, tr::kRegistryIndex));
  control.heapOwnerIndex = control.environmentIndex = index;
  tcp_that_owns_heap = record;
  lisp::registry::takeCallingThread(record);
  word(record, tr::kGcState) = 0;
  word(record, tr::kSavedNativeStack) = 0;
  // No leaf native call yet: 0 there would pass for a spare foreign-call record.
  word(record, tr::kLeafCallStack) = nilval;
  first_thread = first;
  // 8. the queue headers; the heap owner heads the ready queue
  ready_thread_header_aligned = ready_thread_header_holder;
  waiting_thread_header_aligned = waiting_thread_header_holder;
  queue_init(ready_thread_header_aligned);
  queue_init(waiting_thread_header_aligned);
  ready_thread_queue = tagged(ready_thread_header_aligned);
  waiting_thread_queue = tagged(waiting_thread_header_aligned);
  linkOnlyMember(ready_thread_header_aligned, record);
  // 9. the calling thread's index + 1, and the registry is up
  if (tls_active) platform::setThreadSlot(static_cast<int32_t>(tls_key), index + 1);
  tls_active2 = 1;
  // 10. the collector's calls into Lisp, now that a thread can make them
  lisp::collector_calls::install();
}

void setup_dummy_threadctl(uint32_t* foreignCallRecord) {
  auto* record = static_cast<uint32_t*>(vxmmalloc(tr::kRecordBlockBytes, 0, 0));
  if (!record) return;
  std::memset(record, 0, tr::kRecordBlockBytes);
  record[0] = tr::kHeader;
  word(record, tr::kBindingIndex) = lisp::registry::kNoOwnerBindingIndex;
  word(record, tr::kClinkHead) = tr::kEmptyClinkChain;
  if (foreignCallRecord) {
    word(record, tr::kClinkHead) = addressOf(foreignCallRecord);
    foreignCallRecord[0] = tr::kEmptyClinkChain;  // previous record: the chain ends here
    foreignCallRecord[1] = 0;                     // native frame
    foreignCallRecord[2] = 0;                     // saved frame
    foreignCallRecord[3] = nilval;                // throw continuation
    set_tls_thread(lisp_tls_index, tagged(record));
  } else {
    dummy_thread = tagged(record);
  }
}

}  // extern "C"
