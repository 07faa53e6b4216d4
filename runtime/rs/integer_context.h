// What the integer and bignum routines share while one entry runs: the frame
// record in the entry's Lisp frame, allocation and error calls into the
// runtime's assembly, and the bignum object view.
//
// Rule for every routine here: a bignum word that must outlive an allocation
// is held in a Root (a word of the frame record, which the collector updates
// when a scavenge moves the object); BignumRef pointers are taken afresh after
// every allocation and never kept across one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/rs/bignum_digits.h"
#include "runtime/rs/integer_frame_layout.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace lisp::integers {

using bignum_digits::Digit;

inline constexpr uint8_t kNegativeSign = 0x80;

// ---- the frame record ----

struct IntegerFrame {
  lispval arguments[3];
  lispval countWord;  // fixnum
  lispval values[2];
  lispval roots[IF_ROOT_WORDS];
};
static_assert(offsetof(IntegerFrame, arguments) == IF_ARGUMENTS);
static_assert(offsetof(IntegerFrame, countWord) == IF_COUNT);
static_assert(offsetof(IntegerFrame, values) == IF_VALUES);
static_assert(offsetof(IntegerFrame, roots) == IF_ROOTS);
static_assert(sizeof(IntegerFrame) == IF_BYTES);

// ---- bignum objects ----

// A view of one bignum: valid until the next allocation.
class BignumRef {
 public:
  explicit BignumRef(lispval word) : object_(objectOf<BignumObject>(word)) {}
  uint32_t count() const { return bignumDigitCount(object_->header); }
  uint8_t sign() const { return static_cast<uint8_t>(object_->header >> 8); }
  bool negative() const { return sign() != 0; }
  // The digits as one array of count() entries (the struct declares two).
  Digit* digits() const {
    return reinterpret_cast<Digit*>(reinterpret_cast<uint8_t*>(object_) +
                                    offsetof(BignumObject, digits));
  }
  Digit digit(uint32_t i) const { return digits()[i]; }
  uint32_t headerAddress() const {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object_));
  }
  void setCount(uint32_t count) { object_->header = bignumHeader(count, sign()); }
  void setSign(uint8_t sign) { object_->header = bignumHeader(count(), sign); }
  // The 32-bit magnitude of digits 0 and 1 (digit 1 only when present).
  uint32_t lowWord() const;

 private:
  BignumObject* object_;
};

// The routine's result: one or two values.
struct Values {
  lispval first;
  lispval second;
  int count;
};
inline Values oneValue(lispval v) {
  return {v, 0, 1};
}
inline Values twoValues(lispval first, lispval second) {
  return {first, second, 2};
}

// Thrown inside the C++ side when a runtime error's function returned and
// the routine gives up with its value (an allocation that signalled error 35,
// a divisor that signalled error 22). Caught where the entry's work starts.
struct Abandoned {
  lispval value;
};

class IntegerContext;

// A word of the frame record that the collector keeps up to date. Roots are
// taken and released in stack order.
class Root {
 public:
  Root(IntegerContext& context, lispval value);
  ~Root();
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  lispval get() const { return *word_; }
  void set(lispval value) { *word_ = value; }
  BignumRef bignum() const { return BignumRef(*word_); }

 private:
  IntegerContext& context_;
  lispval* word_;
};

class IntegerContext {
 public:
  IntegerContext(IntegerFrame& frame, lispval nil, lispval thread)
      : frame_(frame), nil_(nil), thread_(thread) {}

  lispval nil() const { return nil_; }
  lispval t() const;
  lispval argument(int i) const { return frame_.arguments[i]; }
  int argumentCount() const { return fixnumValue(frame_.countWord); }
  uint32_t& global(int32_t offset) const;

  // A new bignum of `count` digits, sign 0, digits not cleared. A count over
  // 65535 signals error 35 and abandons the routine with the error's value.
  lispval allocateBignum(uint32_t count);
  // The same, all digits zero.
  lispval allocateZeroBignum(uint32_t count);
  // Boxing through the runtime's own routines.
  lispval boxSigned(int32_t value);
  lispval boxUnsigned(uint32_t value);

  // Runtime errors: the value the error function returned.
  lispval signalError(int32_t code);
  lispval signalErrorWithDatum(int32_t code, lispval datum);

  // A free word of the frame record's roots (for Root), and its release.
  lispval* takeRootWord();
  void releaseRootWord(lispval* word);

 private:
  uint32_t callRoutine(void (*routine)(), uint32_t eax, uint32_t edx, uint32_t count);

  IntegerFrame& frame_;
  lispval nil_;
  lispval thread_;
  int rootsUsed_ = 0;
};

// ---- temporary bignums for fixnum operands ----

// Selector t takes the slot at nil-0xd1, nil the one at nil-0xd5.
enum class TemporarySlot { First, Second };

lispval fixnum_in_big(IntegerContext& context, lispval fixnum, TemporarySlot slot);
lispval replace_temp_bignum(IntegerContext& context, lispval temporary, TemporarySlot slot,
                            lispval flag);

// The bignum form of an operand for the length of one scope: the operand
// itself when it is a bignum, else a temporary given back on leaving.
class BignumOperand {
 public:
  BignumOperand(IntegerContext& context, lispval operand, TemporarySlot slot);
  ~BignumOperand();
  BignumOperand(const BignumOperand&) = delete;
  BignumOperand& operator=(const BignumOperand&) = delete;
  lispval get() const { return word_.get(); }
  BignumRef bignum() const { return word_.bignum(); }
  // Gives the temporary back now (the destructor then does nothing).
  void giveBack();

 private:
  IntegerContext& context_;
  TemporarySlot slot_;
  Root word_;
  lispval flag_;
};

}  // namespace lisp::integers
