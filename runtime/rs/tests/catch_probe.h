// The test catcher of catch_probes.S: a Lisp function that links catch
// frames in its own frame, calls a target with the harness's registers and a
// wide outgoing area, and records what arrives at each frame's continuation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catch_test {

inline constexpr int kAreaWords = 48;
inline constexpr int kMaxFrames = 3;
inline constexpr int kMaxArrivals = 4;

struct CatchSetup {
  uint32_t target;
  uint32_t frames;              // catch frames linked, frame 0 the oldest
  uint32_t tags[kMaxFrames];
  uint32_t callerTag;           // the probe's frame word -0x18 during the call
  uint32_t rethrow;             // cleanup frames close the values and throw on
  uint32_t patchList;           // a cons whose car becomes the probe's ebp
  uint32_t area[kAreaWords];    // [0], [1] home slots, then arguments 3..
};
static_assert(offsetof(CatchSetup, area) == 32);

struct Arrival {
  uint32_t frame, eax, edx, ecx, carry;
  int32_t espOffset;  // esp - the esp the frame saved
  int32_t ebpOffset;  // ebp - the probe's ebp
  uint32_t esi, catchHead, clinkHead, bindingTop, valuesHead, tagWord, valueWord, ebx, unused;
};
static_assert(sizeof(Arrival) == 64);

struct CatchLog {
  uint32_t returned;  // the target returned normally
  uint32_t arrivals;
  uint32_t ebp;       // the probe's frame pointer
  uint32_t frames[kMaxFrames];
  Arrival arrival[kMaxArrivals];
};
static_assert(offsetof(CatchLog, arrival) == 24);

// What the snapshotting error function saw.
struct ErrorSnapshot {
  uint32_t count, eax, edx, catchHead, clinkHead, bindingTop, valuesHead;
};

}  // namespace catch_test

extern "C" {
void catch_probe();
void error_snapshot_entry();
extern catch_test::CatchSetup catch_setup;
extern catch_test::CatchLog catch_log;
extern catch_test::ErrorSnapshot error_snapshot;
}
