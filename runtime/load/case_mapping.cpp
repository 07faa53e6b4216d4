// Case tables and the name conversions over them.
//
// Invariant: once built, every one of the 256 pointers of each trie points at
// a whole page of 256 entries (a constant page or the shared zero page), so a
// lookup of any 16-bit character stays inside constant data.

#include "runtime/load/case_mapping.h"

#include "runtime/gc/gc_state.h"
#include "runtime/load/case_pages.h"
#include "runtime/load/fasl_format.h"

extern "C" {
case_trie lc_to_uc_trie = {};
case_trie uc_to_lc_trie = {};
uint32_t mixed_case_convert = lisp::case_mapping::kMixedCaseConvertAtLoad;
}

namespace {

using lisp::case_pages::CasePage;

const CasePage kZeroPage = {};

using PageOfRow = const CasePage* lisp::case_pages::PageRow::*;

// Every pointer at the zero page, then the pages that have pairs.
void fill(case_trie& trie, PageOfRow page) {
  for (const uint16_t*& entry : trie) entry = kZeroPage.data();
  for (const lisp::case_pages::PageRow& row : lisp::case_pages::kPages)
    trie[row.highByte] = (row.*page)->data();
}

// Fills the trie and, once nil exists, puts its raw address in the global.
void build(case_trie& trie, PageOfRow page, uint32_t global) {
  fill(trie, page);
  if (nilval != 0)
    lisp::wordAt(nilval, lisp::fasl::runtimeGlobalOffset(global)) =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&trie));
}

// Whether any character has an entry in the trie.
bool anyMapped(const case_trie& trie, const uint16_t* characters, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (lisp::case_mapping::mapped(trie, characters[i]) != 0) return true;
  return false;
}

// Maps through `through`; with mixed_case_convert 0, text that `other`
// (the reverse table) finds a letter in is left alone.
void convert(const case_trie& through, const case_trie& other, uint16_t* characters,
             uint32_t count) {
  // A conversion before start-up built the tries fills them first (the
  // globals are start-up's to set).
  if (through[0] == nullptr || other[0] == nullptr) {
    fill(lc_to_uc_trie, &lisp::case_pages::PageRow::lowerToUpper);
    fill(uc_to_lc_trie, &lisp::case_pages::PageRow::upperToLower);
  }
  if (mixed_case_convert == 0 && anyMapped(other, characters, count)) return;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t to = lisp::case_mapping::mapped(through, characters[i]);
    if (to != 0) characters[i] = to;
  }
}

}  // namespace

extern "C" {

void build_lc_to_uc_trie() {
  build(lc_to_uc_trie, &lisp::case_pages::PageRow::lowerToUpper,
        lisp::case_mapping::kLowerToUpperGlobal);
}

void build_uc_to_lc_trie() {
  build(uc_to_lc_trie, &lisp::case_pages::PageRow::upperToLower,
        lisp::case_mapping::kUpperToLowerGlobal);
}

void cvttoupper(uint16_t* characters, uint32_t count) {
  convert(lc_to_uc_trie, uc_to_lc_trie, characters, count);
}

void cvttolower(uint16_t* characters, uint32_t count) {
  convert(uc_to_lc_trie, lc_to_uc_trie, characters, count);
}

}  // extern "C"
