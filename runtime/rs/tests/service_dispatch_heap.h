// Calls of a service dispatcher (filesys, lisp_syscall) through its entry
// slot the way compiled code makes them: the code and up to eight arguments,
// with objects for the arguments laid out in the test arena, and readers for
// the answer forms.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"
#include "testing/startup_t.h"

namespace gc_test {

class ServiceDispatchHeap : public LispConstructorHeap {
 protected:
  explicit ServiceDispatchHeap(int32_t slot) : slot_(slot) {}
  void SetUp() override {
    LispConstructorHeap::SetUp();
    startupT_ = std::make_unique<testing_support::StartupT>(nil());
  }
  void TearDown() override {
    startupT_.reset();
    LispConstructorHeap::TearDown();
  }

  // ---- objects in the test arena ----
  lisp::lispval arenaObject(std::initializer_list<uint32_t> words) {
    auto* storage =
        static_cast<uint32_t*>(objects_->allocate(static_cast<uint32_t>(4 * words.size() + 8)));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lisp::lispval bignum(uint32_t magnitude, uint8_t sign = 0, uint32_t digits = 2) {
    return arenaObject({lisp::bignumHeader(digits, sign), magnitude});
  }
  // The low digit pair of a boxed answer, which must be a bignum.
  static uint32_t bignumMagnitude(lisp::lispval object) {
    if (!lisp::isOther(object)) {
      ADD_FAILURE() << "not a bignum: 0x" << std::hex << object;
      return 0;
    }
    EXPECT_EQ(at(object - 0x12) & 0xff, lisp::type_code::Bignum);
    return at(object - 0xe);
  }

  // ---- the call ----
  // The code in eax and stack word 0, the first argument in edx, all of them
  // on the stack; ecx counts the code too.
  testing_support::LispCallSetup serviceSetup(int32_t code,
                                              std::initializer_list<lisp::lispval> arguments) {
    std::vector<lisp::lispval> words(arguments);
    testing_support::LispCallSetup setup =
        setupFor(slot_, lisp::makeFixnum(code), words.empty() ? nil() : words[0],
                 static_cast<uint32_t>(words.size() + 1));
    setup.stack[0] = lisp::makeFixnum(code);
    for (size_t i = 0; i < words.size(); ++i) setup.stack[i + 1] = words[i];
    return setup;
  }
  testing_support::LispCallResult run(int32_t code,
                                      std::initializer_list<lisp::lispval> arguments) {
    const testing_support::LispCallResult result = call(serviceSetup(code, arguments));
    EXPECT_EQ(result.esi, kCallerFunction);
    return result;
  }

  // ---- the answer ----
  // One value (carry clear): the value.
  lisp::lispval oneValue(const testing_support::LispCallResult& result) {
    EXPECT_EQ(result.carry, 0u);
    return result.eax;
  }
  // Two values nil and x (carry set, count 2): x.
  lisp::lispval secondOfNilAnd(const testing_support::LispCallResult& result) {
    EXPECT_EQ(result.carry, 1u);
    EXPECT_EQ(result.ecx, 2u);
    EXPECT_EQ(result.eax, nil());
    return result.edx;
  }
  lisp::lispval t() const { return startupT_->word(); }

 private:
  int32_t slot_;
  std::unique_ptr<testing_support::StartupT> startupT_;
};

}  // namespace gc_test
