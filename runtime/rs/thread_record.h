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
inline constexpr uint32_t kIoWaitMarked = 2;

// ---- the whole record, as the thread registry builds it ----
//
// Header: type code 15 with 46 Lisp slots (words 1 to 46); every word after
// slot 46 is raw and never seen by the collector. The record block is larger
// than the 582 words of the layout: the volatile save area at +0x708, which
// save_volatile first brings up to a multiple of 8, runs 0x204 bytes past
// it. The block (8-aligned) covers that, and every position stays where it is.
inline constexpr uint32_t kLispSlots = 46;
inline constexpr uint32_t kHeader = (kLispSlots << 8) | 15;
inline constexpr uint32_t kTagOffset = 0x12;  // tagged word = block + 0x12
inline constexpr uint32_t kVolatileSaveAreaBytes = 0x204;
inline constexpr uint32_t kRecordBlockBytes =
    (((kTagOffset + kVolatileSaveArea + 7) & ~uint32_t{7}) + kVolatileSaveAreaBytes + 7) &
    ~uint32_t{7};
static_assert(kRecordBlockBytes == 2344 && kRecordBlockBytes >= 4 * kRecordWords);

// Lisp slots.
inline constexpr int32_t kStructureType = wordOffset(1);
inline constexpr int32_t kQueueNext = wordOffset(2);
inline constexpr int32_t kQueuePrevious = wordOffset(3);
inline constexpr int32_t kOwner = wordOffset(5);
inline constexpr int32_t kStackSize = wordOffset(26);
inline constexpr int32_t kCallbackMarker = wordOffset(28);
inline constexpr int32_t kOsIdSlot = wordOffset(30);
inline constexpr int32_t kProcessObject = wordOffset(31);
inline constexpr int32_t kSpecialStack = wordOffset(33);
inline constexpr int32_t kDescriptorWaitList = wordOffset(35);
inline constexpr int32_t kProfilingExclusion = wordOffset(36);
// Decision: the processor time (microseconds modulo 2^29, a fixnum) at the
// thread's last profiler sample lives in slot 39, a slot no other use names;
// a value that is not a fixnum counts as 0.
inline constexpr int32_t kLastSampleTime = wordOffset(39);
inline constexpr int32_t kScratch = wordOffset(41);
// The runtime fasl loader's stack: a list whose first cell is the top, and
// a list of free cells. Decision: the first two of the record's spare Lisp
// slots, so the collector sees both.
inline constexpr int32_t kFaslCellStack = wordOffset(42);
inline constexpr int32_t kFaslFreeCells = wordOffset(43);
// Raw words.
inline constexpr int32_t kQueueWord1 = wordOffset(47);
inline constexpr int32_t kQueueWord2 = wordOffset(48);
inline constexpr int32_t kClockWord = wordOffset(49);
inline constexpr int32_t kClearedWord52 = wordOffset(52);
inline constexpr int32_t kSavedNativeStack = wordOffset(54);
inline constexpr int32_t kOsThreadId = wordOffset(57);
inline constexpr int32_t kChainLink = wordOffset(63);
inline constexpr int32_t kSpecialFill = wordOffset(64);
inline constexpr int32_t kClearedWord68 = wordOffset(68);
inline constexpr int32_t kClearedWord69 = wordOffset(69);
inline constexpr int32_t kClearedWord73 = wordOffset(73);
// Time accounting of the thread operations, in reserved words: the running
// slice's start in milliseconds of the runtime clock (0: none running) and
// the milliseconds accounted so far.
inline constexpr int32_t kSliceStart = wordOffset(70);
inline constexpr int32_t kMillisecondsUsed = wordOffset(71);
inline constexpr int32_t kGcState = wordOffset(79);
inline constexpr int32_t kErrnoAddress = wordOffset(88);
inline constexpr int32_t kSelectBlockAddress = wordOffset(94);
inline constexpr int32_t kCallbackFlag = wordOffset(95);
inline constexpr int32_t kKillRequest = wordOffset(96);
inline constexpr int32_t kClearedAtRegistration = wordOffset(97);
inline constexpr int32_t kSecondHandle = wordOffset(444);
inline constexpr int32_t kCallbackArgument = wordOffset(446);
inline constexpr int32_t kCallbackIndex = wordOffset(447);
inline constexpr int32_t kSelectBlock = wordOffset(448);       // words 448 and 449
inline constexpr int32_t kCallbackSaveArea = wordOffset(450);  // words 450 to 581

// Thread states (the raw state word).
inline constexpr uint32_t kStateNew = 11;
inline constexpr uint32_t kStateStarting = 6;
inline constexpr uint32_t kStateWaitingForWake = 1;
// Decision: the I/O wait (md_io_wait) is in this state, the one the
// descriptor wake-ups (free_waiting_thread) look for.
inline constexpr uint32_t kStateWaitingOnDescriptors = 10;
inline constexpr uint32_t kStateCallbackDone = 5;
inline constexpr uint32_t kStateKilled = 13;
inline constexpr uint32_t kStateInForeignCall = 14;
inline constexpr uint32_t kStateDead = 0xffffffff;  // -1

// The positions the table of the record fixes, by word number.
static_assert(kStructureType == -0xe && kQueueNext == -0xa && kQueuePrevious == -6);
static_assert(kOwner == 2 && kStackSize == 0x56 && kPriority == 0x5a);
static_assert(kCallbackMarker == 0x5e && kOsIdSlot == 0x66 && kProcessObject == 0x6a);
static_assert(kSpecialStack == 0x72 && kSpecialStack == kFaslStack);
static_assert(kDescriptorWaitList == 0x7a && kProfilingExclusion == 0x7e && kScratch == 0x92);
static_assert(kQueueWord1 == 0xaa && kQueueWord2 == 0xae && kClockWord == 0xb2);
static_assert(kClearedWord52 == 0xbe && kSavedNativeStack == 0xc6);
static_assert(kStackBase == 0xce && kOsThreadId == 0xd2 && kRegistryIndex == 0xd6);
static_assert(kState == 0xde && kChainLink == 0xea && kSpecialFill == 0xee);
static_assert(kGcState == 0x12a && kErrnoAddress == 0x14e);
static_assert(kSelectBlockAddress == 0x166);
static_assert(kCallbackFlag == 0x16a && kKillRequest == 0x16e && kClearedAtRegistration == 0x172);
static_assert(kWatchCount == 0x17a && kEventWatchList == 0x17e);
static_assert(kSocketWatchList == 0x3ae && kSocketWatchCount == 0x3b2);
static_assert(kOsThreadHandle == 0x6d6 && kWakeEvent == 0x6da && kSecondHandle == 0x6de);
static_assert(kIoWaitMarker == 0x6e2 && kCallbackArgument == 0x6e6 && kCallbackIndex == 0x6ea);
static_assert(kSelectBlock == 0x6ee && kCallbackSaveArea == 0x6f6);
static_assert(wordOffset(kRecordWords) == 0x906);

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
