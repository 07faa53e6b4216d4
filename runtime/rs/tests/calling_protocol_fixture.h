// A heap for calling the calling-protocol routines through their entry
// slots: lists, symbols and functions built in the test arena, the stand-in
// recorder as every Lisp function and error function, and the few global
// symbols the routines call through.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <vector>

#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"
#include "testing/startup_t.h"

namespace calling_protocol_test {

using lisp::lispval;
using lisp::makeFixnum;
using testing_support::frameIndex;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
using testing_support::RecordedCall;

inline uint32_t addressOf(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
inline uint32_t addressOf(void (*f)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f));
}

// An error or handler call the recorder saw: the code (or first argument)
// and the datum (second argument), as a pair that prints readably.
struct Signalled {
  uint32_t first;
  uint32_t second;
  bool operator==(const Signalled&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Signalled& s) {
  return out << "(0x" << std::hex << s.first << ", 0x" << s.second << std::dec << ")";
}

class CallingProtocolHeap : public gc_test::LispConstructorHeap {
 protected:
  static constexpr int32_t kConditionSymbol = -0xe5;

  void SetUp() override {
    LispConstructorHeap::SetUp();
    recorderFunction_ = objects_->makeFunction(testing_support::recorderAddress());
    recorderSymbol_ = objects_->makeSymbol(recorderFunction_);
    global(kConditionSymbol) = recorderSymbol_;
    startupT_ = std::make_unique<testing_support::StartupT>(nil());
  }
  void TearDown() override {
    startupT_.reset();
    LispConstructorHeap::TearDown();
  }

  lispval t() const { return startupT_->word(); }

  lispval cons(lispval car, lispval cdr) {
    auto* cell = static_cast<lisp::ConsCell*>(objects_->allocate(8));
    cell->car = car;
    cell->cdr = cdr;
    return lisp::wordOf(cell, lisp::Tag::Cons);
  }
  // The list of the words, ending in `tail`.
  lispval list(const std::vector<lispval>& items, lispval tail = 0) {
    lispval result = tail ? tail : nil();
    for (auto it = items.rbegin(); it != items.rend(); ++it) result = cons(*it, result);
    return result;
  }
  // Raw words laid out as an object in the test arena (tag 2); room for
  // `words` words at least.
  lispval arenaObject(std::initializer_list<uint32_t> init, uint32_t words = 16) {
    auto* storage =
        static_cast<uint32_t*>(objects_->allocate(4 * std::max<uint32_t>(words, init.size())));
    uint32_t i = 0;
    for (uint32_t word : init) storage[i++] = word;
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  // Fixnum-aligned words in the arena.
  uint32_t* arenaWords(uint32_t count) {
    return static_cast<uint32_t*>(objects_->allocate(4 * count));
  }
  lispval symbol(lispval function = 0) { return objects_->makeSymbol(function ? function : nil()); }

  // The calls the recorder saw, as (argument 1, argument 2) pairs; 0 for
  // argument 2 of a one-argument call. Every Lisp function (error
  // functions included) must have been entered with the thread in ebx.
  std::vector<Signalled> recorded() {
    std::vector<Signalled> calls;
    for (uint32_t i = 0; i < lisp_recorder_log.count; ++i) {
      const RecordedCall& call = lisp_recorder_log.calls[i];
      EXPECT_EQ(call.ebx, thread_) << "call " << i << " without the thread";
      calls.push_back({call.eax, call.ecx >= 2 ? call.edx : 0});
    }
    return calls;
  }
  static Signalled error(uint32_t code, uint32_t datum) { return {makeFixnum(code), datum}; }

  lispval recorderFunction_ = 0;
  lispval recorderSymbol_ = 0;

 private:
  std::unique_ptr<testing_support::StartupT> startupT_;
};

}  // namespace calling_protocol_test
