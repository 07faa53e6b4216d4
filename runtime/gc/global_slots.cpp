// The global table's Lisp-value words, as the collectors visit them.
//
// Invariant: every word listed holds a Lisp value (or nil) at all times;
// every word not listed holds raw data the collector must not touch.
//
// The slot routine is called directly: this runs inside a collection, whose
// entry already pushed the foreign-call record.

#include <array>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/stack_walk.h"

namespace {

struct WordRange {
  int16_t first, last;  // global word indexes, inclusive
};

// Increasing address order.
constexpr WordRange kLispValueWords[] = {
    {-344, -311}, {-309, -308}, {-306, -302}, {-299, -298}, {-294, -289}, {-286, -285},
    {-280, -262}, {-253, -216}, {-213, -208}, {-206, -191}, {-187, -187}, {-164, -157},
    {-155, -149}, {-147, -147}, {-144, -128}, {-124, -120}, {-117, -117}, {-111, -111},
    {-109, -109}, {-104, -100}, {-98, -96},   {-94, -91},   {-88, -80},   {-78, -75},
    {-73, -65},   {-63, -50},   {-46, -36},   {-34, -28},   {-23, -23},   {-21, -19},
    {-17, -17},   {-15, -15},   {-13, -10},   {-5, -5},     {-2, 0},
};

constexpr int kListedWords = [] {
  int words = 0;
  for (const WordRange& range : kLispValueWords) words += range.last - range.first + 1;
  return words;
}();
static_assert(kListedWords == 252);

// Global word index 0 lies 0x15 below nil; word -N lies 4N below that.
constexpr int32_t kGlobalBaseFromNil = -0x15;

}  // namespace

extern "C" void scan_global_slots(gsgc_slot_routine slot, gsgc_slot_routine) {
  for (const WordRange& range : kLispValueWords)
    for (int32_t index = range.first; index <= range.last; ++index)
      slot(nilval + kGlobalBaseFromNil + 4 * index);
  gc_scan_thread_registry(slot);
}
