// Lisp objects laid out by hand in an 8-aligned arena outside the Lisp heap,
// for routines that only read them (no allocation, no collection): other
// objects with any header, conses and 16-bit strings.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace testing_support {

class HandMadeObjects {
 public:
  // An object with a header (8-aligned, so word 1 is too): its tagged word.
  lisp::lispval other(uint32_t header, std::initializer_list<uint32_t> words) {
    return other(header, std::vector<uint32_t>(words));
  }
  lisp::lispval other(uint32_t header, const std::vector<uint32_t>& words) {
    const uint32_t start = take(4 * (1 + static_cast<uint32_t>(words.size())));
    arena_[start] = header;
    uint32_t i = start + 1;
    for (uint32_t word : words) arena_[i++] = word;
    return lisp::pointerWord(addressOf(&arena_[start]), lisp::Tag::Other);
  }
  lisp::lispval cons(lisp::lispval car, lisp::lispval cdr) {
    const uint32_t start = take(8);
    arena_[start] = car;
    arena_[start + 1] = cdr;
    return lisp::pointerWord(addressOf(&arena_[start]), lisp::Tag::Cons);
  }
  // A type-117 string of the 16-bit units.
  lisp::lispval string(const std::u16string& text) {
    std::vector<uint32_t> words{lisp::makeFixnum(static_cast<int32_t>(text.size()))};
    for (size_t i = 0; i < text.size(); i += 2)
      words.push_back(text[i] | (i + 1 < text.size() ? uint32_t{text[i + 1]} << 16 : 0u));
    return other(lisp::type_code::SimpleString, words);
  }

 private:
  static uint32_t addressOf(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  }
  uint32_t take(uint32_t bytes) {
    const uint32_t start = used_;
    used_ += (bytes / 4 + 1) & ~1u;
    EXPECT_LE(used_, sizeof arena_ / 4);
    return start;
  }
  alignas(8) uint32_t arena_[1024] = {};
  uint32_t used_ = 0;
};

}  // namespace testing_support
