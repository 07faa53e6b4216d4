// After an image restore into a process where the runtime library lies
// elsewhere: the start words of jettisoned functions that named the saving
// library's reload entries name this library's, and no other word changes.

#include "runtime/gc/reload_entry_rebase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/object_extent.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/calling_protocol.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_routine_heap.h"

namespace {

using gc_test::at;

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

class ReloadEntryRebase : public gc_test::LispRoutineHeap {
 protected:
  // A function object without constants in old or new space: start word and
  // code slot as given.
  uint32_t function(bool old, uint32_t start, uint32_t codeSlot) {
    return object(old, lisp::headerWord(lisp::type_code::Function), start, codeSlot);
  }
  // A structure whose words at the start-word and code-slot places hold the
  // same values.
  uint32_t structureLookingLikeAFunction(bool old, uint32_t start, uint32_t codeSlot) {
    return object(old, lisp::headerWithLength(lisp::type_code::Structure, 8), start, codeSlot);
  }
  uint32_t object(bool old, uint32_t header, uint32_t start, uint32_t codeSlot) {
    const uint32_t bytes = gc::extentOf(header, 0).bytes;
    EXPECT_GE(bytes, 24u);
    const uint32_t address = old ? other_from_old_xsmp(bytes) : other_from_new_xsmp(bytes);
    at(address) = header;
    for (uint32_t word = 1; word < bytes / 4; ++word) at(address + 4 * word) = nil();
    at(address + 4) = start;
    at(address + 16) = codeSlot;
    return address;
  }
  static uint32_t startWord(uint32_t object) { return at(object + 4); }
};

TEST_F(ReloadEntryRebase, JettisonedFunctionsFollowTheLibraryAndNothingElseChanges) {
  constexpr uint32_t kMoved = 0x123000;  // the saving library lay this much higher
  const uint32_t fault = addressOf(functionfault), fault2 = addressOf(functionfault_2);
  const uint32_t savedFault = fault + kMoved, savedFault2 = fault2 + kMoved;
  const uint32_t place = lisp::makeFixnum(64);  // a code-file offset: jettisoned
  const uint32_t code = lisp::pointerWord(0x1000, lisp::Tag::Other);

  struct Case {
    const char* name;
    uint32_t start, codeSlot;
    bool isFunction;
    uint32_t expected;
  };
  const Case cases[] = {
      {"jettisoned, first entry", savedFault, place, true, fault},
      {"jettisoned, second entry", savedFault2, place, true, fault2},
      {"jettisoned, already this library's", fault, place, true, fault},
      {"code present", savedFault, code, true, savedFault},
      {"jettisoned, starting elsewhere", 0x4000, place, true, 0x4000},
      {"not a function", savedFault, place, false, savedFault},
  };
  struct Made {
    uint32_t object;
    uint32_t expected;
  };
  std::vector<Made> made;
  for (const bool old : {true, false})
    for (const Case& c : cases)
      made.push_back({c.isFunction ? function(old, c.start, c.codeSlot)
                                   : structureLookingLikeAFunction(old, c.start, c.codeSlot),
                      c.expected});

  // Nothing recorded, or the library where it was: nothing moves.
  EXPECT_EQ(rebase_reload_entries(0), 0u);
  EXPECT_EQ(rebase_reload_entries(addressOf(function_fault_entry1)), 0u);
  EXPECT_EQ(startWord(made[0].object), savedFault);

  EXPECT_EQ(rebase_reload_entries(addressOf(function_fault_entry1) + kMoved), 4u);
  for (size_t i = 0; i < made.size(); ++i)
    EXPECT_EQ(startWord(made[i].object), made[i].expected)
        << cases[i % std::size(cases)].name << (i < std::size(cases) ? ", old" : ", new");
}

}  // namespace
