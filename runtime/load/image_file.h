// The heap image file (".vxi"): a snapshot of the Lisp heap's areas, the
// native heap, the runtime's native variables and the launcher's splash
// pictures. save_image_file writes one; restore_image_file places both heaps
// at their saved addresses (or moves the Lisp heap) and continues in
// lisp_main_reborn.
//
// File layout, by offset: the header, the area table, the native-variable
// block, the splash blocks, the Lisp heap areas, the native heap contents;
// areas and the native heap each start on a 64 KB boundary of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/gc/heap_reservation.h"

extern "C" {

// ---- the format ----

inline constexpr uint8_t kImageMagic = 0x84;
inline constexpr uint8_t kImageVersion = 37;
inline constexpr uint16_t kImageInternationalFlag = 1;  // written always, required when read
inline constexpr uint32_t kImageVariablesOffset = 0xC060;
inline constexpr uint32_t kImageMaxAreas = 4096;
inline constexpr uint32_t kImageAlignment = 0x10000;  // file offsets and addresses of areas

struct image_header {
  uint8_t magic;
  uint8_t version;
  uint16_t flags;
  uint32_t variables_offset;  // always kImageVariablesOffset
  uint32_t reserved[3];
  uint32_t checksum;  // 0: none
  heap_descriptor lisp_heap;
  heap_descriptor vxmmalloc_heap;
  uint32_t native_heap_offset;  // 0 when the native heap is empty
  uint32_t splash_offset[2];    // 0 when there are no splash blocks
  uint32_t splash_length[2];
};
static_assert(offsetof(image_header, version) == 1);
static_assert(offsetof(image_header, flags) == 2);
static_assert(offsetof(image_header, variables_offset) == 4);
static_assert(offsetof(image_header, reserved) == 8);
static_assert(offsetof(image_header, checksum) == 20);
static_assert(offsetof(image_header, lisp_heap) == 24);
static_assert(offsetof(image_header, vxmmalloc_heap) == 48);
static_assert(offsetof(image_header, native_heap_offset) == 72);
static_assert(offsetof(image_header, splash_offset) == 76);
static_assert(offsetof(image_header, splash_length) == 84);
static_assert(sizeof(image_header) == 92);

struct image_area_entry {
  uint32_t file_offset;
  uint32_t address;
  uint32_t length;  // 0: merged into the entry before it, no contents
};
static_assert(offsetof(image_area_entry, address) == 4);
static_assert(offsetof(image_area_entry, length) == 8);
static_assert(sizeof(image_area_entry) == 12);

// Entries at and beyond the count are zeros.
struct image_area_table {
  uint32_t count;
  image_area_entry entries[kImageMaxAreas];
};
static_assert(offsetof(image_area_table, entries) == 4);
static_assert(sizeof(image_area_table) == 49156);
static_assert(sizeof(image_header) + sizeof(image_area_table) == kImageVariablesOffset);

// ---- state ----

extern uint32_t lisp_heap_offset;       // how far the Lisp heap moved on restore
extern uint32_t vxmmalloc_heap_offset;  // how far the native heap moved on restore
extern int disallow_mapping;            // 1: read the image instead of mapping it

// ---- writer ----

inline constexpr int kSaveOk = 0;
inline constexpr int kSaveCannotCreate = 3;
inline constexpr int kSaveWriteFailed = 4;
inline constexpr int kSaveTooManyAreas = 11;
int save_image_file(const char* name, uint32_t unused);

// ---- reader ----

// Does not return when it succeeds; on failure prints one message on
// standard error and returns.
void restore_image_file(const char* imageName, int argc, char** argv, char** envp);

// The wrapping sum of the little-endian words from the file's position to its
// end. *readError is set to 1 when a read failed (the sum is then meaningless).
uint32_t calc_checksum(int file, int* readError);
// Places the region; 1 with the distance it moved in *offset, 0 when no
// place was found.
int locate_free_space(heap_descriptor* descriptor, uint32_t* offset);
int ok_to_map(uint32_t start, uint32_t end);
int write_all_bytes(int file, const void* buffer, uint32_t count);
// lseek with a 32-bit distance; SEEK_SET takes it unsigned. The new
// position, or -1.
int64_t VXM_SetFilePointer(int file, int32_t distance, int method);
}

namespace image_file {

// Checks a header and area table against each other and the file's size,
// before any of it is used. Returns the message to print, or nullptr when the
// image is sound. `table` may be null to check the header alone.
const char* validateImage(const image_header& header, const image_area_table* table,
                          uint64_t fileBytes);

// Moves the runtime's own words that name the Lisp heap (nil, t, the unbound
// marker, the global register and table words, the first old area and the
// open-area fence) by `offset`, the heap having been saved at
// [savedBase, savedCommittedEnd); the heap relocation moves the rest.
void moveRuntimeWords(uint32_t offset, uint32_t savedBase, uint32_t savedCommittedEnd);

// ---- test hooks ----

// Replaces the call of lisp_main_reborn at the end of a successful restore.
using RebornHook = void (*)(int argc, char** argv, char** envp);
void setRebornHook(RebornHook hook);
// Returning true makes write_all_bytes fail without writing.
using WriteFaultHook = bool (*)(uint32_t count);
void setWriteFaultHook(WriteFaultHook hook);

}  // namespace image_file
