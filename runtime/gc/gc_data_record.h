// The collector's variables as one record of 104 words, saved in the heap
// image's native-variable block and stored back when the image is restored.
#pragma once

#include <array>
#include <cstdint>

namespace gc {

inline constexpr uint32_t kGcDataWords = 104;
inline constexpr uint32_t kGcDataBytes = kGcDataWords * 4;
static_assert(kGcDataBytes == 416);

// One row per word of the record, in record order; unused words have no variable.
struct GcDataWord {
  const char* name;
  void* variable;  // a 32-bit variable, or nullptr
};
extern const std::array<GcDataWord, kGcDataWords> kGcDataWordsTable;

}  // namespace gc

extern "C" {
void capture_gc_data(uint32_t record[gc::kGcDataWords]);
// Stores every word back and recomputes maxheapsize from the bitmap's size.
void restore_gc_data(const uint32_t record[gc::kGcDataWords]);
}
