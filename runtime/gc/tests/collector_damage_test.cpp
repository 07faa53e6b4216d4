// The collectors over one damaged object that a root reaches: a scavenge
// copying a new-space object whose length word claims more than new space
// holds of it, and a global collection marking an old-space vector whose
// length word reaches past its area. Each ends through the consistency
// error naming the damaged object, before a word past its region is read.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/gc/from_space.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/global_heap_fixture.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::Tag;
namespace tc = lisp::type_code;

constexpr uint8_t kEightByteElementVector = 116;
constexpr unsigned kHangSeconds = 60;  // a collection that has not ended by then never will

class CollectorDamage : public gc_test::GlobalHeap {
 public:
  using GlobalHeap::oldCodeVector;
  using GlobalHeap::oldString;

 protected:
  // A new-space object of the extent the header and length give, nil inside.
  lispval newObject(uint32_t header, int32_t length) {
    const uint32_t lengthWord = lisp::makeFixnum(length);
    const uint32_t bytes = gc::extentOf(header, lengthWord).bytes;
    const uint32_t object = other_from_new_xsmp(bytes);
    for (uint32_t word = 2; word < bytes / 4; ++word) at(object + 4 * word) = nil();
    at(object) = header;
    at(object + 4) = lengthWord;
    return lisp::pointerWord(object, Tag::Other);
  }
  static std::string unknownType(lispval object) {
    char text[64];
    std::snprintf(text, sizeof text, "Unknown object type at \\(0x%lx\\)",
                  static_cast<unsigned long>(lisp::objectAddress(object)));
    return text;
  }
};

// A length in elements of four bytes that makes the vector at `object`
// reach `bytes` past the end of the region it lies in.
int32_t lengthReachingPast(uint32_t object, uint32_t frontier, uint32_t bytes) {
  return static_cast<int32_t>((frontier - object + bytes) / 4);
}

TEST_F(CollectorDamage, AScavengeCopyingADamagedNewObjectEndsThroughTheConsistencyError) {
  struct Case {
    const char* what;
    uint8_t type;
    // The damaged length, from the object's address and new space's frontier.
    int32_t (*length)(uint32_t object, uint32_t frontier);
  };
  const Case cases[] = {
      // 0xfffffff8 bytes: with its prefix the room asked for wraps to 0.
      {"a length of -1 on eight-byte elements", kEightByteElementVector,
       [](uint32_t, uint32_t) { return -1; }},
      {"a vector length 4 KB past new space's frontier", tc::SimpleVector,
       [](uint32_t object, uint32_t frontier) {
         return lengthReachingPast(object, frontier, 4096);
       }},
      {"a vector length past the end of new space", tc::SimpleVector,
       [](uint32_t object, uint32_t) { return lengthReachingPast(object, GsNewTop, 8); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval victim = newObject(lisp::headerWord(c.type), 2);
    root(0, victim);
    const uint32_t object = lisp::objectAddress(victim);
    at(object + 4) = lisp::makeFixnum(c.length(object, global(gc::global::kNewOtherTop)));
    EXPECT_EXIT(
        {
          alarm(kHangSeconds);
          scavenge(0);
        },
        testing::ExitedWithCode(1), unknownType(victim));
    at(object + 4) = lisp::makeFixnum(2);
    root(0, nil());
  }
}

TEST_F(CollectorDamage, AGlobalCollectionMarkingADamagedOldVectorEndsThroughTheConsistencyError) {
  struct Case {
    const char* what;
    uint32_t word;  // the damaged word of the victim
    uint32_t damaged;
  };
  const Case cases[] = {
      {"a length of -1", 1, lisp::makeFixnum(-1)},
      {"a length of 0x0fffffff", 1, lisp::makeFixnum(0x0fffffff)},
      {"a length whose size wraps in 32 bits", 1, lisp::makeFixnum(0x3ffffffe)},
      {"a header length of 0xffffff on a vector of type 96", 0,
       0xffffff00u | lisp::type_code::LispVector},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval victim = oldVector({lisp::makeFixnum(1), oldString(3)});
    root(0, oldCons(victim, nil()));
    scavenge(0);  // the root scan has passed the vector: only marking reads it again
    unprotect();
    uint32_t& word = at(lisp::objectAddress(victim) + 4 * c.word);
    const uint32_t intact = word;
    word = c.damaged;
    EXPECT_EXIT(
        {
          alarm(kHangSeconds);
          global_gc(0);
        },
        testing::ExitedWithCode(1), unknownType(victim));
    word = intact;
  }
  collect();  // the repaired heap collects
}

// Objects marking never scans (a string, a code vector): the compaction's
// walk of the area meets the damage and ends through the same error.
TEST_F(CollectorDamage, AGlobalCollectionOverADamagedUnscannedOldObjectEndsThroughTheConsistencyError) {
  struct Case {
    const char* what;
    lispval (*make)(CollectorDamage&);
    uint32_t word, damaged;
  };
  const Case cases[] = {
      {"a string length of 0x0fffffff",
       [](CollectorDamage& heap) { return heap.oldString(3); }, 1, lisp::makeFixnum(0x0fffffff)},
      {"a code vector's header length of 0xffffff",
       [](CollectorDamage& heap) { return heap.oldCodeVector(); }, 0,
       0xffffff00u | lisp::type_code::CodeVector},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval victim = c.make(*this);
    root(0, oldCons(victim, nil()));
    scavenge(0);
    unprotect();
    uint32_t& word = at(lisp::objectAddress(victim) + 4 * c.word);
    const uint32_t intact = word;
    word = c.damaged;
    EXPECT_EXIT(
        {
          alarm(kHangSeconds);
          global_gc(0);
        },
        testing::ExitedWithCode(1), unknownType(victim));
    word = intact;
  }
  collect();
}

}  // namespace
