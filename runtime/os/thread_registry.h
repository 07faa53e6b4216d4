// The thread registry: every Lisp thread's, and every registered native
// thread's, thread control record (`threadctl`, laid out in
// runtime/rs/thread_record.h), by registry index, with the lists of records
// in use and released, and the look-up of the calling thread's record.
//
// Records are raw pointers (the block address) unless a routine says tagged.
// The ready-queue lock guards the table, both lists and the queue links;
// look-ups read the table without it: a record is never taken out of the
// table once entered, and its state word tells a dead one.
#pragma once

#include <cstdint>

#include "runtime/gc/heap_walkers.h"
#include "runtime/os/fast_mutex.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"

namespace lisp::registry {

inline constexpr uint32_t kMostRecords = 2000;
inline constexpr uint32_t kNoOwnerBindingIndex = 4096;
inline constexpr uint32_t kFrameReach = 65536;  // below the clink head still on the stack
inline constexpr uint32_t kInitialGcState = 1;  // "foreign"

struct ThreadControl {
  int32_t heapOwnerIndex;    // -2 after a release, below 0 when none
  int32_t environmentIndex;  // -1: neutral
  int32_t freezeCount;
  uint32_t parkedThread;
  FastMutex readyQueueLock;
  uint32_t lispThreadCount;
  uint32_t immigrantCount;  // registered native threads; 0 at set-up
  uint32_t logAddress;
  uint32_t logPosition;  // next entry, 0 to 999
  uint32_t heapHolds;
  uint32_t heapMutex;
  int32_t alarmThread;  // registry index, -1 none
  uint32_t registryCount;
  uint32_t* registryTable[kMostRecords];  // 0: no record
};

// The word of a record at a tagged-word offset (thread_record.h).
uint32_t& word(uint32_t* record, int32_t offset);
lispval tagged(uint32_t* record);
uint32_t* rawRecord(lispval tagged);
inline bool isDead(uint32_t* record);

// The data words of a vector of Lisp values (a word vector, a values vector
// or a direct sysvector); `words` 0 when the value is none of these.
struct VectorWords {
  uint32_t* data = nullptr;
  uint32_t words = 0;
};
VectorWords vectorWords(lispval vector);

// The next record on the active or the available list, or null.
uint32_t* nextOnChain(uint32_t* record);

// The record at an index within 0 .. registry count - 1, else null.
uint32_t* recordAt(int32_t index);

// Makes the record the calling thread's (ids, wake event, handle, state 0).
void takeCallingThread(uint32_t* record);

// Takes and gives back the ready-queue lock for the calling thread.
void lockReadyQueue();
void unlockReadyQueue();

// Forgets the whole registry and log state, and the collector's bridge into
// Lisp that the registry's set-up installs, as in a fresh process (tests).
void forgetRegistry();

// Decision: the process object's word that refers to the OS thread, cleared
// by a restore. A structure's first slot after its type (word 2); a standard
// instance is first followed to its slot vector (its word 2), whose word 2
// is then cleared.
inline constexpr uint32_t kProcessThreadWord = 2;

}  // namespace lisp::registry

extern "C" {
extern lisp::registry::ThreadControl vxm_thread_control;
extern uint32_t* threadctl_active;     // newest first, linked through the chain link word
extern uint32_t* threadctl_available;  // ascending registry index
extern uint32_t threadctl_lowest;      // bounds of every record ever allocated
extern uint32_t threadctl_highest;
extern uint32_t threadctl_allocated;  // records created, never lowered
extern uint32_t threadctl_initial_gcstate;
extern lisp::lispval first_thread;
extern uint32_t tls_key;  // thread slot index holding registry index + 1
extern int tls_active;
extern int tls_active2;
extern uint32_t* tcp_that_owns_heap;

// ---- records ----
uint32_t* allocate_threadctl();
void free_threadctl_c(uint32_t* record);
void free_threadctl(lisp::lispval record);
void clean_bound_symbols(uint32_t* record);
lisp::lispval allocate_lisp_thread();
lisp::lispval thread_from_index(int32_t index);
uint32_t* validate_thread(lisp::lispval value);  // the raw record, or null
int valid_thread_p(lisp::lispval value);
uint32_t thread_chain_length(uint32_t* chain);
int32_t xpriority_value(lisp::lispval priority);
uint32_t thread_stackbase(lisp::lispval record);
int Profile_current_thread_p();
uint32_t current_thread_bix();
void set_thread_watch_pointers(uint32_t** count, uint32_t** list, lisp::lispval record);
void set_my_thread_watch_pointers(uint32_t** count, uint32_t** list);
uint32_t lisp_thread_pselecttime(lisp::lispval record);
int savedstack_allocated_p(uint32_t address);

// ---- the calling thread ----
uint32_t* my_pthreadctl(void* frameAddress);
int thread_subsumes_fp(uint32_t* record, uint32_t address);
int32_t vxm_thread_registered_p(uint32_t osThreadId);
lisp::lispval my_lisp_thread();
lisp::lispval my_threadreg();  // 0 when none
uint32_t* my_thread(void* frameAddress);
uint32_t identify_os_thread();
uint32_t get_thread_osid(int32_t index);  // 0 for an index outside the registry
int32_t vxm_register_thread();

// ---- dynamic environment ----
int32_t vxm_make_environment_neutral();
uint32_t* switch_thread_dynamic_environment(int32_t index);
void reinstall_my_dynamic_environment();

// ---- set-up ----
void initialize_thread_registry(int reborn);
void queue_init(uint32_t* header);
extern uint32_t* ready_thread_header_aligned;
extern uint32_t* waiting_thread_header_aligned;
extern lisp::lispval ready_thread_queue;
extern lisp::lispval waiting_thread_queue;
void setup_dummy_threadctl(uint32_t* foreignCallRecord);
void note_threadctl_address(uint32_t* record);

// ---- the collector's view ----
// Set while a thread's stack is being set up: the running stack is not walked.
extern int skip_stack_scan;
void scavenge_per_thread_setup();
// Calls `slot` on each word of the vector's data from its first data word,
// `bytes` long (capped at the vector's own length).
void gc_scan_pvec(lisp::lispval vector, uint32_t bytes, gsgc_slot_routine slot);
void gc_scan_thread_registry(gsgc_slot_routine slot);
void scan_os_stacks(gsgc_slot_routine slot, gsgc_slot_routine returnAddress);
uint32_t prelink_native_stacks();
}

inline bool lisp::registry::isDead(uint32_t* record) {
  return word(record, thread_record::kState) == thread_record::kStateDead;
}
