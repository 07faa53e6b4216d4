// Stack segments for the collector; the frame rules are in stack_walk.h.
//
// Invariant: the walk only reads words of frames it has recognised (a
// marker or a function object below the frame pointer) and frame pointers
// that grow strictly upward below the segment's top, so a damaged or
// foreign stretch ends it instead of leading it astray.

#include "runtime/gc/stack_walk.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/catch_frames.h"
#include "runtime/rs/clink_layout.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

namespace {

using namespace gc;
using lisp::lispval;

constexpr uint32_t kEndOfChain = lisp::thread_record::kEmptyClinkChain;
constexpr size_t kMostRecords = 4096;
constexpr uint32_t kMostTableSlots = 1024;
constexpr uint32_t kMostCatchFrames = 1u << 20;
constexpr uint32_t kFixedBlockBytes = 32;
constexpr uint32_t kFixedSlotsBelowFrame[] = {4, 20, 24, 28};
constexpr uint32_t kSavedReturnBelowCaller = 12;
constexpr uint8_t kLocationBelowFrame = 8;

struct Segment {
  int32_t offset;
  uint32_t top;         // frame pointers stay below it
  uint32_t bottom = 0;  // foreign-call records lie at or above it, whole below top
  uint32_t moved(uint32_t address) const { return address + static_cast<uint32_t>(offset); }
  uint32_t read(uint32_t address) const { return wordAt(moved(address)); }
};

struct Routines {
  gsgc_slot_routine slot;
  gsgc_slot_routine returnAddress;
};

enum class FrameKind { Foreign, Marker, Function };
struct FrameShape {
  FrameKind kind = FrameKind::Foreign;
  uint32_t size = 0;
  uint32_t table = 0;  // 0: none
  bool hasMap = false;
  uint32_t map = 0;
};

// Whether a pointer may be read: it lies in the Lisp heap or the native heap.
bool readable(lispval value) {
  const uint32_t object = lisp::objectAddress(value);
  const bool inLispHeap = GsOldAreas && object >= areaAddress(GsOldAreas) && object < GsNewTop;
  const bool inNativeHeap = object >= vxmmalloc_heap.base && object < vxmmalloc_heap.brk;
  return inLispHeap || inNativeHeap;
}

// The function object a frame's function word stands for: its copy when it
// was forwarded, a closure's template; 0 when it is none.
lispval functionOf(lispval word) {
  for (int step = 0; step < 3; ++step) {
    if (!lisp::isOther(word) || !readable(word)) return 0;
    if (GsNewFromEnd != 0 && pointsIntoFromSpace(word) &&
        (wordAt(lisp::objectAddress(word) - kPrefixBytes + 4) & stamp::kForwarded)) {
      word = lisp::wordAt(word, lisp::kHeaderOffset);
      continue;
    }
    const uint8_t type = lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset));
    if (type == lisp::type_code::Function) return word;
    if (type != lisp::type_code::Closure) return 0;
    word = lisp::objectOf<lisp::ClosureObject>(word)->templateFunction;
  }
  return 0;
}

uint32_t markerFrameBytes(uint32_t marker) {
  const int32_t signedMarker = static_cast<int32_t>(marker);
  if (signedMarker < 0) return static_cast<uint32_t>(-static_cast<int32_t>(marker & ~7u) / 2);
  return (marker >> 5) & 0x3f8;
}

FrameShape shapeOf(const Segment& segment, uint32_t fp) {
  FrameShape shape;
  const lispval word = segment.read(fp - 4);
  if (lisp::isCharacter(word)) {
    shape.kind = FrameKind::Marker;
    shape.size = markerFrameBytes(word);
    return shape;
  }
  const lispval function = functionOf(word);
  if (function == 0) return shape;
  shape.kind = FrameKind::Function;
  const lispval info = lisp::wordAt(function, kFrameInfoOffset);
  if (lisp::isFixnum(info) && lisp::fixnumValue(info) >= 0) {
    shape.size = static_cast<uint32_t>(lisp::fixnumValue(info));
  } else if (lisp::isFixnum(info)) {
    shape.table = fp + static_cast<uint32_t>(lisp::fixnumValue(info));
    shape.size = segment.read(shape.table + 4);
  }
  const uint32_t header = lisp::wordAt(function, lisp::kHeaderOffset);
  const lispval map = lisp::wordAt(function, kStackArgMapOffset);
  shape.hasMap = (header & kStackArgMapFlag) != 0 && lisp::isFixnum(map);
  shape.map = static_cast<uint32_t>(lisp::fixnumValue(map));
  return shape;
}

// The foreign-call records of a chain, newest (lowest) first.
std::vector<uint32_t> chainOf(const Segment& segment, uint32_t clink) {
  std::vector<uint32_t> records;
  for (uint32_t record = clink; record != kEndOfChain && record != 0;) {
    if (record < segment.bottom || record >= segment.top ||
        segment.top - record < kClinkRecordBytes)
      break;
    records.push_back(record);
    const uint32_t previous = segment.read(record + kClinkPrevious);
    if (records.size() == kMostRecords || (previous != kEndOfChain && previous <= record)) break;
    record = previous;
  }
  return records;
}

// A throw over native code waits in a record (continuation set to the
// rethrow routine) with its tag and values in words 4 and 5 until the
// native code returns; they are Lisp values then. Otherwise word 4 is a
// callee or 0, and word 5 unused.
void visitPendingThrows(const Segment& segment, const std::vector<uint32_t>& records,
                        gsgc_slot_routine slot) {
  const uint32_t rethrow = addressOf(reinterpret_cast<void*>(rethrow_after_cret));
  for (uint32_t record : records) {
    if (segment.read(record + CLINK_CONTINUATION) != rethrow) continue;
    slot(segment.moved(record + CLINK_CALLEE));
    slot(segment.moved(record + CLINK_THROW_VALUES));
  }
}

// The first word above any foreign-call record in [from, limit): a record
// and the native arguments below it hold no Lisp values.
uint32_t aboveRecords(const std::vector<uint32_t>& records, uint32_t from, uint32_t limit) {
  for (uint32_t record : records)
    if (record >= from && record < limit) from = std::max(from, record + kClinkRecordBytes);
  return from;
}

// Visits one recognised frame; returns the next frame's scan position.
uint32_t visitFrame(const Segment& segment, uint32_t fp, uint32_t position, const FrameShape& shape,
                    const std::vector<uint32_t>& records, const Routines& routines) {
  if (shape.table != 0) {
    const uint32_t count = std::min(segment.read(shape.table), kMostTableSlots);
    for (uint32_t i = 0; i < count; ++i)
      routines.slot(segment.moved(fp + segment.read(shape.table + 8 + 4 * i)));
  } else {
    // The frame's own size bytes below the fixed block hold raw words; what
    // lies between the scan position and them is pushed Lisp values.
    const uint32_t fixedBlock = fp - kFixedBlockBytes;
    const uint32_t limit = fixedBlock - std::min(shape.size, fixedBlock);
    const uint32_t from = aboveRecords(records, position, fixedBlock);
    for (uint32_t word = from; word < limit; word += 4) routines.slot(segment.moved(word));
  }
  for (uint32_t below : kFixedSlotsBelowFrame) routines.slot(segment.moved(fp - below));
  routines.returnAddress(segment.moved(fp + 4));
  const uint32_t caller = segment.read(fp);
  if (caller != 0) routines.returnAddress(segment.moved(caller - kSavedReturnBelowCaller));

  uint32_t next = fp + 8;
  if (!shape.hasMap) return next;
  const uint32_t entries = shape.map & ((1u << kStackArgMapCountBits) - 1);
  for (uint32_t i = 0; i < entries; ++i) {
    switch ((shape.map >> (kStackArgMapCountBits + 2 * i)) & 3) {
      case 0:
        routines.slot(segment.moved(next));
        next += 4;
        break;
      case 2:
        next += 8;
        break;
      default:
        next += 4;
        break;
    }
  }
  return next;
}

// Walks the frames of a segment; with routines, visits them. Returns the
// first foreign frame met while records that lead back into Lisp remain.
uint32_t walkSegment(const Segment& segment, uint32_t clink, uint32_t start,
                     const Routines* routines) {
  const std::vector<uint32_t> records = chainOf(segment, clink);
  if (records.empty()) return 0;
  if (routines) visitPendingThrows(segment, records, routines->slot);
  size_t next = 0;
  uint32_t fp = segment.read(records[0] + kClinkSavedFrame);
  uint32_t position = start, previous = 0;
  while (fp != 0 && fp > previous && fp < segment.top) {
    while (next < records.size() && records[next] < fp) ++next;
    const FrameShape shape = shapeOf(segment, fp);
    if (shape.kind == FrameKind::Foreign) return next < records.size() ? fp : 0;
    if (routines) position = visitFrame(segment, fp, position, shape, records, *routines);
    previous = fp;
    if (next < records.size() && segment.read(records[next] + kClinkNativeFrame) == fp) {
      // A native entry into Lisp: native code lies above it.
      if (next + 1 == records.size()) return 0;
      position = records[next] + kClinkRecordBytes;
      fp = segment.read(records[next] + kClinkSavedFrame);
      ++next;
      continue;
    }
    fp = segment.read(fp);
  }
  return 0;
}

// A catch frame's Lisp values are its tag and, once a throw arrived, the
// value or values vector; its continuation is a code address, moved as a
// return address is.
void visitCatchFrames(const Segment& segment, uint32_t catchChain, const Routines& routines) {
  uint32_t previous = 0, count = 0;
  for (uint32_t frame = catchChain; frame != 0 && frame > previous && count < kMostCatchFrames;
       ++count) {
    routines.returnAddress(segment.moved(frame + CATCH_CONTINUATION));
    routines.slot(segment.moved(frame + CATCH_TAG));
    routines.slot(segment.moved(frame + CATCH_VALUE));
    previous = frame;
    frame = segment.read(frame);
  }
}

uint32_t stackPosition() {
  return addressOf(__builtin_frame_address(0));
}

}  // namespace

namespace gc {

BadFrameReport badFrameReport(uint32_t frame) {
  return {wordAt(frame - 4), lisp::fixnumValue(wordAt(frame - kLocationBelowFrame))};
}

uint32_t currentThreadRecord() {
  return platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4));
}

std::vector<uint32_t> currentForeignCallRecords(uint32_t low) {
  const uint32_t record = currentThreadRecord();
  if (record == 0) return {};
  return chainOf({0, currentStackBase(), low},
                 lisp::wordAt(record, lisp::thread_record::kClinkHead));
}

uint32_t currentStackBase() {
  thread_local uint32_t base = 0;
  if (base == 0) {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t bytes = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstack(&attributes, &low, &bytes);
      pthread_attr_destroy(&attributes);
    }
    base = bytes ? addressOf(low) + static_cast<uint32_t>(bytes) : 0xffffffff;
  }
  return base;
}

}  // namespace gc

extern "C" {

void scan_stackspace(uint32_t clink, uint32_t catchChain, uint32_t start, gsgc_slot_routine slot,
                     gsgc_slot_routine returnAddress, int32_t offset) {
  const Segment segment{offset, 0xffffffff};
  const Routines routines{slot, returnAddress};
  walkSegment(segment, clink, start, &routines);
  visitCatchFrames(segment, catchChain, routines);
}

void scan_activestack(gsgc_slot_routine slot, gsgc_slot_routine returnAddress) {
  const uint32_t record = currentThreadRecord();
  if (record == 0) return;
  namespace tr = lisp::thread_record;
  const Segment segment{0, currentStackBase()};
  const Routines routines{slot, returnAddress};
  walkSegment(segment, lisp::wordAt(record, tr::kClinkHead), stackPosition(), &routines);
  visitCatchFrames(segment, lisp::wordAt(record, tr::kCatchChain), routines);
}

uint32_t prelink_savedstack(uint32_t clink, uint32_t start, int32_t offset) {
  return walkSegment({offset, 0xffffffff}, clink, start, nullptr);
}

uint32_t prelink_activestack() {
  const uint32_t record = currentThreadRecord();
  if (record == 0) return 0;
  return walkSegment({0, currentStackBase()}, lisp::wordAt(record, lisp::thread_record::kClinkHead),
                     stackPosition(), nullptr);
}

}  // extern "C"
