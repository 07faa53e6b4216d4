// The two case tables (lower to upper, upper to lower) over 16-bit
// characters, and the in-place conversions that the fasl loaders apply to
// names. Each table is a trie: 256 page pointers indexed by the high byte,
// each page 256 entries indexed by the low byte; an entry holds the mapped
// character or 0 for none. The pages are constant; start-up fills the
// pointer arrays and hands them to compiled code through two runtime globals.
#pragma once

#include <cstdint>

extern "C" {

using case_trie = const uint16_t* [256];

extern case_trie lc_to_uc_trie;
extern case_trie uc_to_lc_trie;

// Whether conversion also changes text that holds letters of the other case
// (0: such text is left alone). Saved with the image by the fsys module.
extern uint32_t mixed_case_convert;

// Fill the pointer arrays and store their addresses in runtime globals 287
// and 288 (raw addresses). Start-up calls both before Lisp code runs.
void build_lc_to_uc_trie();
void build_uc_to_lc_trie();

// Convert `count` characters in place (see mixed_case_convert).
void cvttoupper(uint16_t* characters, uint32_t count);
void cvttolower(uint16_t* characters, uint32_t count);
}

namespace lisp::case_mapping {

inline constexpr uint32_t kLowerToUpperGlobal = 287;
inline constexpr uint32_t kUpperToLowerGlobal = 288;
inline constexpr uint32_t kMixedCaseConvertAtLoad = 4;

// The mapping of one character through a filled trie; 0 for none.
inline uint16_t mapped(const case_trie& trie, uint16_t character) {
  return trie[character >> 8][character & 0xff];
}

}  // namespace lisp::case_mapping
