// What a scavenge does after its transitive closure with the new-space
// objects that must not keep others alive (weak vectors), that watch an
// object die (finalizations), or that own native storage (sysvectors).
//
// Chains: GsWeakChain, GsFinlzChain and the sysvector chain link objects
// through the first word of their new-space prefix. A link holds the prefix
// address of the next object, 0 ends a chain; GsSVC_tail holds the address
// of the chain's last link word (&GsSVC_head while the chain is empty).
#pragma once

#include <cstdint>

#include "runtime/gc/root_scan.h"
#include "runtime/rs/lisp_value.h"

namespace gc {

// Sysvector kinds (word 1, a fixnum).
inline constexpr int32_t kSysvectorDirect = 1;
inline constexpr int32_t kSysvectorStackStorage = 2;  // a storage block kept when its owner dies
inline constexpr int32_t kSysvectorIndirect = 3;

// Pushes the object whose prefix lies at `prefix` on a chain through that prefix.
void pushOnChain(uint32_t& head, uint32_t prefix);
// Appends the object whose prefix lies at `prefix` to the sysvector chain.
void appendSysvector(uint32_t prefix);
// Clears the slots of the weak vector whose header lies at `vector` (types 96
// and 112) whose object `dead` says died (it may update a live slot). In
// replacement mode the last slot is the weak-key hash table: dead keys get
// the value of the symbol in GlobWeakReplacement and leave a live table; a
// dead table's slot becomes nil.
void clearDeadWeakSlots(uint32_t vector, int replace, int (*dead)(uint32_t slot));

}  // namespace gc

extern "C" {

// 1 when the slot's value lay in the from-space and was not copied, or is a
// registered lisp-static object the scavenge did not mark (dead); otherwise
// a forwarded value is replaced by its copy and 0 returned.
int check_weak_slot(uint32_t slot);
// Clears the dead slots of the weak vector whose header lies at `vector`
// (types 96 and 112); in replacement mode its last slot is the weak-key hash
// table, and dead keys get the value of the symbol in GlobWeakReplacement.
void scan_weak_vector(uint32_t vector, int replace);
// Key `index` of the hash table's key vector died: the table's count drops
// by one and its value at that index becomes nil. Only when `table` is a
// hash table whose key vector is `vector` (a tagged pointer).
void swv_adjust_hash_table(lisp::lispval vector, uint32_t count, uint32_t index,
                           lisp::lispval table);
// Queues the finalizations on GsFinlzChain whose object died, reviving the
// object through the treatment's checknslot; 1 when any was queued.
int tenurecatchup_finalizations(const gc::SlotTreatment* treatment);
// Rebuilds the sysvector chain from the copies of its live members and gives
// back the native storage of dead indirect ones.
void scan_sysvectors();
// Forgets the storage of chained indirect sysvectors whose storage pointer
// lies outside [low, high].
void clear_old_stack_sysvectors(uint32_t low, uint32_t high);
// Fixnum 1 when `address` lies between the stack pointer and the calling
// thread's stack base, else fixnum 0.
lisp::lispval stack_allocated_p(lisp::lispval address);
}
