// Walking Lisp stack segments for the collector: the Lisp values held in
// frames, the return addresses into Lisp code, the catch frames, and the
// global table's Lisp-value words.
//
// The frame rules this walk settles (the frame conventions are the runtime
// system's; what follows is what the collector reads of them):
// - A frame is reached by its frame pointer fp: [fp] the caller's fp, [fp+4]
//   the return address, [fp-4] the function object or a runtime-frame
//   marker (tag 6). Any other word there makes a foreign frame, which ends
//   the walk (prelinking reports it as bad while foreign-call records that
//   should lead back into Lisp remain).
// - Size below fp: a marker encodes it (negative: -(word without its tag
//   bits) / 2, else (word >> 5) & 0x3f8 bytes); a function (a closure's
//   template function; the copy of a forwarded one) keeps it in its frame
//   information word, the fixnum in word 6 (p+6): non-negative, the size in
//   bytes; negative, the byte offset from fp of a table in the frame: slot
//   count, size, then that many signed byte offsets from fp of the slots.
// - Visited as Lisp values: the words from the scan position up to 32 bytes
//   below the frame's lowest slot, that is below fp-32-size (the size bytes
//   under the fixed 32-byte block hold raw words: a float-boxing frame's
//   double, a native entry's saved state), the table's slots instead when
//   there is a table; the function word and the words at fp-20, fp-24 and
//   fp-28. The word at fp-32 is never visited. A foreign-call record inside
//   that stretch is stepped over together with the native arguments below
//   it.
// - A function whose header has bit 7 of its flags byte (0x8000) set keeps
//   a stack-argument map in the fixnum of word 8 (p+0xe): bits 0-4 the
//   number of entries, then two bits per entry for the words from fp+8 up:
//   0 a Lisp value, 1 or 3 skip one word, 2 skip two words. The next
//   frame's scan position is just above what the map covered, else fp+8.
// - Return addresses: [fp+4] of each frame and the word 12 bytes below the
//   caller's frame pointer (where an exit trap keeps the real one).
// - Foreign-call records: a record's word 2 is the Lisp frame that called
//   native code; when the walk reaches the frame a record names in word 1
//   (a native entry into Lisp), the native stretch above it is passed over
//   and the walk goes on at the record's Lisp frame, or ends when the
//   record is the chain's last (previous all ones). A record that holds a
//   throw over native code (continuation: the rethrow routine) keeps its
//   tag and values vector in words 4 and 5, visited as Lisp values.
// - Catch frames: linked through their first word (0 ends); the tag and
//   value words (+0x18, +0x1c) are Lisp values, the continuation after the
//   link a code address, handed on as a return address.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/gc/heap_walkers.h"
#include "runtime/rs/thread_record.h"

extern "C" {

// One stack segment: `clink` its newest foreign-call record (all ones or 0:
// none), `catchChain` its newest catch frame, `start` its lowest word in use.
// Addresses read from the segment are moved by `offset` before they are
// used (a saved stack copied elsewhere); routines receive moved addresses.
void scan_stackspace(uint32_t clink, uint32_t catchChain, uint32_t start, gsgc_slot_routine slot,
                     gsgc_slot_routine returnAddress, int32_t offset);
// The calling thread's own stack, from its thread record.
void scan_activestack(gsgc_slot_routine slot, gsgc_slot_routine returnAddress);

// Check the frames of a segment before a scan; the address of the first bad
// frame, or 0.
uint32_t prelink_savedstack(uint32_t clink, uint32_t start, int32_t offset);
uint32_t prelink_activestack();
// Every thread's stack (the thread registry's).
uint32_t prelink_native_stacks();

// The global table's Lisp-value words, then the threads' record slots.
void scan_global_slots(gsgc_slot_routine slot, gsgc_slot_routine returnAddress);
// Every thread record's Lisp-value words (the thread registry's).
void gc_scan_thread_registry(gsgc_slot_routine slot);
}

namespace gc {

inline constexpr uint32_t kClinkRecordBytes = 4 * lisp::thread_record::kClinkRecordWords;
inline constexpr int32_t kClinkPrevious = 0, kClinkNativeFrame = 4, kClinkSavedFrame = 8;
inline constexpr int32_t kFrameInfoOffset = 6;  // from the function's tagged word
inline constexpr int32_t kStackArgMapOffset = 0xe;
inline constexpr uint32_t kStackArgMapFlag = 0x8000;
inline constexpr uint32_t kStackArgMapCountBits = 5;

// What prelink_stacks reports of a bad frame: the word below its frame
// pointer, and the fixnum below that as the location.
struct BadFrameReport {
  uint32_t function;
  int32_t location;
};
BadFrameReport badFrameReport(uint32_t frame);

// The calling thread's record (tagged), or 0 when it has none.
uint32_t currentThreadRecord();
// Highest address of the calling thread's stack.
uint32_t currentStackBase();
// The calling thread's foreign-call records, newest first; the chain is cut
// at a record that lies outside its stack between `low` and the base.
std::vector<uint32_t> currentForeignCallRecords(uint32_t low);

}  // namespace gc
