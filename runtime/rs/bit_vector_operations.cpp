// The native halves of rs_bitop and rs_bit_equal (see the header for the
// two layouts). Every word touched lies inside the vector it belongs to:
// a vector of n bits in either layout has at least ceil(n/32) data words
// before its object's 8-byte end.
#include "runtime/rs/bit_vector_operations.h"

#include <array>
#include <optional>

#include "runtime/rs/object_layout.h"

namespace {

namespace tc = lisp::type_code;
using lisp::lispval;

struct BitVector {
  uint32_t bits;
  uint32_t* words;
};

constexpr uint8_t kFixnumLengthTypeBits = 0x70;
constexpr int32_t kLengthWordOffset = -0xe;
constexpr int32_t kFixnumLengthDataOffset = -0xa;
constexpr int32_t kHeaderLengthDataOffset = -0xe;

bool hasFixnumLength(uint8_t code) {
  return (code & kFixnumLengthTypeBits) == kFixnumLengthTypeBits;
}

uint32_t* wordsFrom(lispval v, int32_t offset) {
  return &lisp::wordAt(v, offset);
}

// The bits of a vector in either layout; nothing for anything else, or for
// a fixnum length word that is not a non-negative fixnum.
std::optional<BitVector> bitVectorOf(lispval v) {
  if (!lisp::isOther(v)) return std::nullopt;
  const uint32_t header = lisp::wordAt(v, lisp::kHeaderOffset);
  const uint8_t code = lisp::typeCodeOf(header);
  if (code < tc::FirstVector || code > tc::LastVector) return std::nullopt;
  if (!hasFixnumLength(code))
    return BitVector{lisp::headerLength(header), wordsFrom(v, kHeaderLengthDataOffset)};
  const lispval length = lisp::wordAt(v, kLengthWordOffset);
  if (!lisp::isFixnum(length) || lisp::fixnumValue(length) < 0) return std::nullopt;
  return BitVector{static_cast<uint32_t>(lisp::fixnumValue(length)),
                   wordsFrom(v, kFixnumLengthDataOffset)};
}

constexpr uint32_t wordsOf(uint32_t bits) {
  return bits / 32 + (bits % 32 != 0);
}

using WordOperation = uint32_t (*)(uint32_t a, uint32_t b);

// The word operations by operation number, from 4; 5 stores nothing.
constexpr uint32_t kFirstOperation = 4;
constexpr std::array<WordOperation, 12> kWordOperations = {
    [](uint32_t a, uint32_t) { return ~a; },          // 4
    nullptr,                                          // 5
    [](uint32_t a, uint32_t b) { return a & b; },     // 6
    [](uint32_t a, uint32_t b) { return a | b; },     // 7
    [](uint32_t a, uint32_t b) { return a ^ b; },     // 8
    [](uint32_t a, uint32_t b) { return ~(a ^ b); },  // 9
    [](uint32_t a, uint32_t b) { return ~(a & b); },  // 10
    [](uint32_t a, uint32_t b) { return ~(a | b); },  // 11
    [](uint32_t a, uint32_t b) { return ~a & b; },    // 12
    [](uint32_t a, uint32_t b) { return a & ~b; },    // 13
    [](uint32_t a, uint32_t b) { return ~a | b; },    // 14
    [](uint32_t a, uint32_t b) { return a | ~b; },    // 15
};

WordOperation operationOf(lispval operation) {
  if (!lisp::isFixnum(operation)) return nullptr;
  const int32_t number = lisp::fixnumValue(operation);
  if (number < static_cast<int32_t>(kFirstOperation) ||
      number >= static_cast<int32_t>(kFirstOperation + kWordOperations.size()))
    return nullptr;
  return kWordOperations[static_cast<uint32_t>(number) - kFirstOperation];
}

uint64_t planned(uint32_t answer, uint32_t high = 0) {
  return (static_cast<uint64_t>(high) << 32) | answer;
}

}  // namespace

extern "C" {

uint64_t bitop_plan(const BitopArguments* arguments, lispval nil) {
  namespace bo = lisp::bitop;
  const std::optional<BitVector> a = bitVectorOf(arguments->a);
  if (!a) return planned(bo::kBitopRefused);
  if (arguments->b != nil) {
    const std::optional<BitVector> b = bitVectorOf(arguments->b);
    if (!b || b->bits != a->bits) return planned(bo::kBitopRefused);
  }
  if (arguments->result != nil) {
    // A result shorter than a would take words past its own end.
    const std::optional<BitVector> result = bitVectorOf(arguments->result);
    if (!result || result->bits < a->bits) return planned(bo::kBitopRefused);
    return planned(bo::kBitopResultGiven);
  }
  const uint8_t code = lisp::typeCodeOf(lisp::wordAt(arguments->a, lisp::kHeaderOffset));
  const uint8_t made =
      hasFixnumLength(code) ? bo::kFixnumLengthBitVector : bo::kHeaderLengthBitVector;
  return planned(made, lisp::makeFixnum(static_cast<int32_t>(a->bits)));
}

lispval bitop_apply(const BitopArguments* arguments, lispval result, lispval nil) {
  const WordOperation operation = operationOf(arguments->operation);
  const std::optional<BitVector> a = bitVectorOf(arguments->a);
  const std::optional<BitVector> out = bitVectorOf(result);
  if (!operation || !a || !out) return result;
  const std::optional<BitVector> b = arguments->b == nil ? std::nullopt : bitVectorOf(arguments->b);
  const uint32_t words = wordsOf(a->bits);
  for (uint32_t i = 0; i < words; ++i) out->words[i] = operation(a->words[i], b ? b->words[i] : 0);
  return result;
}

uint32_t bit_vectors_equal(lispval a, lispval b) {
  const std::optional<BitVector> x = bitVectorOf(a);
  const std::optional<BitVector> y = bitVectorOf(b);
  if (!x || !y || x->bits != y->bits) return 0;
  uint32_t left = x->bits;
  uint32_t word = 0;
  for (; left >= 32; left -= 32, ++word)
    if (x->words[word] != y->words[word]) return 0;
  const auto* xBytes = reinterpret_cast<const uint8_t*>(x->words + word);
  const auto* yBytes = reinterpret_cast<const uint8_t*>(y->words + word);
  uint32_t byte = 0;
  for (; left >= 8; left -= 8, ++byte)
    if (xBytes[byte] != yBytes[byte]) return 0;
  if (left == 0) return 1;
  const uint8_t mask = static_cast<uint8_t>((1u << left) - 1);
  return (xBytes[byte] & mask) == (yBytes[byte] & mask);
}
}
