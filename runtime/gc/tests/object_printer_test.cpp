// The native object printer on objects laid out by hand in a fixture heap,
// its output captured through a temporary file.

#include "runtime/gc/object_printer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/tests/object_heap_fixture.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::Tag;
namespace tc = lisp::type_code;

class ObjectPrinter : public ObjectHeap {
 protected:
  void SetUp() override {
    ObjectHeap::SetUp();
    populate();
  }
  void TearDown() override {
    lisp_print_level = 5;
    lisp_print_length = 10;
    ObjectHeap::TearDown();
  }

  std::string print(lispval value, int32_t level = 0) {
    return captured([&](FILE* file) { lisp_output_object_aux(value, file, level, 0); });
  }
  static std::string address(const char* form, lispval value) {
    return format(form, static_cast<unsigned long>(value));
  }
};

TEST_F(ObjectPrinter, ImmediatesSymbolsAndStrings) {
  const lispval foo = symbol(u"FOO");
  const lispval locative = symbol(u"IGNORED", lisp::kLocativeTypeByte);
  const lispval text = string(u"h\u00e9 \u263a");
  const struct {
    const char* what;
    lispval value;
    std::string expected;
  } cases[] = {
      {"fixnum", fixnum(-5), "-5"},
      {"odd fixnum", fixnum(7), "7"},
      {"character", lisp::makeCharacter('a'), "a"},
      {"character above 255", lisp::makeCharacter(0x263a), "\u263a"},
      {"nil", nil(), "nil"},
      {"symbol", foo, "FOO"},
      {"locative", locative, "<locative>"},
      {"string of 16-bit characters", text, "\"h\u00e9 \u263a\""},
      {"tag 3", lisp::objectAddress(text) + 16 + 3,
       address("<bad object tag: 0x%lx>", lisp::objectAddress(text) + 19)},
      {"tag 5, not nil", nil() + 8, address("<bad object tag: 0x%lx>", nil() + 8)},
  };
  for (const auto& c : cases) EXPECT_EQ(print(c.value), c.expected) << c.what;
}

TEST_F(ObjectPrinter, ListsAreCutByLengthAndDepth) {
  const lispval x = symbol(u"X");
  lispval nested = list({fixnum(1)});
  for (int i = 0; i < 5; ++i) nested = list({nested});
  const struct {
    const char* what;
    lispval value;
    int32_t length;
    std::string expected;
  } cases[] = {
      {"short list", list(numbers(3)), 10, "(1 2 3)"},
      {"12 elements", list(numbers(12)), 10, "(1 2 3 4 5 6 7 8 9 10 ...)"},
      {"length 0", list(numbers(2)), 0, "(...)"},
      {"exactly the length", list(numbers(2)), 2, "(1 2)"},
      {"nested 6 deep", nested, 10, "(((((#)))))"},
      {"dotted pair", cons(x, fixnum(3)), 10, "(X . 3)"},
      {"dotted tail after the cut", cons(fixnum(1), cons(fixnum(2), fixnum(3))), 2, "(1 2 . 3)"},
      {"list tail after the cut", list(numbers(3)), 2, "(1 2 ...)"},
  };
  for (const auto& c : cases) {
    lisp_print_length = c.length;
    EXPECT_EQ(print(c.value), c.expected) << c.what;
  }
}

TEST_F(ObjectPrinter, FixedFormsByTypeCode) {
  auto instance = [&](uint8_t byte1) {
    return other(lisp::headerWord(tc::StandardInstance, byte1));
  };
  const lispval single = other(tc::SingleFloat);
  lisp::objectOf<lisp::SingleFloatObject>(single)->value = 1.5f;
  const lispval dbl = other(tc::DoubleFloat);
  lisp::objectOf<lisp::DoubleFloatObject>(dbl)->value = -2.25;
  const lispval code = function();
  const struct {
    lispval value;
    const char* form;
  } forms[] = {
      {other(lisp::headerWord(tc::Closure)), "<closure: 0x%lx>"},
      {other(tc::HashTable), "<hash-table: 0x%lx>"},
      {other(tc::Readtable), "<readtable: 0x%lx>"},
      {instance(0x01), "<stream: 0x%lx>"},
      {instance(0x02), "<stream: 0x%lx>"},
      {instance(0x80), "<foreign-pointer: 0x%lx>"},
      {instance(0x40), "<standard-instance: 0x%lx>"},
      {other(lisp::headerWithLength(tc::Sysvector, 4), -1, false), "<sysvector: 0x%lx>"},
      {other(lisp::headerWord(tc::RemoteObject)), "<remote object: 0x%lx>"},
      {single, "<single-float: 1.500000 @ 0x%lx>"},
      {dbl, "<double-float: -2.250000 0x%lx>"},
      {other(lisp::bignumHeader(3)), "<bignum: 0x%lx>"},
      {other(tc::Ratio), "<ratio: 0x%lx>"},
      {other(tc::Complex), "<complex: 0x%lx>"},
      {other(0x40), "<array type 0x40: 0x%lx>"},
      {other(0xd2), "<array type 0xd2: 0x%lx>"},
      {other(tc::SimpleVector, 3), "<vector type 0x70: 0x%lx>"},
      {other(lisp::headerWithLength(101, 4)), "<vector type 0x65: 0x%lx>"},
      {other(lisp::headerWithLength(tc::PlainVector, 2)), "<vector type 0xe5: 0x%lx>"},
      {other(lisp::headerWithLength(tc::Instance, 2)), "<instance: 0x%lx>"},
      {other(lisp::headerWithLength(tc::InstanceAlternate, 2)), "<instance: 0x%lx>"},
      {other(lisp::headerWithLength(tc::ValuesVector, 2)), "<values vector: 0x%lx>"},
      {other(tc::TrellonUpi), "<trellon upi: 0x%lx>"},
      {other(tc::TrellonTriple), "<trellon triple: 0x%lx>"},
  };
  for (const auto& f : forms) EXPECT_EQ(print(f.value), address(f.form, f.value)) << f.form;
  const lispval codeVector = lisp::objectOf<lisp::FunctionObject>(code)->codeVector;
  EXPECT_EQ(print(code), "#'" + address("<vector type 0x6c: 0x%lx>", codeVector));
}

TEST_F(ObjectPrinter, StructuresNameThemselvesFromTheirFirstSlot) {
  const lispval point = symbol(u"POINT");
  const lispval byName = structure({point, fixnum(1), fixnum(2)});
  const lispval byList = structure({list({list({symbol(u"BAR"), fixnum(9)})}), fixnum(1)});
  const lispval byFixnum = structure({fixnum(7), fixnum(1)});
  const lispval byBadList = structure({list({fixnum(4)}), fixnum(1)});
  const lispval tooLong = structure({point, fixnum(1), fixnum(2), fixnum(3)});
  const lispval nested = structure({point, list({list({fixnum(1)})})});
  EXPECT_EQ(print(byName), address("#S(POINT:0x%lx 1 2)", byName));
  EXPECT_EQ(print(byList), address("#S(BAR:0x%lx 1)", byList));
  EXPECT_EQ(print(byFixnum), "#S(<bad object: 0x1c>" + address(":0x%lx 1)", byFixnum));
  EXPECT_EQ(print(byBadList), "#S(<bad object: 0x10>" + address(":0x%lx 1)", byBadList));
  EXPECT_EQ(print(nested, 3), address("#S(POINT:0x%lx (#))", nested));
  EXPECT_EQ(print(nested, 5), "#");
  lisp_print_length = 2;
  EXPECT_EQ(print(tooLong), address("#S(POINT:0x%lx 1 2 ...)", tooLong));
}

TEST_F(ObjectPrinter, EntryVectorsWithAndWithoutAName) {
  const lispval named = entryVector(6, string(u"ENTRY"));
  const lispval five = entryVector(5, string(u"ENTRY"));
  const lispval unnamed = entryVector(6, fixnum(3));
  EXPECT_EQ(print(named), address("<entry-vec: \"ENTRY\" 0x%lx>", named));
  EXPECT_EQ(print(five), address("<vector type 0x6f: 0x%lx>", five));
  EXPECT_EQ(print(unnamed), address("<vector type 0x6f: 0x%lx>", unnamed));
  EXPECT_EQ(print(named, 5), "#");
}

TEST_F(ObjectPrinter, UnvettedPointersPrintAsBadObjects) {
  const lispval vector = other(tc::SimpleVector, 6);
  const lispval middle = vector + 8;
  const lispval cell = cons(fixnum(1), nil());
  const struct {
    const char* what;
    lispval value;
  } cases[] = {
      {"into the middle of an object", middle}, {"a symbol tag on a vector", vector + 5},
      {"a cons tag on a vector", vector - 1},   {"an other tag on a cons", cell + 1},
      {"outside every region", 0x12},           {"the top of the address space", 0xfffffffa},
  };
  for (const auto& c : cases)
    EXPECT_EQ(print(c.value), address("<bad object: 0x%lx>", c.value)) << c.what;
  // A cdr that is no cons is printed as a dotted bad tail.
  at(lisp::objectAddress(cell) + 4) = middle - 1;
  EXPECT_EQ(print(cell), "(1 . " + address("<bad object: 0x%lx>", middle - 1) + ")");
}

TEST_F(ObjectPrinter, NativeHeapObjectsAreReadWithinTheWaterMarks) {
  auto* block = static_cast<uint32_t*>(vxmmalloc(64, 0, 0));
  ASSERT_NE(block, nullptr);
  const uint32_t object = gc::addressOf(block);
  const lispval text = lisp::pointerWord(object, Tag::Other);
  block[0] = tc::SimpleString;
  block[1] = lisp::makeFixnum(2);
  block[2] = 'o' | ('k' << 16);
  EXPECT_EQ(print(text), "\"ok\"");
  // A length that reaches past the high water mark makes it a bad object.
  block[1] = lisp::makeFixnum(0x1000000);
  EXPECT_EQ(print(text), address("<bad object: 0x%lx>", text));
  vxmfree(block, 0);
}

TEST_F(ObjectPrinter, PureLibraryAndStackObjectsAreReadWithinTheirRegions) {
  // The library's first words are its own; the string follows them.
  alignas(8) static uint32_t library[8];
  uint32_t* string = library + 2;
  string[0] = tc::SimpleString;
  string[1] = lisp::makeFixnum(3);
  string[2] = 'l' | ('s' << 16);
  string[3] = 'o';
  vxm_lso = gc::addressOf(library);
  vxm_lsoend = gc::addressOf(string + 4);
  const lispval name = lisp::pointerWord(gc::addressOf(string), Tag::Other);
  EXPECT_EQ(print(name), "\"lso\"");
  vxm_lsoend = gc::addressOf(string + 3);  // the string now reaches past the library's end
  EXPECT_EQ(print(name), address("<bad object: 0x%lx>", name));
  vxm_lso = vxm_lsoend = 0;

  // A list on this stack, as dynamic-extent code makes them.
  alignas(8) uint32_t cells[4] = {lisp::makeFixnum(1), 0, lisp::makeFixnum(2), nil()};
  cells[1] = lisp::pointerWord(gc::addressOf(cells + 2), Tag::Cons);
  EXPECT_EQ(print(lisp::pointerWord(gc::addressOf(cells), Tag::Cons)), "(1 2)");
}

TEST_F(ObjectPrinter, TheTopLevelPrinterEndsWithANewline) {
  testing::internal::CaptureStdout();
  lisp_output_object(list(numbers(2)));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "(1 2)\n");
}

TEST_F(ObjectPrinter, DemangleHooks) {
  static int released = 0;
  static char demangled[] = "demangled";
  released = 0;
  const char name[] = "_Z3foov";
  EXPECT_EQ(lisp_demangle_name(name), name);
  EXPECT_EQ(lisp_demangled, 0);

  lisp_demangle_hook = [](const char*) -> char* { return nullptr; };
  lisp_demangle_deallocate_hook = [](char*) { ++released; };
  EXPECT_EQ(lisp_demangle_name(name), name);
  EXPECT_EQ(lisp_demangled, 0);
  lisp_deallocate_demangled_name(name);
  EXPECT_EQ(released, 0);

  lisp_demangle_hook = [](const char*) -> char* { return demangled; };
  const char* result = lisp_demangle_name(name);
  EXPECT_STREQ(result, "demangled");
  EXPECT_EQ(lisp_demangled, 1);
  lisp_deallocate_demangled_name(result);
  lisp_deallocate_demangled_name(result);
  EXPECT_EQ(released, 1);
  EXPECT_EQ(lisp_demangled, 0);
  lisp_demangle_hook = nullptr;
  lisp_demangle_deallocate_hook = nullptr;
}

// Before any heap exists (a crash early in start-up) nothing is read through.
TEST(ObjectPrinterWithoutHeap, EveryPointerIsABadObject) {
  forgetHeaps();
  ASSERT_EQ(GsOldAreas, nullptr);
  alignas(8) const uint32_t local[2] = {};  // a cons-tagged word needs an 8-byte address
  const lispval pointer = lisp::pointerWord(gc::addressOf(local), Tag::Cons);
  const std::string printed =
      captured([&](FILE* file) { lisp_output_object_aux(pointer, file, 0, 0); });
  EXPECT_EQ(printed, format("<bad object: 0x%lx>", static_cast<unsigned long>(pointer)));
  EXPECT_EQ(captured([](FILE* file) { lisp_output_object_aux(lisp::makeFixnum(-3), file, 0, 0); }),
            "-3");
}

// Seeded: random words, every word of the heap (among them containers whose
// slots hold random words) and every heap address with every tag never make
// the printer fault.
TEST_F(ObjectPrinter, NoWordMakesThePrinterFault) {
  std::mt19937 random(20261210);
  const uint32_t heapStart = gc::areaAddress(GsOldAreas), heapBytes = GsNewTop - heapStart;
  auto garbage = [&] {
    const uint32_t word = random();
    switch (word % 3) {
      case 0:
        return word;
      case 1:  // somewhere in the heap, with a pointer tag
        return heapStart + (word >> 2) % heapBytes;
      default:
        return ((heapStart + (word >> 2) % heapBytes) & ~7u) | 1u;
    }
  };
  lispval chain = nil();
  for (int i = 0; i < 200; ++i) chain = cons(garbage(), i % 4 ? chain : garbage());
  for (int i = 0; i < 20; ++i) {
    structure({garbage(), garbage(), chain, garbage()});
    structure({cons(garbage(), garbage()), garbage()});
    entryVector(6, garbage());
    lisp::objectOf<lisp::FunctionObject>(function())->codeVector = garbage();
    at(lisp::objectAddress(symbol(u"S")) + offsetof(lisp::SymbolObject, name)) = garbage();
  }
  FILE* sink = std::fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  lisp_print_length = 1000;
  lisp_print_level = 1000;
  for (int i = 0; i < 200000; ++i) lisp_output_object_aux(random(), sink, 0, 0);
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const gc::GsOldArea* area = GsOldAreas; area; area = area->next) {
    ranges.emplace_back(area->firstObject, area->frontier);
    ranges.emplace_back(area->lowestConsPage, area->end);
  }
  ranges.emplace_back(GsNewOther1, global(gc::global::kNewOtherTop));
  ranges.emplace_back(GsNewAllocationArea.pageLowMark, GsNewAllocationArea.end);
  for (const auto& [start, end] : ranges) {
    for (uint32_t word = start; word < end; word += 4) {
      lisp_output_object_aux(at(word), sink, 0, 0);
      for (uint32_t tag : {1u, 2u, 7u}) lisp_output_object_aux(word + 16 + tag, sink, 0, 0);
    }
  }
  std::fclose(sink);
}

}  // namespace
