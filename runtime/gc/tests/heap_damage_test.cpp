// The heap's tools over one damaged object: a length word of -1, a string
// length far past its region, a type byte that makes a pointer a length,
// and a length whose size wraps to 8 bytes in 32 bits. Each damaged object
// lies between two single floats at the end of its region (the open old area, the
// allocation semispace), and is put right again after its case. The
// verifier answers, the printer prints a bad object, the collector's walks
// end through gserror1; each within a bound.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/object_printer.h"
#include "runtime/gc/root_scan.h"
#include "runtime/gc/tests/object_heap_fixture.h"
#include "runtime/gc/write_barrier.h"
#include "testing/watchdog.h"

namespace {

using namespace gc_test;
using lisp::lispval;
namespace tc = lisp::type_code;
namespace code = gc::verify_code;

constexpr uint8_t kEightByteElementVector = 116;
constexpr unsigned kHangSeconds = 60;  // a walk that has not ended by then never will

enum class Victim : uint8_t { EightByteElements, String, Function };

struct Damage {
  const char* what;
  Victim victim;
  uint32_t word;                       // which word of the object is damaged
  uint32_t (*damaged)(uint32_t word);  // its damaged value, from the intact one
};

const Damage kDamages[] = {
    {"a length word of -1", Victim::EightByteElements, 1,
     [](uint32_t) { return lisp::makeFixnum(-1); }},
    {"a string length of 0x0fffffff", Victim::String, 1,
     [](uint32_t) { return lisp::makeFixnum(0x0fffffff); }},
    {"a function's type byte made a string's", Victim::Function, 0,
     [](uint32_t header) { return (header & ~0xffu) | tc::SimpleString; }},
    {"a length whose size wraps to 8 bytes", Victim::EightByteElements, 1,
     [](uint32_t) { return lisp::makeFixnum(0x10000000); }},
};

class HeapDamage : public ObjectHeap {
 protected:
  void SetUp() override {
    ObjectHeap::SetUp();
    populate();
  }

  // The three objects of a case: intact floats around the one to damage.
  struct Layout {
    lispval before, damaged, after;
    uint32_t word, intact;
  };

  // Lays the case out at the end of old or new space and damages it.
  Layout lay(const Damage& damage, bool old) {
    const lispval before = other(tc::SingleFloat, -1, old);
    lispval object = 0;
    switch (damage.victim) {
      case Victim::String:
        object = other(tc::SimpleString, 3, old);
        slot(object, 2) = 'a' | ('b' << 16);
        slot(object, 3) = 'c';
        break;
      case Victim::Function: {  // a function whose entry word points into the heap
        const lispval code = other(lisp::headerWithLength(tc::CodeVector, 8), -1, old);
        object = other(lisp::headerWord(tc::Function), -1, old);
        lisp::objectOf<lisp::FunctionObject>(object)->start = lisp::objectAddress(code) + 4;
        lisp::objectOf<lisp::FunctionObject>(object)->codeVector = code;
        break;
      }
      case Victim::EightByteElements:
        object = other(kEightByteElementVector, 2, old);
        break;
    }
    const lispval after = other(tc::SingleFloat, -1, old);
    Layout layout{before, object, after, damage.word, slot(object, damage.word)};
    slot(object, damage.word) = damage.damaged(layout.intact);
    const uint32_t address = lisp::objectAddress(object);
    const uint32_t end = gc::regionHolding(address).frontier;
    EXPECT_GT(gc::extentOf(at(address), at(address + 4)).bytes, end - address)
        << "the damage reaches past the region's end";
    return layout;
  }
  void repair(const Layout& layout) { slot(layout.damaged, layout.word) = layout.intact; }

  std::string print(lispval value) {
    return captured([&](FILE* file) { lisp_output_object_aux(value, file, 0, 0); });
  }
  static std::string badObject(lispval value) {
    return format("<bad object: 0x%lx>", static_cast<unsigned long>(value));
  }
  static std::string unknownType(lispval object) {
    return format("Unknown object type at \\(0x%lx\\)",
                  static_cast<unsigned long>(lisp::objectAddress(object)));
  }

  static constexpr bool kSpaces[] = {true, false};
};

uint32_t ignoreItem(uint32_t) {
  return 0;
}
void ignoreSlot(uint32_t) {}

TEST_F(HeapDamage, TheVerifierAnswersAndObjectsPastTheDamageAreNone) {
  const testing_support::Watchdog watchdog("verifying around a damaged object",
                                           std::chrono::seconds(kHangSeconds));
  for (const Damage& damage : kDamages)
    for (bool old : kSpaces) {
      SCOPED_TRACE(std::string(damage.what) + (old ? " in old space" : " in new space"));
      const Layout layout = lay(damage, old);
      EXPECT_EQ(value_verify(layout.before, 0), code::kObject);
      EXPECT_EQ(value_verify(layout.damaged, 0), code::kObject) << "it starts where a walk steps";
      EXPECT_EQ(value_verify(layout.after, 0), code::kNotAnObject) << "no walk reaches it";
      repair(layout);
      EXPECT_EQ(value_verify(layout.after, 0), code::kObject);
    }
}

TEST_F(HeapDamage, ThePrinterPrintsABadObjectAndReadsNothingPastTheRegion) {
  const testing_support::Watchdog watchdog("printing around a damaged object",
                                           std::chrono::seconds(kHangSeconds));
  for (const Damage& damage : kDamages)
    for (bool old : kSpaces) {
      SCOPED_TRACE(std::string(damage.what) + (old ? " in old space" : " in new space"));
      const Layout layout = lay(damage, old);
      EXPECT_EQ(print(layout.damaged), badObject(layout.damaged));
      EXPECT_EQ(print(layout.after), badObject(layout.after));
      EXPECT_NE(print(layout.before), badObject(layout.before));
      repair(layout);
      EXPECT_NE(print(layout.damaged), badObject(layout.damaged));
    }
}

TEST_F(HeapDamage, TheCollectorsWalksEndThroughTheConsistencyError) {
  const gc::SlotTreatment ignore{ignoreSlot, ignoreSlot};
  for (const Damage& damage : kDamages)
    for (bool old : kSpaces) {
      SCOPED_TRACE(std::string(damage.what) + (old ? " in old space" : " in new space"));
      const Layout layout = lay(damage, old);
      const std::string message = unknownType(layout.damaged);
      // Every object of the heap: the global collector's and the image writer's walk.
      EXPECT_EXIT(
          {
            alarm(kHangSeconds);
            gsgc_scan_all(nullptr, ignoreItem, 1, 1, 1);
          },
          testing::ExitedWithCode(1), message);
      if (old) {
        // The root scan over a dirty page that holds the damaged object.
        EXPECT_EXIT(
            {
              alarm(kHangSeconds);
              const uint32_t address = lisp::objectAddress(layout.damaged);
              gc::GsOldArea* area = GsOldAreas;
              while (address >= area->end) area = area->next;
              area->rootScanLimit = area->frontier;
              noteroot(address);
              scan_rootset_entries(&ignore);
            },
            testing::ExitedWithCode(1), message);
      }
      repair(layout);
    }
}

// Seeded: objects of every kind the printer tells apart, in old space and in
// the allocation semispace, each in turn with a random header or length
// word (a random word, another type byte, another length field, a fixnum
// length of any size). The printer prints it, the object after it and a
// list holding it without faulting, and the verifier answers for each.
// HEAP_DAMAGE_ROUNDS sets the number of damaged words (default below).
TEST_F(HeapDamage, ThePrinterOnEveryKindWithADamagedHeaderOrLengthNeverFaults) {
  const testing_support::Watchdog watchdog("printing randomly damaged objects",
                                           std::chrono::seconds(4 * kHangSeconds));
  const char* roundsText = std::getenv("HEAP_DAMAGE_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 20000;
  std::vector<lispval> objects;
  for (bool old : kSpaces) {
    auto make = [&](uint32_t header, int32_t length = -1) {
      objects.push_back(other(header, length, old));
    };
    make(lisp::headerWord(tc::Closure));
    make(tc::HashTable);
    make(tc::Readtable);
    make(lisp::headerWord(tc::StandardInstance, 0x01));
    make(lisp::headerWord(tc::StandardInstance, 0x80));
    make(lisp::headerWord(tc::RemoteObject));
    make(tc::SingleFloat);
    make(tc::DoubleFloat);
    make(lisp::bignumHeader(3));
    make(tc::Ratio);
    make(tc::Complex);
    make(0x40);
    make(0xd2);
    make(tc::SimpleVector, 3);
    make(lisp::headerWithLength(101, 4));
    make(lisp::headerWithLength(tc::PlainVector, 2));
    make(lisp::headerWithLength(tc::Instance, 2));
    make(lisp::headerWithLength(tc::ValuesVector, 2));
    make(lisp::headerWithLength(tc::Structure, 2));
    make(lisp::headerWithLength(tc::EntryVector, 3));
    make(kEightByteElementVector, 2);
    make(tc::SimpleString, 3);
    if (!old) make(lisp::headerWithLength(tc::Sysvector, 4));
  }
  objects.push_back(string(u"abc"));
  objects.push_back(symbol(u"SYM"));
  objects.push_back(function());
  objects.push_back(structure({symbol(u"POINT"), fixnum(1)}));
  objects.push_back(entryVector(4, symbol(u"NAME")));
  objects.push_back(other(tc::SingleFloat));  // the last old object has one after it too

  std::vector<lispval> holders;  // a list holding each object
  for (const lispval object : objects) holders.push_back(cons(object, nil()));

  FILE* sink = std::fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  std::mt19937 random(20261211);
  for (int round = 0; round < rounds; ++round) {
    const size_t index = random() % (objects.size() - 1);
    const lispval object = objects[index];
    const uint32_t word = random() % 2;
    uint32_t& damaged = slot(object, word);
    const uint32_t intact = damaged;
    switch (random() % 4) {
      case 0:
        damaged = random();
        break;
      case 1:  // another type byte
        damaged = (intact & ~0xffu) | (random() & 0xff);
        break;
      case 2:  // another length field
        damaged = (intact & 0xff) | (random() & ~0xffu);
        break;
      default:
        damaged = lisp::makeFixnum(static_cast<int32_t>(random()) >> (random() % 30));
        break;
    }
    for (const lispval value : {object, objects[index + 1], holders[index]}) {
      lisp_output_object_aux(value, sink, 0, 0);
      const int verdict = value_verify(value, 0);
      EXPECT_GE(verdict, 0) << "round " << round;
    }
    damaged = intact;
  }
  std::fclose(sink);
}

}  // namespace
