// The words of the thread record (`threadctl`) that runtime code reads.
//
// Runtime code keeps the record's tagged word (an other object: block + 0x12)
// in the thread register, so every field is addressed as thread + offset,
// where record word k (the header is word 0) lies at 4*k - 0x12. The whole
// record is built by the thread machinery; this lists only the words the
// value layer and its callers name.
//
// Decisions taken for the record:
// - The foreign-call (`clink`) chain is empty when its head holds all ones
//   (kEmptyClinkChain). A chain ends with a record whose previous-record word
//   holds the same mark. 0 is never used as the empty mark.
// - Word +0xf6 has one role: the native stack position of the thread's current
//   leaf native call, nil when there is none. While it is not nil it is also
//   the spare foreign-call record that a call from that native code back into
//   Lisp links in; whoever links it stores nil there until it unlinks it.
//   +0xfa is the frame pointer that goes with it.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::thread_record {

inline constexpr uint32_t kRecordWords = 582;
inline constexpr int32_t wordOffset(int32_t word) {
  return 4 * word - 0x12;
}

inline constexpr int32_t kStackLimit = 0x1a;
inline constexpr int32_t kBindingIndex = 0x62;       // fixnum byte offset into value vectors
inline constexpr int32_t kBindingStack = 0x6e;       // binding-stack sysvector
inline constexpr int32_t kFaslStack = 0x72;          // the loaders' stack (sysvector)
inline constexpr int32_t kValuesVectors = 0x82;      // head of the values-vector list
inline constexpr int32_t kAnnotatingConsing = 0x8a;  // fixnum 1 or nil
inline constexpr int32_t kClinkHead = 0xb6;          // newest foreign-call record
inline constexpr int32_t kCatchChain = 0xba;
inline constexpr int32_t kBindingStackRoom = 0xc2;
inline constexpr int32_t kStackReadable = 0xc6;
inline constexpr int32_t kBindingStackTop = 0xe6;
inline constexpr int32_t kFaslStackWords = 0xf2;
inline constexpr int32_t kLeafCallStack = 0xf6;  // see the decision above
inline constexpr int32_t kLeafCallFrame = 0xfa;
inline constexpr int32_t kTrapHandlerKind = 0x132;
inline constexpr int32_t kTrapErrorCode = 0x136;
inline constexpr int32_t kTrapErrorDatum = 0x13a;
inline constexpr int32_t kTrapFrameOwned = 0x13e;
inline constexpr int32_t kTrapAddress = 0x142;
inline constexpr int32_t kTrapResumeSkip = 0x146;
inline constexpr int32_t kExtraResults = 0x156;  // four raw words of sy_ service results
inline constexpr int32_t kSignalWordAddress = 0x166;
inline constexpr int32_t kVolatileSaveArea = 0x708;  // 0x204 bytes

inline constexpr uint32_t kEmptyClinkChain = 0xffffffff;
// A foreign-call record: previous record, native frame, calling frame, throw
// continuation, callee, and a sixth word kept free for the values of a throw
// that passes over native code (the tag goes into the callee word).
inline constexpr uint32_t kClinkRecordWords = 6;

// Words the OS primitives read and write (waits, priority, thread handle).
inline constexpr int32_t kPriority = wordOffset(27);  // slot: fixnum, nil, or above every number
inline constexpr int32_t kStackBase = wordOffset(56);
inline constexpr int32_t kRegistryIndex = wordOffset(58);
inline constexpr int32_t kState = wordOffset(60);
inline constexpr int32_t kWatchCount = wordOffset(99);
inline constexpr int32_t kEventWatchList = wordOffset(100);
inline constexpr uint32_t kEventWatchCapacity = 10;
inline constexpr int32_t kSocketWatchList = wordOffset(240);  // cleared with the list
inline constexpr int32_t kSocketWatchCount = wordOffset(241);
inline constexpr int32_t kSocketWatchHandles = wordOffset(242);
inline constexpr uint32_t kSocketWatchCapacity = 200;  // words 242 to 441
inline constexpr int32_t kOsThreadHandle = wordOffset(442);
inline constexpr int32_t kWakeEvent = wordOffset(443);
inline constexpr int32_t kIoWaitMarker = wordOffset(445);

inline constexpr uint32_t kStateRunning = 0;
inline constexpr uint32_t kStateInIoWait = 9;
inline constexpr uint32_t kIoWaitMarked = 2;

static_assert(kBindingIndex == wordOffset(29));
static_assert(kBindingStack == wordOffset(32));
static_assert(kFaslStack == wordOffset(33));
static_assert(kValuesVectors == wordOffset(37));
static_assert(kClinkHead == wordOffset(50));
static_assert(kCatchChain == wordOffset(51));
static_assert(kBindingStackRoom == wordOffset(53));
static_assert(kBindingStackTop == wordOffset(62));
static_assert(kLeafCallStack == wordOffset(66));
static_assert(kSocketWatchHandles + 4 * int32_t{kSocketWatchCapacity} == kOsThreadHandle);
static_assert(kEventWatchList + 4 * int32_t{kEventWatchCapacity} == wordOffset(110));

}  // namespace lisp::thread_record
