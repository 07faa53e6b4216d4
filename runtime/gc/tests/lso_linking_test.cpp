// Linking a heap to a pure library attached while the Lisp runs: names,
// function constants and code vectors with a twin in the library are
// replaced by it, and a frame returning into a replaced code vector returns
// into the library's copy.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/heap_relocation.h"
#include "runtime/gc/tests/gc_call_probe.h"
#include "runtime/gc/tests/global_heap_fixture.h"
#include "runtime/load/pure_library.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/os/profiler_timer.h"
#include "testing/pure_library_file.h"
#include "testing/temp_path.h"

extern "C" void lso_link_probe();

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::Tag;

uint32_t g_linkEntry = 0;

class LsoLinking : public gc_test::GlobalHeap {
 protected:
  void SetUp() override {
    GlobalHeap::SetUp();
    forgetLibrary();
    host_os = 1;
    dep_style_vpl = 1;  // the library's code runs
  }
  void TearDown() override {
    forgetLibrary();
    dep_style_vpl = 0;
    GlobalHeap::TearDown();
  }
  static void forgetLibrary() {
    unmap_lso_file();
    lso_file[0] = '\0';
    lsoinit();
  }
  void mapLibrary(const testing_support::LibraryContents& contents) {
    const std::vector<uint8_t> bytes = testing_support::libraryBytes(contents);
    const std::string path = testing_support::processTempPath("linking_test.vpl");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    std::strcpy(lso_file, path.c_str());
    ASSERT_EQ(map_lso_file(lisp_heap.base), 0);
    ASSERT_NE(vxm_lso, 0u);
  }
  static bool inLibrary(lispval value) {
    return lisp::objectAddress(value) >= vxm_lso && lisp::objectAddress(value) < vxm_lsoend;
  }
  // The library's first code object and first string.
  static uint32_t libraryCode() { return vxm_cvsh + at(vxm_cvsh); }
  static uint32_t libraryString() { return vxm_strh + at(vxm_strh); }

  // A code vector of the probe whose call returns to code that reports
  // where it runs (call $+5; pop eax).
  lispval probeCodeVector() {
    const lispval code = oldCodeVector();
    const uint32_t vector = lisp::objectAddress(code);
    gc_test::writeGcCallingCode(vector, &g_linkEntry);
    const uint8_t whereAmI[] = {0xe8, 0, 0, 0, 0, 0x58, 0xc9, 0xc3};
    std::memcpy(reinterpret_cast<void*>(vector + 4 + returnOffset()), whereAmI, sizeof whereAmI);
    return code;
  }
  static uint32_t returnOffset() { return gc_test::gcCallingCode(&g_linkEntry).size() - 2; }
  static std::vector<uint8_t> codeBytes(lispval code) {
    const uint32_t vector = lisp::objectAddress(code);
    const uint32_t units = (at(vector) >> 8) - lisp::kCodeVectorExtraUnits;
    const auto* first = reinterpret_cast<const uint8_t*>(vector + 4);
    return {first, first + 2 * units};
  }
};

TEST_F(LsoLinking, TwinsReplaceHeapCopiesAndAFrameReturnsIntoTheLibrary) {
  g_linkEntry = gc::addressOf(reinterpret_cast<void*>(&lso_link_probe));
  const lispval code = probeCodeVector();
  const lispval function = oldFunction(code);
  const lispval name = oldString(5);  // "abcde"
  const lispval lonely = oldString(7);
  const lispval symbol = oldSymbol(nil());
  lisp::objectOf<lisp::SymbolObject>(symbol)->name = name;
  const lispval lonelySymbol = oldSymbol(nil());
  lisp::objectOf<lisp::SymbolObject>(lonelySymbol)->name = lonely;
  const uint32_t constants = lisp::objectAddress(function) + 36;
  at(constants) = oldString(5);
  at(constants + 4) = lonely;
  root(0, function);
  root(1, symbol);
  root(2, lonelySymbol);
  mapLibrary({.code = {{0x77, codeBytes(code)}}, .strings = {u"abcde"}});
  const uint32_t heapCode = lisp::objectAddress(code);

  const testing_support::LispCallResult result = gc_test::runGcCallingCode(heapCode, nil());

  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.edi, nil());
  EXPECT_EQ(result.eax, libraryCode() + 4 + returnOffset() + 5)
      << "ran at 0x" << std::hex << result.eax << ", the heap copy is at 0x" << heapCode;
  const uint32_t f = lisp::objectAddress(function);
  EXPECT_EQ(at(f + 16), lisp::pointerWord(libraryCode(), Tag::Other));
  EXPECT_EQ(at(f + 4), libraryCode() + 4) << "the entry is the copy's first instruction";
  EXPECT_EQ(lisp::objectOf<lisp::SymbolObject>(symbol)->name,
            lisp::pointerWord(libraryString(), Tag::Other));
  EXPECT_EQ(at(constants), lisp::pointerWord(libraryString(), Tag::Other));
  EXPECT_EQ(at(constants + 4), lonely) << "no twin: the heap string stays";
  EXPECT_EQ(lisp::objectOf<lisp::SymbolObject>(lonelySymbol)->name, lonely);
}

TEST_F(LsoLinking, ATrampolineEntryStaysAndANewSpaceCodeVectorIsFound) {
  const lispval code = oldCodeVector();
  const uint32_t trampoline = global(lisp::nil_block::kTrampolineCopies[1].global);
  const lispval function = oldFunction(code, trampoline);
  root(0, function);
  mapLibrary({.code = {{0x5, codeBytes(code)}}});
  link_lso_file();
  const uint32_t f = lisp::objectAddress(function);
  EXPECT_EQ(at(f + 16), lisp::pointerWord(libraryCode(), Tag::Other));
  EXPECT_EQ(at(f + 4), trampoline);

  // The lookup of a return address through the page maps: new space and
  // an old area, from inside to the last byte.
  const uint32_t young = other_from_new_xsmp(64);
  at(young) = lisp::headerWord(127);
  at(young + 4) = lisp::makeFixnum(14);
  EXPECT_EQ(llf_scan_new(young + 63), young);
  EXPECT_EQ(llf_scan_new(young + 64), 0u);
  const uint32_t old = lisp::objectAddress(code);
  EXPECT_EQ(llf_scan_old(GsOldAreas, old + 5), old);
  EXPECT_EQ(llf_scan_old(GsOldAreas, GsOldAreas->frontier), 0u);
}

// A library that lies elsewhere than recorded: the heap's references into
// it move with it, and its own words are read again at its new place.
TEST_F(LsoLinking, ReferencesIntoAMovedLibraryFollowIt) {
  const lispval code = oldCodeVector();
  const lispval function = oldFunction(code);
  const lispval symbol = oldSymbol(nil());
  lisp::objectOf<lisp::SymbolObject>(symbol)->name = oldString(5);
  root(0, function);
  root(1, symbol);
  mapLibrary({.code = {{0x5, codeBytes(code)}}, .strings = {u"abcde"}});
  link_lso_file();
  const uint32_t recorded = vxm_lso;
  const uint32_t bytes = vxm_lsoend - vxm_lso;
  const uint32_t oldCode = libraryCode();
  const uint32_t oldString = libraryString();

  // The same bytes at another place, 64 KB-aligned, below the heap.
  const uint32_t place =
      static_cast<uint32_t>(platform::findFreeRange(0x10000000, bytes + 0x10000, 0x10000));
  ASSERT_NE(place, 0u);
  ASSERT_EQ(platform::reserveAddressSpace(place, bytes), place);
  ASSERT_TRUE(platform::commitMemory(place, bytes));
  std::memcpy(reinterpret_cast<void*>(place), reinterpret_cast<const void*>(recorded), bytes);
  const int32_t delta = static_cast<int32_t>(place - recorded);

  ASSERT_EQ(gc_relocate_heap(&lisp_heap, 0, delta), 1);
  EXPECT_EQ(vxm_lso, place);
  EXPECT_EQ(vxm_lsoend, place + bytes);
  const uint32_t f = lisp::objectAddress(function);
  EXPECT_EQ(at(f + 16), lisp::pointerWord(oldCode + delta, Tag::Other));
  EXPECT_EQ(at(f + 4), oldCode + delta + 4) << "the entry moves with the library";
  EXPECT_EQ(lisp::objectOf<lisp::SymbolObject>(symbol)->name,
            lisp::pointerWord(oldString + delta, Tag::Other));
  EXPECT_EQ(rms_offset, 0);
  // The copy goes; the mapping of the file stays the one to forget.
  vxm_lso = recorded;
  vxm_lsoend = recorded + bytes;
  platform::releaseAddressSpace(place, bytes);
}

}  // namespace
