// The Lisp value word: one 32-bit word whose low three bits are its tag.
//
// Pointer words are the address of the object's first byte plus 16 plus the
// tag, so every field of an object lies at a fixed negative or small positive
// offset from the tagged word. Compiled code in saved images uses those
// offsets, which is why every constant here is part of the format.
#pragma once

#include <cstdint>

namespace lisp {

using lispval = uint32_t;
static_assert(sizeof(void*) == 4, "the value word holds a 32-bit address");

enum class Tag : uint32_t {
  Fixnum = 0,  // also 4: the fixnum's low two bits are 0
  Cons = 1,
  Other = 2,  // object that starts with a header word
  Unused = 3,
  FixnumOdd = 4,
  Nil = 5,
  Character = 6,
  Symbol = 7,  // symbols and locatives
};

inline constexpr uint32_t kTagMask = 7;
inline constexpr uint32_t kPointerBias = 16;  // added to an object's address besides the tag

constexpr Tag tagOf(lispval word) {
  return static_cast<Tag>(word & kTagMask);
}

// ---- fixnums: the integer shifted left by two ----

inline constexpr int32_t kMostPositiveFixnum = 536870911;   //  2^29 - 1
inline constexpr int32_t kMostNegativeFixnum = -536870912;  // -2^29

constexpr bool isFixnum(lispval word) {
  return (word & 3) == 0;
}
constexpr bool fitsFixnum(int64_t value) {
  return value >= kMostNegativeFixnum && value <= kMostPositiveFixnum;
}
constexpr lispval makeFixnum(int32_t value) {
  return static_cast<lispval>(value) << 2;
}
constexpr int32_t fixnumValue(lispval word) {
  return static_cast<int32_t>(word) >> 2;
}

// ---- characters: the 16-bit code shifted left by three, plus 6 ----

constexpr bool isCharacter(lispval word) {
  return tagOf(word) == Tag::Character;
}
constexpr lispval makeCharacter(uint16_t code) {
  return (static_cast<lispval>(code) << 3) | static_cast<uint32_t>(Tag::Character);
}
constexpr uint16_t characterCode(lispval word) {
  return static_cast<uint16_t>(word >> 3);
}

// ---- pointer words ----

constexpr lispval pointerWord(uint32_t objectAddress, Tag tag) {
  return objectAddress + kPointerBias + static_cast<uint32_t>(tag);
}
constexpr uint32_t objectAddress(lispval word) {
  return word - kPointerBias - (word & kTagMask);
}
template <class T>
T* objectOf(lispval word) {
  return reinterpret_cast<T*>(objectAddress(word));
}
template <class T>
lispval wordOf(const T* object, Tag tag) {
  return pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object)), tag);
}

// The list test: conses (tag 1) and nil (tag 5) have 01 in their low two bits.
constexpr bool isList(lispval word) {
  return (word & 3) == 1;
}
constexpr bool isCons(lispval word) {
  return tagOf(word) == Tag::Cons;
}
constexpr bool isOther(lispval word) {
  return tagOf(word) == Tag::Other;
}
constexpr bool isSymbolTagged(lispval word) {
  return tagOf(word) == Tag::Symbol;
}

// Car and cdr of a list word, nil included: x-0x11 and x-0xd.
inline constexpr int32_t kCarOffset = -0x11;
inline constexpr int32_t kCdrOffset = -0xd;

// The word at a byte offset from a tagged word.
inline uint32_t& wordAt(lispval word, int32_t offset) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(word + offset));
}
inline lispval& car(lispval list) {
  return wordAt(list, kCarOffset);
}
inline lispval& cdr(lispval list) {
  return wordAt(list, kCdrOffset);
}

}  // namespace lisp
