// The constant pages of the two case tables: for each high byte that has
// case pairs, one page of 256 16-bit entries per direction (0: no mapping).
// The pages are generated data (case_pages.cpp); every other high byte
// shares one page of zeros.
#pragma once

#include <array>
#include <cstdint>

namespace lisp::case_pages {

using CasePage = std::array<uint16_t, 256>;

struct PageRow {
  uint8_t highByte;
  const CasePage* lowerToUpper;
  const CasePage* upperToLower;
};

inline constexpr int kPageCount = 11;  // high bytes 0x00-0x05, 0x1E, 0x1F, 0x21, 0x24, 0xFF
extern const PageRow kPages[kPageCount];

}  // namespace lisp::case_pages
