// Allocation, runtime errors, roots and operand temporaries of the integer
// routines.

#include "runtime/rs/integer_context.h"

#include <cstdlib>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/native_heap.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/runtime_routines.h"

extern "C" {
// integer_entries.S: calls a runtime routine from the C++ side, inside a
// native-entry frame, with edi = nil, ebx = thread, eax, edx, ecx = count.
uint32_t integer_call_runtime(uint32_t nil, uint32_t thread, void (*routine)(), uint32_t eax,
                              uint32_t edx, uint32_t count);
}

namespace lisp::integers {

namespace {

namespace nb = nil_block;

constexpr int32_t kErrorBignumTooLong = 35;
constexpr uint32_t kTemporaryBlockBytes = 16;
constexpr uint32_t kTemporaryPointerOffset = 0x12;  // block + 0x12: the tagged word
// Flag word at nil-0xd9: how the temporary in use was obtained.
constexpr int32_t kTemporaryFlag = -0xd9;
constexpr uint32_t kTakenFromSlot = 0;
constexpr uint32_t kTakenFromNativeHeap = 4;

int32_t slotOffset(TemporarySlot slot) {
  return slot == TemporarySlot::First ? nb::global::kScratchBignum1 : nb::global::kScratchBignum2;
}

}  // namespace

uint32_t BignumRef::lowWord() const {
  const uint32_t n = count();
  uint32_t value = n > 0 ? digit(0) : 0;
  if (n > 1) value |= uint32_t{digit(1)} << 16;
  return value;
}

Root::Root(IntegerContext& context, lispval value)
    : context_(context), word_(context.takeRootWord()) {
  *word_ = value;
}
Root::~Root() {
  context_.releaseRootWord(word_);
}

lispval IntegerContext::t() const {
  return nb::tFor(nil_);
}

uint32_t& IntegerContext::global(int32_t offset) const {
  return nb::word(nil_, offset);
}

lispval* IntegerContext::takeRootWord() {
  // The routines nest a fixed, small number of roots deep; running out is a
  // fault of this file, not of the data.
  if (rootsUsed_ >= IF_ROOT_WORDS) std::abort();
  return &frame_.roots[rootsUsed_++];
}

void IntegerContext::releaseRootWord(lispval* word) {
  *word = nil_;
  --rootsUsed_;
}

uint32_t IntegerContext::callRoutine(void (*routine)(), uint32_t eax, uint32_t edx,
                                     uint32_t count) {
  return integer_call_runtime(nil_, thread_, routine, eax, edx, count);
}

lispval IntegerContext::allocateBignum(uint32_t count) {
  const lispval result = callRoutine(newbignum, count, 0, 1);
  if (count > kMaxBignumDigits) throw Abandoned{result};
  return result;
}

lispval IntegerContext::allocateZeroBignum(uint32_t count) {
  const lispval result = allocateBignum(count);
  BignumRef big(result);
  for (uint32_t i = 0; i < count; ++i) big.digits()[i] = 0;
  return result;
}

lispval IntegerContext::boxSigned(int32_t value) {
  return callRoutine(fixnum_or_bignum, static_cast<uint32_t>(value), 0, 1);
}

lispval IntegerContext::boxUnsigned(uint32_t value) {
  return callRoutine(unsigned_fixnum_or_bignum, value, 0, 1);
}

lispval IntegerContext::signalError(int32_t code) {
  return callRoutine(rs_error, makeFixnum(code), 0, 1);
}

lispval IntegerContext::signalErrorWithDatum(int32_t code, lispval datum) {
  return callRoutine(rs_error_with_datum, makeFixnum(code), datum, 2);
}

// ---- temporaries ----

lispval fixnum_in_big(IntegerContext& context, lispval fixnum, TemporarySlot slot) {
  uint32_t& slotWord = context.global(slotOffset(slot));
  lispval temporary;
  if (slotWord != context.nil()) {
    temporary = slotWord;
    slotWord = context.nil();
    context.global(kTemporaryFlag) = kTakenFromSlot;
  } else {
    auto* block = static_cast<uint8_t*>(vxmmalloc(kTemporaryBlockBytes, 0, 0));
    // The collector's error ends the process: there is no block to write into.
    if (!block) gserror(gc_messages::kCouldntGetBytes, kTemporaryBlockBytes, 1);
    block[0] = type_code::Bignum;
    temporary = static_cast<lispval>(reinterpret_cast<uintptr_t>(block)) + kTemporaryPointerOffset;
    context.global(kTemporaryFlag) = kTakenFromNativeHeap;
  }
  const int32_t value = fixnumValue(fixnum);
  const uint32_t magnitude =
      value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  auto* object = objectOf<BignumObject>(temporary);
  object->digits[0] = static_cast<Digit>(magnitude);
  object->digits[1] = static_cast<Digit>(magnitude >> 16);
  object->header = bignumHeader(object->digits[1] != 0 ? 2 : 1, value < 0 ? kNegativeSign : 0);
  return temporary;
}

lispval replace_temp_bignum(IntegerContext& context, lispval temporary, TemporarySlot slot,
                            lispval flag) {
  if (flag == context.nil()) return context.t();
  if (flag == kTakenFromSlot)
    context.global(slotOffset(slot)) = temporary;
  else
    vxmfree(reinterpret_cast<void*>(static_cast<uintptr_t>(temporary - kTemporaryPointerOffset)),
            0);
  return context.nil();
}

BignumOperand::BignumOperand(IntegerContext& context, lispval operand, TemporarySlot slot)
    : context_(context), slot_(slot), word_(context, operand), flag_(context.nil()) {
  if (isFixnum(operand)) {
    word_.set(fixnum_in_big(context, operand, slot));
    flag_ = context.global(kTemporaryFlag);
  }
}

BignumOperand::~BignumOperand() {
  giveBack();
}

void BignumOperand::giveBack() {
  if (flag_ == context_.nil()) return;
  replace_temp_bignum(context_, word_.get(), slot_, flag_);
  flag_ = context_.nil();
}

}  // namespace lisp::integers
