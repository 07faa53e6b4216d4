// Frame walking for the Lisp debugger: the native halves of newest_frame,
// fd_next_frame, fd_arg_count and break_on_exit_control
// (debugger_frames.S).
//
// Invariant: every word read or written lies on the walked thread's stack,
// between the lowest position known to be in use (the entry's own frame for
// the running thread, the saved native stack of a parked one) and the
// thread's stack base, and every step of a walk moves to a strictly higher
// address. So a corrupt or cyclic chain ends the walk with nil instead of
// faulting or looping.

#include "runtime/os/debugger_frames.h"

#include <cstdint>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

namespace {

using lisp::lispval;
namespace tr = lisp::thread_record;
namespace frame = lisp::nil_block::frame;

constexpr uint32_t kEndOfChain = tr::kEmptyClinkChain;
constexpr uint32_t kRecordBytes = 4 * tr::kClinkRecordWords;
constexpr int32_t kRecordPrevious = 0, kRecordNativeFrame = 4, kRecordSavedFrame = 8;
constexpr int32_t kReturnAddress = 4;
constexpr int32_t kParkedReturn = -0xc;  // in the caller's frame, while a trap is planted

enum Action : int32_t { kPlant = 0, kRemove = 1, kReport = 2 };

// A planted trap is told by which of the two exit traps a frame returns to.
uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

uint32_t& word(uint32_t address) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

lispval nil() {
  return nilval;
}
lispval t() {
  return lisp::nil_block::tFor(nilval);
}

// The stretch of a thread's stack that may be read: [low, high).
struct WalkedStack {
  lispval record = 0;  // tagged; 0 when the thread argument names none
  uint32_t low = 0, high = 0;
  bool running = false;

  explicit operator bool() const { return record != 0; }
  // `bytes` from the address lie in the stretch, word-aligned.
  bool holds(uint32_t address, uint32_t bytes) const {
    return address % 4 == 0 && address >= low && address < high && high - address >= bytes;
  }
  // A frame pointer whose words from fp-16 to fp+4 may be read.
  bool holdsFrame(uint32_t fp) const { return fp >= 16 && holds(fp + frame::kCount, 24); }
};

// The stack the thread argument names: nil or the current thread is the
// running thread, read from the entry's own frame up; another thread only
// while it is a registered record parked outside Lisp (saved native stack
// not 0), read from that position up. Anything else names none.
WalkedStack stackOf(lispval thread, lispval current, uint32_t ownFrame) {
  WalkedStack stack;
  if (thread == nil() || thread == current) {
    stack.record = current;
    stack.running = true;
    stack.low = ownFrame;
    stack.high = lisp::wordAt(current, tr::kStackBase);
    // Decision: a running thread whose record names no stack base is bounded
    // by the base of the stack it runs on.
    if (stack.high == 0) stack.high = gc::currentStackBase();
  } else {
    if (!validate_thread(thread)) return {};
    stack.record = thread;
    stack.low = lisp::wordAt(thread, tr::kSavedNativeStack);
    stack.high = lisp::wordAt(thread, tr::kStackBase);
    if (stack.low == 0) return {};
  }
  if (stack.high <= stack.low) return {};
  return stack;
}

// A function object: an other word whose header lies in the Lisp heap and
// has type code 8. A word pointing anywhere else is not read.
bool isFunctionObject(lispval value) {
  if (!lisp::isOther(value) || GsOldAreas == nullptr) return false;
  const uint32_t object = lisp::objectAddress(value);
  if (object < gc::areaAddress(GsOldAreas) || object >= GsNewTop || GsNewTop - object < 4)
    return false;
  return lisp::typeCodeOf(word(object)) == lisp::type_code::Function;
}

// The frame a walk step yields: a function object or the runtime-routine
// marker below its frame pointer.
bool isFrameOfInterest(uint32_t fp) {
  const uint32_t below = word(fp + frame::kFunction);
  return below == lisp::nil_block::marker::kRuntimeRoutine || isFunctionObject(below);
}

// The caller's frame of a frame, when it lies above it on the stack with
// room for the trap's parked return address above the frame's own words;
// else 0.
uint32_t callerFrameOf(const WalkedStack& stack, uint32_t fp) {
  if (!stack.holdsFrame(fp)) return 0;
  const uint32_t caller = word(fp);
  if (caller <= fp || caller + kParkedReturn < fp + kReturnAddress + 4) return 0;
  return stack.holdsFrame(caller) ? caller : 0;
}

// The next older frame of interest after `fp`, or nil. `record` is the
// foreign-call record the walk starts with.
lispval nextFrame(const WalkedStack& stack, uint32_t fp, uint32_t record) {
  if (!stack.holds(fp, 4)) return nil();
  uint32_t candidate = word(fp);
  uint32_t passed = fp;  // every candidate must lie above it
  // Records newer than the candidate are not the walk's.
  while (record != kEndOfChain && record < candidate) {
    if (!stack.holds(record, kRecordBytes)) return nil();
    const uint32_t previous = word(record + kRecordPrevious);
    if (previous != kEndOfChain && previous <= record) return nil();
    record = previous;
  }
  for (;;) {
    if (candidate == 0) return nil();
    if (candidate <= passed || !stack.holds(candidate + frame::kFunction, 8)) return nil();
    if (record != kEndOfChain && stack.holds(record, kRecordBytes) &&
        word(record + kRecordNativeFrame) == candidate) {
      // A native entry into Lisp: pass over the native stretch and the Lisp
      // frame that called out, to that frame's caller.
      const uint32_t previous = word(record + kRecordPrevious);
      if (previous == kEndOfChain) return nil();
      const uint32_t caller = word(record + kRecordSavedFrame);
      if (caller <= candidate || !stack.holds(caller, 4)) return nil();
      if (previous <= record) return nil();
      passed = caller;
      candidate = word(caller);
      record = previous;
      continue;
    }
    if (isFrameOfInterest(candidate)) return candidate;
    passed = candidate;
    candidate = word(candidate);
  }
}

}  // namespace

extern "C" {

lispval debugger_newest_frame(lispval thread, lispval current, uint32_t ownFrame) {
  const WalkedStack stack = stackOf(thread, current, ownFrame);
  if (!stack) return nil();
  if (stack.running) {
    // Two links up from the entry's own frame: the caller of its caller.
    if (!stack.holds(ownFrame, 4)) return nil();
    const uint32_t callerOfEntry = word(ownFrame);
    if (callerOfEntry <= ownFrame || !stack.holds(callerOfEntry, 4)) return nil();
    const uint32_t newest = word(callerOfEntry);
    return newest > callerOfEntry && stack.holds(newest, 4) ? newest : nil();
  }
  const uint32_t head = lisp::wordAt(thread, tr::kClinkHead);
  if (head == kEndOfChain || !stack.holds(head, kRecordBytes)) return nil();
  const uint32_t saved = word(head + kRecordSavedFrame);
  return saved > head && stack.holds(saved, 4) ? saved : nil();
}

lispval debugger_next_frame(lispval fp, lispval thread, lispval current, uint32_t ownFrame) {
  const WalkedStack stack = stackOf(thread, current, ownFrame);
  if (!stack) return nil();
  // The walk starts with the record before the newest: for the running
  // thread the newest is the entry's own (linked by its native call, below
  // its frame), for a parked one it gave newest_frame's answer.
  const uint32_t head = lisp::wordAt(stack.record, tr::kClinkHead);
  if (head == kEndOfChain) return nil();
  if (!stack.running && !stack.holds(head, kRecordBytes)) return nil();
  return nextFrame(stack, fp, word(head + kRecordPrevious));
}

lispval debugger_arg_count(lispval fp, lispval thread, lispval current, uint32_t ownFrame) {
  const WalkedStack stack = stackOf(thread, current, ownFrame);
  if (!stack || !stack.holds(fp, 4)) return nil();
  const uint32_t caller = word(fp);
  if (caller == 0 || caller <= fp || !stack.holdsFrame(caller)) return nil();
  const uint32_t recorded = word(caller + frame::kCount);
  if (recorded == nil() || static_cast<int32_t>(recorded) >= 0) return nil();
  const uint32_t count = ~recorded;  // -1 - word
  const uint32_t callersCaller = word(caller);
  if (callersCaller != 0) {
    if (callersCaller <= caller) return nil();
    if (uint64_t{callersCaller - caller} <= 4 * uint64_t{count}) return nil();
  }
  if (count > static_cast<uint32_t>(lisp::kMostPositiveFixnum)) return nil();
  return lisp::makeFixnum(static_cast<int32_t>(count));
}

uint32_t debugger_exit_trap(const lispval* arguments, lispval current, uint32_t ownFrame,
                            lispval* values) {
  const lispval action = arguments[0], thread = arguments[1], fp = arguments[2],
                throwFlag = arguments[3];
  values[0] = values[1] = nil();
  const WalkedStack stack = stackOf(thread, current, ownFrame);
  const uint32_t returnOnly = addressOf(break_on_exit_return_only);
  const uint32_t orThrow = addressOf(break_on_exit_or_throw);
  const bool frameReadable = stack && stack.holdsFrame(fp);
  const uint32_t returnAddress = frameReadable ? word(fp + kReturnAddress) : 0;
  const bool planted = returnAddress == returnOnly || returnAddress == orThrow;
  if (action == lisp::makeFixnum(kReport)) {
    if (returnAddress == returnOnly) values[0] = t();
    if (returnAddress == orThrow) values[1] = t();
    return 2;
  }
  if (action != lisp::makeFixnum(kPlant) && action != lisp::makeFixnum(kRemove)) return 1;
  // Without a caller frame (the oldest frame) there is nowhere to park the
  // return address: refused.
  const uint32_t caller = frameReadable ? callerFrameOf(stack, fp) : 0;
  if (caller == 0) return 1;
  if (action == lisp::makeFixnum(kPlant)) {
    if (!planted) word(caller + kParkedReturn) = returnAddress;
    word(fp + kReturnAddress) = throwFlag != nil() ? orThrow : returnOnly;
  } else if (planted) {
    word(fp + kReturnAddress) = word(caller + kParkedReturn);
  }
  values[0] = t();
  return 1;
}

}  // extern "C"
