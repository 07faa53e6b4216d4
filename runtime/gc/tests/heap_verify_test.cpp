#include "runtime/gc/heap_verify.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_printer.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"
#include "testing/console_recorder.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::Tag;
namespace code = verify_code;

class HeapVerify : public WalkHeap {
 protected:
  void SetUp() override {
    WalkHeap::SetUp();
    populate();
  }
  void TearDown() override {
    lisp::registry::forgetRegistry();
    vxm_lso = vxm_lsoend = 0;
    gsgc_sifting = dump_stack = 0;
    first_lispstatic = 0;
    WalkHeap::TearDown();
  }
  int verify(lispval value, int strict = 0, int current = 1) {
    uint32_t slot = value;
    return r_verify(addressOf(&slot), strict, current);
  }
  static lispval other(uint32_t object) { return lisp::pointerWord(object, Tag::Other); }
  static lispval symbolWord(uint32_t object) { return lisp::pointerWord(object, Tag::Symbol); }
  static lispval cons(uint32_t cell) { return lisp::pointerWord(cell, Tag::Cons); }
  // Made objects of one kind in one space, by type byte.
  uint32_t made(const Made& space, uint8_t type, int index = 0) {
    for (uint32_t object : space.objects)
      if (static_cast<uint8_t>(at(object)) == type && index-- == 0) return object;
    ADD_FAILURE() << "no object of type " << int{type};
    return 0;
  }
  uint32_t firstOf(const std::set<uint32_t>& items) { return *items.begin(); }
  static std::string printed(lispval value) {
    std::FILE* file = std::tmpfile();
    lisp_output_object_aux(value, file, 0, 0);
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
  }
  uint32_t lastOf(const std::set<uint32_t>& items) { return *items.rbegin(); }
};

TEST_F(HeapVerify, CodesOfValuesByWhereTheyPoint) {
  const uint32_t oldVector = made(old_, lisp::type_code::SimpleVector);
  const uint32_t newVector = made(new_, lisp::type_code::SimpleVector);
  const uint32_t oldSymbol = made(old_, lisp::kSymbolTypeByte);
  const uint32_t newSymbol = made(new_, lisp::kSymbolTypeByte);
  const uint32_t oldFiller = made(old_, lisp::type_code::ByteVector);
  const uint32_t newCell = lastOf(new_.conses), oldCell = lastOf(old_.conses);
  alignas(8) uint32_t onStack[4] = {};
  const lispval unbound = global(lisp::nil_block::global::kUnboundMarker);
  const struct {
    const char* what;
    lispval value;
    int expected;
  } cases[] = {
      {"nil", nil(), code::kSpecial},
      {"t", lisp::nil_block::tFor(nil()), code::kSpecial},
      {"unbound marker", unbound, code::kSpecial},
      {"tag 3", oldVector + 16 + 3, code::kTagThree},
      {"tag 5 not nil", nil() + 8, code::kBadNilTag},
      {"fixnum", lisp::makeFixnum(-12), code::kImmediate},
      {"character", lisp::makeCharacter('x'), code::kImmediate},
      {"new cons", cons(newCell), code::kCons},
      {"old cons", cons(oldCell), code::kCons},
      {"new cons past the fill", cons(newCell + 8), code::kNotAnObject},
      {"old cons past the fill", cons(oldCell + 8), code::kNotAnObject},
      {"new vector", other(newVector), code::kObject},
      {"old vector", other(oldVector), code::kObject},
      {"new symbol", symbolWord(newSymbol), code::kObject},
      {"old symbol", symbolWord(oldSymbol), code::kObject},
      {"old byte-vector filler", other(oldFiller), code::kObject},
      {"middle of a new vector", other(newVector + 8), code::kNotAnObject},
      {"middle of an old vector", other(oldVector + 8), code::kNotAnObject},
      {"symbol tag on an old vector", symbolWord(oldVector), code::kNotAnObject},
      {"symbol tag on a new vector", symbolWord(newVector), code::kNotAnObject},
      {"other tag on an old symbol", other(oldSymbol), code::kNotAnObject},
      {"cons tag on an old vector", cons(oldVector), code::kNotAnObject},
      {"new-space pagemap", other(GsNewAllocationArea.start), code::kNotAnObject},
      {"past the new frontier", other(global(global::kNewOtherTop) + 8), code::kNotAnObject},
      {"a stack word", other(addressOf(onStack)), code::kOutsideHeap},
      {"the thread record", other(lisp::objectAddress(lisp::dummyThreadWord()) + 8),
       code::kOutsideHeap},
      {"address 0", 0x12, code::kNowhere},
      {"the to-space", other(GsNewScavengeToArea + 64), code::kNowhere},
  };
  for (const auto& c : cases) EXPECT_EQ(verify(c.value), c.expected) << c.what;
}

TEST_F(HeapVerify, StrictCountsOnlyNewSpaceAsTheHeap) {
  const uint32_t oldVector = made(old_, lisp::type_code::SimpleVector);
  const uint32_t newVector = made(new_, lisp::type_code::SimpleVector);
  EXPECT_EQ(verify(other(oldVector), 1), code::kNowhere);
  EXPECT_EQ(verify(cons(firstOf(old_.conses)), 1), code::kNowhere);
  EXPECT_EQ(verify(other(newVector), 1), code::kObject);
  EXPECT_EQ(verify(cons(firstOf(new_.conses)), 1), code::kCons);
}

TEST_F(HeapVerify, ANewSpaceFillerIsNoObject) {
  // The shrunk new vector's filler: its count word stands where a prefix would.
  for (uint32_t object : new_.objects) {
    if (static_cast<uint8_t>(at(object)) != lisp::type_code::SimpleVector) continue;
    const uint32_t end = object + static_cast<uint32_t>(lisp::vectorObjectBytes(
                                      *lisp::vectorType(lisp::type_code::SimpleVector),
                                      static_cast<uint32_t>(lisp::fixnumValue(at(object + 4)))));
    if (at(end + 4) != 0xffffffff) continue;
    EXPECT_EQ(verify(other(end + kPrefixBytes)), code::kNotAnObject);
    EXPECT_EQ(verify(symbolWord(end + at(end) + kPrefixBytes)), code::kObject);  // the next one
    return;
  }
  FAIL() << "no filler made";
}

TEST_F(HeapVerify, AgainstTheFromSpaceAfterAFlip) {
  const uint32_t newVector = made(new_, lisp::type_code::SimpleVector);
  sync_shared_cons_pointer();
  setGsNewFrom();
  GsNewAreaSetup(GsNewScavengeToArea, GsNewSemiSize);  // the other half allocates now
  EXPECT_EQ(verify(other(newVector), 0, 0), code::kObject);
  EXPECT_EQ(verify(cons(firstOf(new_.conses)), 0, 0), code::kCons);
  EXPECT_EQ(verify(other(newVector), 0, 1), code::kNowhere);
  EXPECT_EQ(verify(cons(firstOf(new_.conses)), 0, 1), code::kNowhere);
}

TEST_F(HeapVerify, RemoteObjectsCarryTheOtherTag) {
  const uint32_t remote = other_from_new_xsmp(16);
  at(remote) = lisp::headerWord(14);
  at(remote + 4) = at(remote + 8) = at(remote + 12) = nil();
  EXPECT_EQ(verify(other(remote)), code::kObject);
}

TEST_F(HeapVerify, ASymbolMayPointAtItsForwardingVectorWhileSifting) {
  const uint32_t filler = made(old_, lisp::type_code::ByteVector);
  EXPECT_EQ(verify(symbolWord(filler)), code::kNotAnObject);
  gsgc_sifting = 1;
  EXPECT_EQ(verify(symbolWord(filler)), code::kObject);
}

TEST_F(HeapVerify, PureLibraryAndLispStaticObjects) {
  alignas(8) static uint32_t library[16];
  vxm_lso = addressOf(library);
  vxm_lsoend = addressOf(library + 16);
  EXPECT_EQ(verify(other(addressOf(library + 4))), code::kOutsideHeap);
  EXPECT_EQ(verify(other(addressOf(library))), code::kNowhere);  // the bounds are exclusive

  // A registered lisp-static object: block 0, entry 0 of the registry.
  const uint32_t object = other_from_static_xsmp(16, 0, nullptr);
  at(object) = lisp::headerWord(lisp::type_code::DoubleFloat);
  auto* block = static_cast<lispstatic_block*>(vxmmalloc(sizeof(lispstatic_block), 0, 0));
  auto* table = static_cast<uint32_t*>(vxmmalloc(4, 0, 0));
  ASSERT_TRUE(block && table);
  block->entries[0] = other(object);
  table[0] = addressOf(block);
  first_lispstatic = addressOf(table);
  at(object - kPrefixBytes) = 0;  // block 0, entry 0
  EXPECT_EQ(verify(other(object)), code::kLispStatic);
  block->entries[0] = 0;
  EXPECT_EQ(verify(other(object)), code::kNowhere);
}

// A second thread parks the way a thread leaving the heap does (its stack
// marked for the collector) and waits: a value on its saved stack, and one
// into its record, lie outside the heap like the calling thread's own, and
// the printer reads them. On a saved stack only a cons counts when judged
// against the from-space.
TEST_F(HeapVerify, APointerIntoAParkedThreadsStackOrRecordIsOutsideTheHeap) {
  namespace tr = lisp::thread_record;
  uint32_t* record = allocate_threadctl();
  ASSERT_NE(record, nullptr);
  std::mutex mutex;
  std::condition_variable changed;
  uint32_t parkedWords = 0;
  bool release = false;
  std::thread parked([&] {
    alignas(8) uint32_t words[4] = {lisp::makeFixnum(1), nil()};  // a cons: (1)
    lisp::registry::word(record, tr::kOsThreadId) = identify_os_thread();
    lisp::registry::word(record, tr::kStackBase) = gc::currentStackBase();
    sg_mark_stack_for_gc();
    std::unique_lock lock(mutex);
    parkedWords = addressOf(words);
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return parkedWords != 0; });
  }
  ASSERT_NE(lisp::registry::word(record, tr::kSavedNativeStack), 0u);
  const uint32_t recordStart = addressOf(record);
  const struct {
    const char* what;
    lispval value;
    int current, expected;
  } cases[] = {
      {"an object on the saved stack", other(parkedWords), 1, code::kOutsideHeap},
      {"a cons on the saved stack", cons(parkedWords), 1, code::kOutsideHeap},
      {"a cons on the saved stack, from-space", cons(parkedWords), 0, code::kOutsideHeap},
      {"an object on the saved stack, from-space", other(parkedWords), 0, code::kNowhere},
      {"the parked thread's record", other(recordStart + 8), 1, code::kOutsideHeap},
      {"its record's last cell", other(recordStart + 4 * tr::kRecordWords - 8), 1,
       code::kOutsideHeap},
      {"past its record", other(recordStart + 4 * tr::kRecordWords + 8), 1, code::kNowhere},
  };
  for (const auto& c : cases) EXPECT_EQ(verify(c.value, 0, c.current), c.expected) << c.what;
  EXPECT_EQ(printed(cons(parkedWords)), "(1)") << "the printer reads it as a good object";
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  parked.join();
}

TEST_F(HeapVerify, ValueVerifyAndTheTrace) {
  EXPECT_EQ(value_verify(cons(lastOf(new_.conses)), 0), code::kCons);
  EXPECT_EQ(value_verify(nil(), 0), code::kSpecial);
  dump_stack = 1;
  uint32_t slot = lisp::makeFixnum(3);
  const testing_support::ConsoleRecorder console;
  EXPECT_EQ(verify_slot(addressOf(&slot), 0, 1), code::kImmediate);
  char expected[64];
  std::snprintf(expected, sizeof expected, "Verify 0x%x -> 0xc = 4\n", addressOf(&slot));
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), expected);
}

std::vector<uint32_t> g_followed;
void follow(uint32_t slot) {
  g_followed.push_back(slot);
}

TEST_F(HeapVerify, VerifiedFuncallFollowsOnlyLiveHeapPointers) {
  uint32_t slots[] = {nil(), lisp::makeFixnum(1), cons(lastOf(new_.conses)),
                      other(made(old_, lisp::type_code::SimpleVector)), 0x12};
  g_followed.clear();
  for (uint32_t& slot : slots) verified_funcall(addressOf(&slot), 0, follow);
  EXPECT_EQ(g_followed, (std::vector<uint32_t>{addressOf(&slots[2]), addressOf(&slots[3])}));
}

}  // namespace
