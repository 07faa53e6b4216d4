// The native fasl loader's stack: a sysvector in the thread record (the
// record's fasl-stack word), the count of its data words in use (the
// record's fill word) and its size in data words (the record's size word).
//
// Data word 0 is not a loader slot: before each scavenge the collector
// stores the fill there as a fixnum and scans the words below the fill as
// Lisp values. The loader's slot 0, the string buffer, is data word 1, so a
// stack is empty while its fill is at most 1.
//
// The sysvector does not move, but growing replaces it: nothing keeps its
// address across a push that may grow it.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

inline constexpr uint32_t kReservedDataWords = 1;       // the collector's fill word
inline constexpr uint32_t kStringBufferIndex = 1;       // the loader's slot 0
inline constexpr uint32_t kStringBufferCharacters = 80;
inline constexpr uint32_t kStackGrowth = 100;  // entries added by grow_fasl_stack
inline constexpr uint32_t kItemRoom = 5;       // free entries made sure of before each item

// What the item actions of both loaders need of a load stack: the height,
// pushes and pops, reading and replacing an item at a depth below the top
// (0: the top), and cutting back to a height.
class ItemStack {
 public:
  virtual ~ItemStack() = default;
  virtual uint32_t fill() const = 0;
  virtual bool makeRoom(uint32_t room) = 0;
  virtual void push(lispval value) = 0;
  virtual lispval pop() = 0;
  virtual lispval at(uint32_t depth) const = 0;
  virtual void put(uint32_t depth, lispval value) = 0;
  virtual void cutTo(uint32_t fill) = 0;
};

class LoadStack {
 public:
  explicit LoadStack(lispval thread) : thread_(thread) {}

  uint32_t fill() const;  // data words in use
  bool empty() const { return fill() <= kReservedDataWords; }
  // Makes sure of `room` free entries; false when the stack cannot grow.
  bool makeRoom(uint32_t room);
  // Caller made room first.
  void push(lispval value);
  lispval pop();
  lispval& at(uint32_t depth);  // 0: the top
  lispval& slot(uint32_t index);
  void cutTo(uint32_t fill);

 private:
  uint32_t& fillWord() const;
  lispval thread_;
};

}  // namespace lisp::fasl

extern "C" {
// The string buffer (slot 0) when it holds n bytes, else a new 16-bit
// string of n characters stored there.
lisp::lispval faslbufstr(uint32_t n, lisp::lispval thread);
}
