// The flags an unordered floating-point compare is given in place of the
// unordered answer: the two values are ordered by sign and significand, so
// that code which compared a NaN still takes one branch or the other.

#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kCarry = 0x1, kParity = 0x4, kZero = 0x40;
constexpr uint16_t kCompareMask = 0xf007, kCompareStToSt = 0xd000;
constexpr uint8_t kPoppingModrm = 0xd8;
constexpr size_t kFxsaveRegisters = 32, kFxsaveRegisterBytes = 16;

struct Extended {
  bool negative;
  uint64_t significand;
};

Extended registerOf(const uint8_t* image, unsigned index) {
  const uint8_t* bytes = image + kFxsaveRegisters + kFxsaveRegisterBytes * index;
  Extended value{};
  std::memcpy(&value.significand, bytes, 8);
  value.negative = (bytes[9] & 0x80) != 0;
  return value;
}

// -1, 0 or 1 as a is below, equal to or above b.
int order(const Extended& a, const Extended& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  if (a.significand == b.significand) return 0;
  const int bySignificand = a.significand < b.significand ? -1 : 1;
  return a.negative ? -bySignificand : bySignificand;
}

}  // namespace

extern "C" {

// image: an fxsave image; compare: the address of the x87 compare (opcode
// byte, then ModRM); flags: the saved eflags. Returns the new eflags.
uint32_t unordered_flags(const uint8_t* image, uint32_t compare, uint32_t flags) {
  uint16_t instruction;
  std::memcpy(&instruction, reinterpret_cast<const void*>(static_cast<uintptr_t>(compare)), 2);
  if ((instruction & kCompareMask) != kCompareStToSt) return flags;
  const uint8_t modrm = static_cast<uint8_t>(instruction >> 8);
  unsigned index = modrm & 7;
  if (modrm >= kPoppingModrm && index > 0) index -= 1;
  const int relation = order(registerOf(image, 0), registerOf(image, index));
  flags = (flags & ~(kCarry | kParity)) | kZero;
  if (relation < 0) flags ^= kZero | kCarry;
  if (relation > 0) flags ^= kZero;
  return flags;
}

}  // extern "C"
