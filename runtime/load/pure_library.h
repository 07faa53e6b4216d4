// The pure Lisp library: a file of read-only code vectors and strings that
// lies outside the collected heap. It is mapped whole, never copied, checked
// against the time stamp and version that the image expects, and at most one
// is attached per process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/load/pure_library_bounds.h"

extern "C" {

inline constexpr int kLsoNameBytes = 512;

// The file's header, little-endian at offset 0. Offsets count from the
// file's start; a string-section offset of 0 means there is none.
struct lso_header {
  uint16_t magic;  // kLsoMagic
  uint16_t version;
  uint32_t timestamp;
  uint32_t unused;  // not read by the runtime
  uint32_t code_start;
  uint32_t code_fill;
  uint32_t code_length;
  uint32_t string_start;
  uint32_t string_fill;
  uint32_t string_length;
};
static_assert(offsetof(lso_header, version) == 2);
static_assert(offsetof(lso_header, timestamp) == 4);
static_assert(offsetof(lso_header, code_start) == 12);
static_assert(offsetof(lso_header, code_fill) == 16);
static_assert(offsetof(lso_header, code_length) == 20);
static_assert(offsetof(lso_header, string_start) == 24);
static_assert(offsetof(lso_header, string_fill) == 28);
static_assert(offsetof(lso_header, string_length) == 32);
static_assert(sizeof(lso_header) == 36);
inline constexpr uint16_t kLsoMagic = 0x01FD;

// ---- where the library lies (all saved with the image; its start
//      vxm_lso and end vxm_lsoend are in pure_library_bounds.h) ----
extern uint32_t vxm_cvsh, vxm_cvsp, vxm_cvsend;  // code section: start, fill point, end
extern uint32_t vxm_strh, vxm_strp, vxm_strend;  // string section: start, fill point, end
// Empty sections that the pointers name when there is no library.
extern uint32_t xvxm_cvs[2];
extern uint32_t xvxm_str[2];
extern uint32_t vxm_timestamp;   // what the image expects
extern uint16_t vxm_lsoversion;  // what the image expects
extern uint32_t vxm_lsoh;        // the header lsoinit_text examines
extern uint32_t vxm_cvs[9];      // the built-in library area (see lso_hdr_init)

// ---- which library ----
extern char lso_file[kLsoNameBytes];
extern int use_lso_file;  // 1 when the build named a library
extern char vpl_given_arg[kLsoNameBytes];
extern int dep_style_vpl;  // 1: map the library executable
extern uint32_t print_lso_relocation;

void lsoinit();
void lso_hdr_init();
void lsoinit_text();
void map_lso_from_addr(uint32_t headerAddress);
// Maps the file named by lso_file; the distance it moved from vxm_lso (0 for
// a first mapping or when it stays). Every failure ends the process (-1).
int32_t map_lso_file(uint32_t addressLimit);
// Where a library of `size` bytes would best go below `addressLimit`; 0 when
// there is no such place.
uint32_t preferred_lso_addr(uint32_t addressLimit, uint32_t size);
int unmap_lso_file();
void reborn_find_lso_file(int debug);

// System-call services for Lisp code.
void set_lso_file(const char* name);
const char* get_lso_file();

// Runtime routine (Lisp conventions): eax = a Lisp value; eax := t when the
// value minus 16 lies strictly between vxm_lso and vxm_lsoend, else nil.
void purep();
}
