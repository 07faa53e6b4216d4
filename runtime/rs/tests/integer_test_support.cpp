#include "runtime/rs/tests/integer_test_support.h"

#include <cstdio>

#include "runtime/rs/integer_entries.h"

namespace integer_test {

using lisp::lispval;
namespace nbg = lisp::nil_block::global;

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void trim(Number& n) {
  while (!n.digits.empty() && n.digits.back() == 0) n.digits.pop_back();
  if (n.digits.empty()) n.negative = false;
}

uint32_t routineWord(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

}  // namespace

Number parseNumber(const std::string& text) {
  Number n;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    n.negative = true;
    ++i;
  }
  if (text.compare(i, 2, "0x") != 0) ADD_FAILURE() << "not a hex number: " << text;
  i += 2;
  uint32_t shift = 0, digitValue = 0;
  for (size_t j = text.size(); j-- > i;) {
    const int v = hexValue(text[j]);
    if (v < 0) {
      ADD_FAILURE() << "not a hex number: " << text;
      break;
    }
    digitValue |= static_cast<uint32_t>(v) << shift;
    shift += 4;
    if (shift == 16) {
      n.digits.push_back(static_cast<uint16_t>(digitValue));
      shift = digitValue = 0;
    }
  }
  if (shift > 0) n.digits.push_back(static_cast<uint16_t>(digitValue));
  trim(n);
  return n;
}

std::string formatNumber(const Number& number) {
  std::string text = number.negative ? "-0x" : "0x";
  if (number.digits.empty()) return text + "0";
  char part[8];
  std::snprintf(part, sizeof part, "%x", number.digits.back());
  text += part;
  for (size_t i = number.digits.size() - 1; i-- > 0;) {
    std::snprintf(part, sizeof part, "%04x", number.digits[i]);
    text += part;
  }
  return text;
}

int64_t numberValue(const Number& number) {
  uint64_t magnitude = 0;
  for (size_t i = number.digits.size(); i-- > 0;) magnitude = (magnitude << 16) | number.digits[i];
  return number.negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

Number numberOf(int64_t value) {
  Number n;
  n.negative = value < 0;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  for (; magnitude != 0; magnitude >>= 16) n.digits.push_back(static_cast<uint16_t>(magnitude));
  return n;
}

lispval IntegerHeap::makeBignum(const Number& n, uint32_t count) {
  testing_support::LispCallSetup setup = setupFor(0, count);
  setup.target = routineWord(newbignum);
  const lispval word = call(setup).eax;
  gc_test::at(word - 0x12) = lisp::bignumHeader(count, n.negative ? 0x80 : 0);
  for (uint32_t i = 0; i < count; ++i)
    gc_test::at<uint16_t>(word - 0xe + 2 * i) = i < n.digits.size() ? n.digits[i] : 0;
  return word;
}

lispval IntegerHeap::makeInteger(const Number& n) {
  if (n.digits.size() <= 2) {
    const int64_t value = numberValue(n);
    if (lisp::fitsFixnum(value)) return lisp::makeFixnum(static_cast<int32_t>(value));
  }
  return makeBignum(n);
}

Number IntegerHeap::readInteger(lispval word) {
  if (lisp::isFixnum(word)) return numberOf(lisp::fixnumValue(word));
  Number n;
  const uint32_t header = bignumHeader(word);
  n.negative = ((header >> 8) & 0xff) != 0;
  for (uint32_t i = 0; i < lisp::bignumDigitCount(header); ++i) n.digits.push_back(digit(word, i));
  trim(n);
  return n;
}

std::string IntegerHeap::normalFormFault(lispval word) {
  if (lisp::isFixnum(word)) return "";
  if (!lisp::isOther(word)) return "neither a fixnum nor a bignum";
  const uint32_t header = bignumHeader(word);
  if ((header & 0xff) != lisp::type_code::Bignum) return "not a bignum";
  const uint32_t sign = (header >> 8) & 0xff;
  if (sign != 0 && sign != 0x80) return "sign byte neither 0 nor 0x80";
  const uint32_t count = lisp::bignumDigitCount(header);
  if (count == 0 || digit(word, count - 1) == 0) return "top digit zero";
  if (count <= 2) {
    const uint32_t magnitude = digit(word, 0) | (count == 2 ? uint32_t{digit(word, 1)} << 16 : 0);
    if (sign == 0 ? magnitude <= 0x1fffffff : magnitude <= 0x20000000)
      return "a fixnum as a bignum";
  }
  return "";
}

testing_support::LispCallSetup IntegerHeap::slotCall(int32_t slot,
                                                     const std::vector<uint32_t>& arguments) {
  testing_support::LispCallSetup setup =
      setupFor(slot, arguments.size() > 0 ? arguments[0] : 0,
               arguments.size() > 1 ? arguments[1] : 0, static_cast<uint32_t>(arguments.size()));
  for (size_t i = 2; i < arguments.size(); ++i) setup.stack[i] = arguments[i];
  return setup;
}

testing_support::LispCallSetup IntegerHeap::operationCall(uint32_t operation,
                                                          const std::vector<uint32_t>& arguments) {
  testing_support::LispCallSetup setup = slotCall(0, arguments);
  setup.target = routineWord(integer_operation);
  setup.esi = operation;
  return setup;
}

IntegerHeap::NewSpaceMark IntegerHeap::markNewSpace() {
  return {global(nbg::kNewSpaceNext), global(nbg::kNewSpaceFree)};
}

void IntegerHeap::rewindNewSpace(const NewSpaceMark& mark) {
  global(nbg::kNewSpaceNext) = mark.next;
  global(nbg::kNewSpaceFree) = mark.left;
  // The divisor scratch may have been made in the space given back.
  global(nbg::kDivisorScratch) = nil();
}

}  // namespace integer_test
