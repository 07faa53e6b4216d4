// Calls of the runtime's constructors on a fresh heap: each call either
// makes one object at the free position of new space, with its prefix and
// exactly its collector extent, or signals one runtime error and makes
// nothing.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_routine_heap.h"

namespace gc_test {

class LispConstructorHeap : public LispRoutineHeap {
 protected:
  // What the stand-in error function returns.
  static constexpr lisp::lispval kErrorValue = lisp::makeFixnum(77);

  void SetUp() override {
    LispRoutineHeap::SetUp();
    testing_support::resetRecorder(kErrorValue);
  }

  uint32_t next() { return global(gc::global::kNewOtherTop); }
  static uint32_t header(lisp::lispval object) { return at(object - 0x12); }
  static uint16_t kindOf(lisp::lispval object) { return at<uint16_t>(object - 0x14); }

  // A call of a routine that has no entry slot.
  testing_support::LispCallSetup setupForRoutine(void (*routine)(), uint32_t eax = 0,
                                                 uint32_t edx = 0, uint32_t ecx = 0) {
    testing_support::LispCallSetup setup = setupFor(0, eax, edx, ecx);
    setup.target = routineAddress(routine);
    return setup;
  }

  // A call that must make one object (a symbol or locative for Tag::Symbol)
  // at the free position and return its word.
  lisp::lispval make(const testing_support::LispCallSetup& setup,
                     lisp::Tag tag = lisp::Tag::Other) {
    const uint32_t before = next();
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(lisp_recorder_log.count, 0u) << "error " << lisp_recorder_log.calls[0].eax / 4;
    EXPECT_EQ(result.eax, lisp::pointerWord(before + 8, tag));
    const gc::ObjectExtent extent = gc::extentOf(at(before + 8), at(before + 12));
    EXPECT_NE(extent.row, nullptr);
    EXPECT_EQ(next(), before + 8 + extent.bytes);
    EXPECT_EQ(at(before + 4) & 0xffff, global(lisp::nil_block::global::kAllocationStamp));
    return result.eax;
  }

  // Steps through the other objects of every old area by their extents
  // (old objects have no prefix); each walk must end on the area's frontier.
  testing::AssertionResult oldSpaceWalksCleanly() {
    for (const gc::GsOldArea* area = GsOldAreas; area; area = area->next) {
      uint32_t object = area->firstObject;
      while (object < area->frontier) {
        const gc::ObjectExtent extent = gc::extentOf(at(object), at(object + 4));
        if (!extent.row || extent.bytes == 0)
          return testing::AssertionFailure() << "no object at 0x" << std::hex << object;
        object += extent.bytes;
      }
      if (object != area->frontier)
        return testing::AssertionFailure()
               << "a walk passes the frontier at 0x" << std::hex << area->frontier;
    }
    return testing::AssertionSuccess();
  }

  // The first bytes of the objects the collector's own walk visits in new
  // space, in order.
  static std::vector<uint32_t> collectorWalkOfNewSpace() {
    visited().clear();
    gsgc_scan_others(GsNewOther1, gc::globalWord(gc::global::kNewOtherTop), 1, [](uint32_t object) {
      visited().push_back(object);
      return 0u;
    });
    return visited();
  }
  static std::vector<uint32_t>& visited() {
    static std::vector<uint32_t> objects;
    return objects;
  }

  // A call that must signal the runtime error `code` once and make nothing;
  // returns the error's datum, or 0 for the one-argument error.
  uint32_t refused(const testing_support::LispCallSetup& setup, uint32_t code) {
    testing_support::resetRecorder(kErrorValue);
    const uint32_t before = next();
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(next(), before);
    EXPECT_EQ(result.eax, kErrorValue);
    EXPECT_EQ(lisp_recorder_log.count, 1u);
    if (lisp_recorder_log.count != 1) return 0;
    const testing_support::RecordedCall& error = lisp_recorder_log.calls[0];
    EXPECT_EQ(error.eax, lisp::makeFixnum(static_cast<int32_t>(code)));
    testing_support::resetRecorder(kErrorValue);
    return error.ecx == 2 ? error.edx : 0;
  }
};

}  // namespace gc_test
