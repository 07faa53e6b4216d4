// A fresh heap whose object maker calls the runtime's constructors through
// the Lisp calling conventions, as the loaders' native code does through
// its hook: strings of types 117 and 101, code vectors of types 108 and 99.
#pragma once

#include <vector>

#include "runtime/load/lisp_object_maker.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace loader_test {

class LoaderObjectHeap : public gc_test::LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    current() = this;
    made_.clear();
  }
  void TearDown() override {
    current() = nullptr;
    LispConstructorHeap::TearDown();
  }

  // The hook handed to the code under test.
  static lisp::lispval makeObject(uint32_t type, uint32_t count, uint32_t extra) {
    return current()->makeThroughConstructors(type, count, extra);
  }
  static constexpr lisp::fasl::ObjectMaker kMaker = makeObject;

  // Each object the hook made, in order.
  std::vector<lisp::lispval> made_;

  // The 16-bit characters of a string of type 117 or 101.
  static std::u16string charactersOf(lisp::lispval string) {
    const uint32_t head = header(string);
    const uint8_t type = head & 0xff;
    const uint32_t count = type == 117 ? gc_test::at(string - 0xe) >> 2 : head >> 8;
    const uint32_t data = string - 0x12 + (type == 117 ? 8 : 4);
    std::u16string text;
    for (uint32_t i = 0; i < count; ++i) text.push_back(gc_test::at<char16_t>(data + 2 * i));
    return text;
  }

 private:
  static LoaderObjectHeap*& current() {
    static LoaderObjectHeap* heap = nullptr;
    return heap;
  }

  lisp::lispval makeThroughConstructors(uint32_t type, uint32_t count, uint32_t extra) {
    const lisp::lispval n = lisp::makeFixnum(static_cast<int32_t>(count));
    testing_support::LispCallSetup setup;
    switch (type) {
      case lisp::type_code::SimpleString:
        setup = setupForRoutine(new_simple_string, n, 0, 1);
        break;
      case lisp::type_code::CodeVector:
        setup = setupForRoutine(new_code_vector, n, 0, 1);
        break;
      case 99:  // the pure kind: the constructor's second argument
        setup =
            setupForRoutine(new_code_vector, n, lisp::makeFixnum(static_cast<int32_t>(extra)), 2);
        break;
      default:  // make_svector (length, nil, type, no fill, not static)
        setup = setupFor(kMakeSvector, n, nil(), 5);
        setup.stack[2] = lisp::makeFixnum(static_cast<int32_t>(type));
        setup.stack[3] = nil();
        setup.stack[4] = nil();
        break;
    }
    const lisp::lispval object = make(setup);
    made_.push_back(object);
    return object;
  }

  static constexpr int32_t kMakeSvector = 0xcb;
};

}  // namespace loader_test
