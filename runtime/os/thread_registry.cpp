// The thread registry: records, their two lists, and the look-up of the
// calling thread.
//
// Invariant: every record ever handed out is in the registry table at its
// registry index (below the registry count) and on exactly one of the two
// lists: `threadctl_active` or `threadctl_available`, the latter in
// ascending index order. A record is only ever moved from one list to the
// other, never onto the list it is already on.

#include "runtime/os/thread_registry.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/error_numbers.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/os_locks.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/object_layout.h"

namespace tr = lisp::thread_record;
using lisp::lispval;
using lisp::registry::tagged;
using lisp::registry::word;

extern "C" {
lisp::registry::ThreadControl vxm_thread_control{};
uint32_t* threadctl_active = nullptr;
uint32_t* threadctl_available = nullptr;
uint32_t threadctl_lowest = 0;
uint32_t threadctl_highest = 0;
uint32_t threadctl_allocated = 0;
uint32_t threadctl_initial_gcstate = lisp::registry::kInitialGcState;
lispval first_thread = 0;
uint32_t tls_key = 0;
int tls_active = 0;
int tls_active2 = 0;
uint32_t* tcp_that_owns_heap = nullptr;
}

namespace lisp::registry {

uint32_t& word(uint32_t* record, int32_t offset) {
  return wordAt(wordOf(record, Tag::Other), offset);
}

lispval tagged(uint32_t* record) {
  return wordOf(record, Tag::Other);
}

uint32_t* rawRecord(lispval value) {
  return objectOf<uint32_t>(value);
}

uint32_t* nextOnChain(uint32_t* record) {
  return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(word(record, tr::kChainLink)));
}

uint32_t* recordAt(int32_t index) {
  if (index < 0 || static_cast<uint32_t>(index) >= vxm_thread_control.registryCount) return nullptr;
  return vxm_thread_control.registryTable[index];
}

void lockReadyQueue() {
  grab_fast_mutex(&vxm_thread_control.readyQueueLock, identify_os_thread());
}

void unlockReadyQueue() {
  release_fast_mutex(&vxm_thread_control.readyQueueLock, identify_os_thread());
}

void forgetRegistry() {
  if (tls_active) platform::freeThreadSlot(static_cast<int32_t>(tls_key));
  if (vxm_thread_control.heapMutex) free_os_lock(vxm_thread_control.heapMutex);
  const uint32_t semaphore = vxm_thread_control.readyQueueLock.semaphore;
  std::memset(&vxm_thread_control, 0, sizeof vxm_thread_control);
  vxm_thread_control.readyQueueLock = FastMutex{0, 0, 0, semaphore, 0};
  if (semaphore == 0) vxm_thread_control.readyQueueLock = makeFastMutex();
  vxm_thread_control.environmentIndex = -1;
  vxm_thread_control.heapOwnerIndex = -1;
  vxm_thread_control.alarmThread = -1;
  threadctl_active = threadctl_available = nullptr;
  threadctl_lowest = threadctl_highest = threadctl_allocated = 0;
  first_thread = 0;
  tls_active = tls_active2 = 0;
  tcp_that_owns_heap = nullptr;
  gc::setLispCaller(nullptr);  // installed with the registry
}

}  // namespace lisp::registry

namespace {

using lisp::registry::recordAt;

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

using lisp::registry::nextOnChain;

void setChainNext(uint32_t* record, uint32_t* next) {
  word(record, tr::kChainLink) = addressOf(next);
}

uint32_t registryIndexOf(uint32_t* record) {
  return word(record, tr::kRegistryIndex);
}

// The calling thread's stack extent when a record names none: what the
// platform gives a thread by default.
uint32_t defaultStackBytes() {
  static const uint32_t bytes = [] {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_attr_init(&attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &size);
      pthread_attr_destroy(&attributes);
    }
    return static_cast<uint32_t>(size);
  }();
  return bytes;
}

// The data words of a vector of Lisp values (a word vector or a direct
// sysvector); `words` 0 when the value is none of these.
constexpr uint8_t kSysvectorCode = lisp::type_code::Sysvector;
constexpr uint32_t kSysvectorDataOffset = 16;
constexpr uint32_t kSysvectorOverheadBytes = 12;

}  // namespace

lisp::registry::VectorWords lisp::registry::vectorWords(lispval vector) {
  if (!lisp::isOther(vector)) return {};
  const uint32_t header = lisp::wordAt(vector, lisp::kHeaderOffset);
  const uint8_t code = lisp::typeCodeOf(header);
  if (code == kSysvectorCode) {
    const uint32_t bytes = lisp::headerLength(header);
    if (bytes <= kSysvectorOverheadBytes) return {};
    return {&lisp::wordAt(vector, lisp::kHeaderOffset + kSysvectorDataOffset),
            (bytes - kSysvectorOverheadBytes) / 4};
  }
  const lisp::VectorType* type = lisp::vectorType(code);
  if (type && type->widthBits == 32) {
    const uint32_t length = type->fixnumLength ? static_cast<uint32_t>(lisp::fixnumValue(
                                                     lisp::wordAt(vector, lisp::kHeaderOffset + 4)))
                                               : lisp::headerLength(header);
    return {&lisp::wordAt(
                vector, lisp::kHeaderOffset + static_cast<int32_t>(lisp::vectorDataOffset(*type))),
            length};
  }
  const lisp::ObjectKind kind = lisp::kObjectKindByTypeCode[code];
  if (kind == lisp::ObjectKind::ValuesVector)
    return {&lisp::wordAt(vector, lisp::kHeaderOffset + 4), lisp::headerLength(header)};
  return {};
}

namespace {

using lisp::registry::VectorWords;
using lisp::registry::vectorWords;

// The binding stack's entries start at its first data word (entry k at byte
// 8k, top 0 when empty), as the binding routines push them.
constexpr uint32_t kFirstBindingByte = 0;
constexpr uint32_t kBindingEntryBytes = 8;

void initialiseRecord(uint32_t* record) {
  for (uint32_t slot = 1; slot <= tr::kLispSlots; ++slot) record[slot] = nilval;
  for (const int32_t cleared :
       {tr::kQueueWord1, tr::kQueueWord2, tr::kClockWord, tr::kClearedWord52, tr::kSavedNativeStack,
        tr::kOsThreadId, tr::kClearedWord68, tr::kClearedWord69, tr::kClearedWord73})
    word(record, cleared) = 0;
  word(record, tr::kBindingIndex) =
      lisp::makeFixnum(static_cast<int32_t>(registryIndexOf(record)) + 1);
  word(record, tr::kState) = tr::kStateNew;
  word(record, tr::kGcState) = threadctl_initial_gcstate;
  word(record, tr::kClinkHead) = tr::kEmptyClinkChain;
  word(record, tr::kSelectBlockAddress) = addressOf(&word(record, tr::kSelectBlock));
}

// A fresh block entered at the next index; null when none can be had.
uint32_t* newRecord() {
  auto& control = vxm_thread_control;
  if (control.registryCount >= lisp::registry::kMostRecords) return nullptr;
  auto* record = static_cast<uint32_t*>(vxmmalloc(tr::kRecordBlockBytes, 0, 0));
  if (!record) return nullptr;
  std::memset(record, 0, tr::kRecordBlockBytes);
  note_threadctl_address(record);
  record[0] = tr::kHeader;
  word(record, tr::kRegistryIndex) = control.registryCount;
  control.registryTable[control.registryCount++] = record;
  ++threadctl_allocated;
  return record;
}

// Bounded by the number of records there can be, so that a damaged list
// cannot make it loop.
bool unlinkActive(uint32_t* record) {
  uint32_t** link = &threadctl_active;
  for (uint32_t steps = 0; *link && steps <= lisp::registry::kMostRecords; ++steps) {
    if (*link == record) {
      *link = nextOnChain(record);
      return true;
    }
    link = reinterpret_cast<uint32_t**>(&word(*link, tr::kChainLink));
  }
  return false;
}

void insertAvailable(uint32_t* record) {
  const uint32_t index = registryIndexOf(record);
  uint32_t** link = &threadctl_available;
  for (uint32_t steps = 0;
       *link && registryIndexOf(*link) <= index && steps <= lisp::registry::kMostRecords; ++steps)
    link = reinterpret_cast<uint32_t**>(&word(*link, tr::kChainLink));
  setChainNext(record, *link);
  *link = record;
}

}  // namespace

// Stores the calling thread's identity in a record that it now runs: its
// ids, error-number address, wake event and handle; state running; the
// callback, kill and watch words cleared; sampled by the profiler.
void lisp::registry::takeCallingThread(uint32_t* record) {
  const uint32_t osId = identify_os_thread();
  word(record, tr::kOsThreadId) = osId;
  word(record, tr::kOsIdSlot) = lisp::makeFixnum(static_cast<int32_t>(osId));
  word(record, tr::kErrnoAddress) = addressOf(platform::runtimeErrnoAddress());
  word(record, tr::kWakeEvent) = allocate_os_lock(1);
  word(record, tr::kOsThreadHandle) = handle_for_current_thread();
  word(record, tr::kState) = tr::kStateRunning;
  for (const int32_t cleared : {tr::kCallbackFlag, tr::kKillRequest, tr::kIoWaitMarker,
                                tr::kClearedAtRegistration, tr::kWatchCount})
    word(record, cleared) = 0;
  word(record, tr::kProfilingExclusion) = lisp::makeFixnum(0);
}

namespace {

uint32_t* heapOwner() {
  return recordAt(vxm_thread_control.heapOwnerIndex);
}

bool liveRecordOfThread(uint32_t* record, uint32_t osId) {
  return record && !lisp::registry::isDead(record) && word(record, tr::kOsThreadId) == osId;
}

}  // namespace

extern "C" {

// ---- records ----

uint32_t* allocate_threadctl() {
  uint32_t* record = threadctl_available;
  if (record)
    threadctl_available = nextOnChain(record);
  else
    record = newRecord();
  if (!record) return nullptr;
  mp_log_event(lisp::mp_event::kRecordAllocated, addressOf(record));
  initialiseRecord(record);
  setChainNext(record, threadctl_active);
  threadctl_active = record;
  return record;
}

// A record that is not on the active list (freed twice, or never handed
// out) is left entirely alone: putting it on the available list a second
// time would hand it to two threads later.
void free_threadctl_c(uint32_t* record) {
  mp_log_event(lisp::mp_event::kRecordFreed, addressOf(record));
  if (!record || !unlinkActive(record)) return;
  insertAvailable(record);
  clean_bound_symbols(record);
}

void free_threadctl(lispval record) {
  lisp::registry::lockReadyQueue();
  if (uint32_t* raw = validate_thread(record)) free_threadctl_c(raw);
  lisp::registry::unlockReadyQueue();
}

void clean_bound_symbols(uint32_t* record) {
  const lispval indexWord = word(record, tr::kBindingIndex);
  const VectorWords stack = vectorWords(word(record, tr::kBindingStack));
  if (stack.words != 0 && lisp::isFixnum(indexWord) && lisp::fixnumValue(indexWord) > 0) {
    const auto bindingIndex = static_cast<uint32_t>(lisp::fixnumValue(indexWord));
    const uint32_t top = std::min(word(record, tr::kBindingStackTop), 4 * stack.words);
    for (uint32_t byte = kFirstBindingByte; byte + kBindingEntryBytes <= top;
         byte += kBindingEntryBytes) {
      const lispval symbol = stack.data[byte / 4];
      if (!lisp::isSymbolTagged(symbol) || symbol == nilval) continue;
      const VectorWords values =
          vectorWords(lisp::objectOf<lisp::SymbolObject>(symbol)->valueVector);
      if (values.words > bindingIndex) values.data[bindingIndex] = symbol;
    }
  }
  word(record, tr::kBindingStackTop) = 0;
}

lispval allocate_lisp_thread() {
  lisp::registry::lockReadyQueue();
  uint32_t* record = allocate_threadctl();
  lisp::registry::unlockReadyQueue();
  return record ? tagged(record) : nilval;
}

lispval thread_from_index(int32_t index) {
  uint32_t* record = recordAt(index);
  return record ? tagged(record) : nilval;
}

uint32_t* validate_thread(lispval value) {
  if (!lisp::isOther(value)) return nullptr;
  const uint32_t address = lisp::objectAddress(value);
  if (threadctl_highest == 0 || address < threadctl_lowest || address > threadctl_highest)
    return nullptr;
  auto* record = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
  const uint32_t index = registryIndexOf(record);
  return recordAt(static_cast<int32_t>(index)) == record ? record : nullptr;
}

int valid_thread_p(lispval value) {
  return validate_thread(value) ? 1 : 0;
}

uint32_t thread_chain_length(uint32_t* chain) {
  uint32_t length = 0;
  for (; chain && length <= lisp::registry::kMostRecords; chain = nextOnChain(chain)) ++length;
  return length;
}

int32_t xpriority_value(lispval priority) {
  if (priority == nilval) return INT32_MIN;
  if (!lisp::isFixnum(priority)) return INT32_MAX;
  return static_cast<int32_t>(priority);
}

uint32_t thread_stackbase(lispval record) {
  return lisp::wordAt(record, tr::kStackBase);
}

int Profile_current_thread_p() {
  uint32_t* owner = heapOwner();
  return owner && word(owner, tr::kProfilingExclusion) == lisp::makeFixnum(0) ? 1 : 0;
}

// The element number of the heap owner's bindings in every value vector.
uint32_t current_thread_bix() {
  uint32_t* owner = heapOwner();
  if (!owner) return lisp::registry::kNoOwnerBindingIndex;
  return static_cast<uint32_t>(lisp::fixnumValue(word(owner, tr::kBindingIndex)));
}

void set_thread_watch_pointers(uint32_t** count, uint32_t** list, lispval record) {
  *count = &lisp::wordAt(record, tr::kWatchCount);
  *list = &lisp::wordAt(record, tr::kEventWatchList);
}

KORVANE_EXPORT void set_my_thread_watch_pointers(uint32_t** count, uint32_t** list) {
  uint32_t* record = my_pthreadctl(nullptr);
  if (!record) {
    *count = *list = nullptr;
    return;
  }
  set_thread_watch_pointers(count, list, tagged(record));
}

uint32_t lisp_thread_pselecttime(lispval record) {
  return lisp::wordAt(record, tr::kSelectBlockAddress);
}

int savedstack_allocated_p(uint32_t address) {
  for (uint32_t* record = threadctl_active; record; record = nextOnChain(record)) {
    const uint32_t saved = word(record, tr::kSavedNativeStack);
    if (saved != 0 && address >= saved && address < word(record, tr::kStackBase)) return 1;
  }
  return 0;
}

// ---- the calling thread ----

uint32_t* my_pthreadctl(void* frameAddress) {
  const uint32_t osId = identify_os_thread();
  const uint32_t frame = addressOf(frameAddress);
  if (tls_active) {
    const uint32_t indexPlusOne = platform::threadSlot(static_cast<int32_t>(tls_key));
    if (indexPlusOne == 0 && !frameAddress) return nullptr;
    uint32_t* candidate = recordAt(static_cast<int32_t>(indexPlusOne) - 1);
    if (indexPlusOne != 0 && liveRecordOfThread(candidate, osId) &&
        (!frameAddress || thread_subsumes_fp(candidate, frame)))
      return candidate;
  }
  const auto& control = vxm_thread_control;
  for (uint32_t index = 0; index < control.registryCount; ++index) {
    uint32_t* record = control.registryTable[index];
    if (!record) break;
    if (lisp::registry::isDead(record)) continue;
    if (frameAddress ? thread_subsumes_fp(record, frame) != 0
                     : word(record, tr::kOsThreadId) == osId)
      return record;
  }
  return nullptr;
}

// Decision: with an empty foreign-call chain (all ones) the lower bound is
// the thread's own stack extent: its stack base minus its stack size (slot
// 26 when it holds a positive fixnum, else the platform's default size).
int thread_subsumes_fp(uint32_t* record, uint32_t address) {
  const uint32_t base = word(record, tr::kStackBase);
  const uint32_t clink = word(record, tr::kClinkHead);
  uint32_t low;
  if (clink == tr::kEmptyClinkChain) {
    const lispval size = word(record, tr::kStackSize);
    const uint32_t bytes = lisp::isFixnum(size) && lisp::fixnumValue(size) > 0
                               ? static_cast<uint32_t>(lisp::fixnumValue(size))
                               : defaultStackBytes();
    low = base > bytes ? base - bytes : 0;
    return address >= low && address < base ? 1 : 0;
  }
  low = clink > lisp::registry::kFrameReach ? clink - lisp::registry::kFrameReach : 0;
  return address > low && address < base ? 1 : 0;
}

int32_t vxm_thread_registered_p(uint32_t osThreadId) {
  const lispval osId = lisp::makeFixnum(static_cast<int32_t>(osThreadId));
  const auto& control = vxm_thread_control;
  for (uint32_t index = 0; index < control.registryCount; ++index) {
    uint32_t* record = control.registryTable[index];
    if (!record) break;
    if (!lisp::registry::isDead(record) && word(record, tr::kOsIdSlot) == osId)
      return static_cast<int32_t>(index);
  }
  return -1;
}

lispval my_lisp_thread() {
  uint32_t* record = my_pthreadctl(nullptr);
  return record ? tagged(record) : nilval;
}

lispval my_threadreg() {
  uint32_t* record = my_pthreadctl(nullptr);
  return record ? tagged(record) : 0;
}

uint32_t* my_thread(void* frameAddress) {
  return my_pthreadctl(frameAddress);
}

uint32_t identify_os_thread() {
  return platform::currentThreadId();
}

uint32_t get_thread_osid(int32_t index) {
  uint32_t* record = recordAt(index);
  return record ? word(record, tr::kOsThreadId) : 0;
}

int32_t vxm_register_thread() {
  uint32_t* record = allocate_threadctl();
  if (!record) return -1;
  lisp::registry::takeCallingThread(record);
  const uint32_t index = registryIndexOf(record);
  if (tls_active) platform::setThreadSlot(static_cast<int32_t>(tls_key), index + 1);
  return static_cast<int32_t>(index);
}

// ---- dynamic environment ----

int32_t vxm_make_environment_neutral() {
  const int32_t installed = vxm_thread_control.environmentIndex;
  if (installed >= 0) {
    mp_log_event(lisp::mp_event::kEnvironmentNeutral, static_cast<uint32_t>(installed));
    vxm_thread_control.environmentIndex = -1;
  }
  return installed;
}

uint32_t* switch_thread_dynamic_environment(int32_t index) {
  const uint32_t profiling = inhibitprof;
  inhibitprof = 1;
  vxm_make_environment_neutral();
  mp_log_event(lisp::mp_event::kEnvironmentSwitched, static_cast<uint32_t>(index));
  vxm_thread_control.environmentIndex = index;
  uint32_t* record = recordAt(index);
  if (record) word(record, tr::kSavedNativeStack) = 0;
  inhibitprof = profiling;
  return record;
}

void reinstall_my_dynamic_environment() {
  const int32_t index = vxm_thread_registered_p(identify_os_thread());
  if (index >= 0) switch_thread_dynamic_environment(index);
}

void note_threadctl_address(uint32_t* record) {
  const uint32_t address = addressOf(record);
  if (threadctl_lowest == 0 || address < threadctl_lowest) threadctl_lowest = address;
  if (address > threadctl_highest) threadctl_highest = address;
}

}  // extern "C"
