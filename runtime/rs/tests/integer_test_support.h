// Integers of any length for the integer routine tests: sign and 16-bit
// digits, read from and written as the "0x1f" / "-0x1f" texts of the
// generated vectors, and built into or read from Lisp words on the heap.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/integer_frame_layout.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_routine_heap.h"
#include "testing/startup_t.h"

namespace integer_test {

struct Number {
  bool negative = false;
  std::vector<uint16_t> digits;  // magnitude, least significant first, no leading zeros
};

Number parseNumber(const std::string& text);
std::string formatNumber(const Number& number);
// The value as a signed 64-bit integer (it must fit).
int64_t numberValue(const Number& number);
Number numberOf(int64_t value);

class IntegerHeap : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    startupT_ = std::make_unique<testing_support::StartupT>(nil());
  }
  void TearDown() override {
    startupT_.reset();
    LispRoutineHeap::TearDown();
  }
  lisp::lispval t() const { return startupT_->word(); }

  // A bignum of exactly `count` digits (at least the magnitude's) holding n.
  lisp::lispval makeBignum(const Number& n, uint32_t count);
  lisp::lispval makeBignum(const Number& n) {
    return makeBignum(n, n.digits.empty() ? 1 : static_cast<uint32_t>(n.digits.size()));
  }
  // n in normal form: a fixnum when it fits, else a bignum.
  lisp::lispval makeInteger(const Number& n);
  lisp::lispval makeInteger(int64_t value) { return makeInteger(numberOf(value)); }

  // The integer a word holds (fixnum or bignum, normalised or not).
  Number readInteger(lisp::lispval word);
  // Empty when the word is an integer in normal form, else what is wrong.
  std::string normalFormFault(lisp::lispval word);

  uint32_t bignumHeader(lisp::lispval word) { return gc_test::at(word - 0x12); }
  uint16_t digit(lisp::lispval word, uint32_t i) {
    return gc_test::at<uint16_t>(word - 0xe + 2 * i);
  }

  // The call of a routine through its entry slot, arguments in eax, edx and
  // (for three) the stacked argument.
  testing_support::LispCallSetup slotCall(int32_t slot, const std::vector<uint32_t>& arguments);
  // The same for a routine without a slot, by its operation number.
  testing_support::LispCallSetup operationCall(uint32_t operation,
                                               const std::vector<uint32_t>& arguments);

  // Lets the rows of one test reuse new space: remembered and restored.
  struct NewSpaceMark {
    uint32_t next, left;
  };
  NewSpaceMark markNewSpace();
  void rewindNewSpace(const NewSpaceMark& mark);

 private:
  std::unique_ptr<testing_support::StartupT> startupT_;
};

}  // namespace integer_test
