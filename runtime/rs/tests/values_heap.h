// A heap for the multiple-values and throw tests: values vectors made by
// new_mv_vector, the open and closed forms read back, and calls through the
// test catcher.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/multiple_values.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"
#include "runtime/rs/tests/catch_probe.h"
#include "runtime/rs/thread_record.h"

namespace calling_protocol_test {

namespace mv = lisp::multiple_values;
namespace tr = lisp::thread_record;

class ValuesHeap : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    threadWord(tr::kValuesVectors) = nil();
  }

  static uint32_t& element(lispval vector, uint32_t k) {
    return lisp::wordAt(vector, mv::elementOffset(k));
  }
  static uint32_t elementCount(lispval vector) {
    return lisp::wordAt(vector, lisp::kHeaderOffset) >> 8;
  }
  lispval& head() { return threadWord(tr::kValuesVectors); }

  // A values vector made by new_mv_vector, every element nil.
  lispval newValuesVector(uint32_t elements) {
    const LispCallResult made =
        call(setupForRoutine(new_mv_vector, makeFixnum(static_cast<int32_t>(elements)), 0, 1));
    EXPECT_EQ(elementCount(made.eax), elements);
    return made.eax;
  }
  // A closed vector of `elements` elements holding `held`.
  lispval closedVector(uint32_t elements, const std::vector<lispval>& held) {
    const lispval vector = newValuesVector(elements);
    element(vector, 0) = makeFixnum(static_cast<int32_t>(held.size()));
    for (size_t i = 0; i < held.size(); ++i) element(vector, static_cast<uint32_t>(i + 1)) = held[i];
    return vector;
  }
  static std::vector<lispval> fixnums(int from, int count) {
    std::vector<lispval> items;
    for (int i = 0; i < count; ++i) items.push_back(makeFixnum(from + i));
    return items;
  }
  // The values of an open form: eax, edx, then the head vector's 3..n.
  std::vector<lispval> openValues(const LispCallResult& result) {
    std::vector<lispval> items;
    for (uint32_t i = 0; i < result.ecx; ++i)
      items.push_back(i == 0 ? result.eax : i == 1 ? result.edx : element(head(), i + 1));
    return items;
  }
  // The values a closed vector holds.
  static std::vector<lispval> closedValues(lispval vector) {
    std::vector<lispval> items;
    const int32_t count = lisp::fixnumValue(element(vector, 0));
    for (int32_t i = 1; i <= count; ++i) items.push_back(element(vector, static_cast<uint32_t>(i)));
    return items;
  }
  // Sets the open form of `items`: registers, and values 3.. in the head.
  LispCallSetup openForm(int32_t slot, const std::vector<lispval>& items) {
    LispCallSetup setup = setupFor(slot, items.size() > 0 ? items[0] : nil(),
                                   items.size() > 1 ? items[1] : nil(),
                                   static_cast<uint32_t>(items.size()));
    if (items.size() > 2) {
      if (head() == nil() || elementCount(head()) <= items.size()) head() = newValuesVector(30);
      for (size_t i = 2; i < items.size(); ++i) element(head(), static_cast<uint32_t>(i + 1)) = items[i];
    }
    return setup;
  }
  // Calls entry slot `slot` with the arguments, stacked past the harness's
  // own area by the catcher (which links no frame).
  LispCallResult wideCall(int32_t slot, const std::vector<lispval>& arguments) {
    catch_setup = {};
    catch_log = {};
    catch_setup.target = global(slot);
    for (size_t i = 0; i < arguments.size(); ++i) catch_setup.area[i] = i < 2 ? nil() : arguments[i];
    LispCallSetup setup = setupFor(0, arguments.size() > 0 ? arguments[0] : nil(),
                                   arguments.size() > 1 ? arguments[1] : nil(),
                                   static_cast<uint32_t>(arguments.size()));
    setup.target = addressOf(catch_probe);
    const LispCallResult result = call(setup);
    EXPECT_EQ(catch_log.returned, 1u);
    return result;
  }
};

}  // namespace calling_protocol_test
