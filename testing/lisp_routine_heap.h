// A fresh Lisp heap for calling runtime routines the way compiled code does:
// through their entry slots, with a thread record in the thread register and
// stand-in error functions.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "runtime/gc/heap_layout.h"
#include "runtime/gc/object_extent.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_heap_fixture.h"
#include "testing/lisp_test_objects.h"

namespace gc_test {

class LispRoutineHeap : public LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    namespace tr = lisp::thread_record;
    thread_ = lisp::pointerWord(gc::addressOf(threadRecord_), lisp::Tag::Other);
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    threadWord(tr::kAnnotatingConsing) = nil();
    threadWord(tr::kLeafCallStack) = nil();
    objects_ = std::make_unique<testing_support::LispTestObjects>(nil());
    const lisp::lispval recorder =
        objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
    global(lisp::nil_block::global::kErrorSymbol) = recorder;
    global(lisp::nil_block::global::kErrorSymbolWithDatum) = recorder;
    testing_support::resetRecorder(nil());
  }
  void TearDown() override {
    EXPECT_EQ(threadWord(lisp::thread_record::kClinkHead), lisp::thread_record::kEmptyClinkChain);
    EXPECT_TRUE(newSpaceWalksCleanly());
    objects_.reset();
    LispHeap::TearDown();
  }

  uint32_t& threadWord(int32_t offset) { return lisp::wordAt(thread_, offset); }

  // A call of the routine in entry slot nil+slot.
  testing_support::LispCallSetup setupFor(int32_t slot, uint32_t eax = 0, uint32_t edx = 0,
                                          uint32_t ecx = 0) {
    testing_support::LispCallSetup setup;
    setup.target = global(slot);
    setup.edi = nil();
    setup.ebx = thread_;
    setup.esi = kEntryFunction;
    setup.eax = eax;
    setup.edx = edx;
    setup.ecx = ecx;
    setup.frame[testing_support::frameIndex(0x4)] = kCallerFunction;
    setup.frame[testing_support::frameIndex(0x1c)] = thread_;
    return setup;
  }
  // Calls it; every routine keeps edi and the stack balanced.
  testing_support::LispCallResult call(const testing_support::LispCallSetup& setup) {
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_TRUE(result.ediSurvived(setup));
    return result;
  }

  // Steps through the other-object new space by each object's extent, and
  // over fillers (a prefix whose stamp word marks it, its first word the
  // bytes it covers); the walk must land exactly on the next free byte.
  testing::AssertionResult newSpaceWalksCleanly() {
    const uint32_t end = global(gc::global::kNewOtherTop);
    uint32_t prefix = GsNewOther1;
    while (prefix < end) {
      if (at(prefix + 4) >= gc::stamp::kFillerFirst && at(prefix) >= 8 && at(prefix) % 8 == 0) {
        prefix += at(prefix);
        continue;
      }
      const uint32_t header = at(prefix + 8);
      const gc::ObjectExtent extent = gc::extentOf(header, at(prefix + 12));
      if (!extent.row || extent.bytes == 0) {
        char text[64];
        std::snprintf(text, sizeof text, "no object at 0x%x (header 0x%x)", prefix + 8, header);
        return testing::AssertionFailure() << text;
      }
      prefix += 8 + extent.bytes;
    }
    if (prefix != end) {
      char text[80];
      std::snprintf(text, sizeof text, "the walk ends at 0x%x, the next free byte is 0x%x", prefix,
                    end);
      return testing::AssertionFailure() << text;
    }
    return testing::AssertionSuccess();
  }

  // esi at the call, and the caller's frame slot ebp-4 that routines reload it from.
  static constexpr uint32_t kEntryFunction = 0x30000102;
  static constexpr uint32_t kCallerFunction = 0x30000202;
  alignas(8) uint32_t threadRecord_[lisp::thread_record::kRecordWords] = {};
  lisp::lispval thread_ = 0;
  std::unique_ptr<testing_support::LispTestObjects> objects_;
};

}  // namespace gc_test
