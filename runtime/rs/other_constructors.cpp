// The type table of new_lisp_obj, and the check of the type a vector may be
// given as an instance.

#include "runtime/gc/object_extent.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

namespace {

namespace action = lisp::new_lisp_obj_action;

struct ActionRange {
  uint8_t first, last, action;
};

constexpr ActionRange kActionRanges[] = {
    // clang-format off
    {1, 1, action::kCons},
    {7, 7, action::kSymbol},
    {8, 8, action::kFunction},
    {9, 9, action::kClosure},
    {15, 15, action::kFilledVector},
    {16, 16, action::kSingleFloat},
    {17, 17, action::kDoubleFloat},
    {18, 18, action::kBignum},
    {19, 20, action::kTwoPart},
    {96, 96, action::kFilledVector},
    {97, 98, action::kVector},
    {99, 99, action::kUnsigned16},
    {100, 107, action::kVector},
    {108, 108, action::kCodeVector},
    {109, 111, action::kVector},
    {112, 112, action::kFilledVector},
    {113, 127, action::kVector},
    {143, 143, action::kStructure},
    {242, 242, action::kVector},
    // clang-format on
};

constexpr std::array<uint8_t, 256> actionTable() {
  std::array<uint8_t, 256> table{};
  for (const ActionRange& range : kActionRanges)
    for (uint32_t code = range.first; code <= range.last; ++code) table[code] = range.action;
  return table;
}

}  // namespace

// Every code outside the ranges (and every code above 255, which the
// assembly refuses before it looks here) is refused with runtime error 22.
extern "C" {
constinit const std::array<uint8_t, 256> new_lisp_obj_actions = actionTable();
}

extern "C" uint32_t instance_type_keeps_extent(uint32_t header, lisp::lispval type) {
  if (!lisp::isFixnum(type) || lisp::fixnumValue(type) < 0 || lisp::fixnumValue(type) > 0xff)
    return 0;
  const uint32_t changed = (header & ~0xffu) | static_cast<uint32_t>(lisp::fixnumValue(type));
  const gc::ObjectExtent before = gc::extentOf(header, 0), after = gc::extentOf(changed, 0);
  return after.row && after.bytes == before.bytes && after.firstWord[0] == before.firstWord[0] &&
         after.wordCount[0] == before.wordCount[0] && after.wordCount[1] == before.wordCount[1];
}
