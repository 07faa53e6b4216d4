// Code jettisoning: code vectors moved out of the heap into the code file
// (or dumped into a plain file for inspection), and reloaded one at a time
// when a function whose code was moved is first called.
//
// Code file, little-endian: a 4-byte time stamp, then one record per
// jettisoned code vector: a 4-byte length L and the vector's L bytes, header
// included. A record's file offset (that of its length word) is its key: the
// function that lost its code holds it as a fixnum in its code-vector slot,
// and the vector's last word holds it too.
//
// Dump file: a 4-byte total file length, then per code vector its 4-byte
// heap address, 4-byte length and bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "runtime/load/native_variables.h"
#include "runtime/rs/lisp_value.h"

namespace jetcode {

inline constexpr uint32_t kStampBytes = 4;
inline constexpr uint32_t kLengthBytes = 4;
inline constexpr uint32_t kFirstRecord = kStampBytes;
inline constexpr uint32_t kNeverWritten = 0xffffffff;  // a code vector's last word
inline constexpr uint32_t kSwapNameBytes = 100;        // 99 characters and a zero
inline constexpr uint32_t kCodeVectorType = 108;
inline constexpr uint32_t kFunctionType = 8;
// The corruption message shows at most this many characters of a name.
inline constexpr uint32_t kNameCharactersShown = 200;

// jc_state
inline constexpr int32_t kNoCodeFile = 0;
inline constexpr int32_t kCreatedThisRun = 1;  // can be extended
inline constexpr int32_t kInherited = 2;       // from an image: read only

// jc_errors bits, printed in this order
inline constexpr uint32_t kNewVectorsAfterTable = 0x1;
inline constexpr uint32_t kWriteFailed = 0x2;
inline constexpr uint32_t kBadObject = 0x4;
inline constexpr uint32_t kOpenFailed = 0x8;
inline constexpr uint32_t kPositionFailed = 0x10;
inline constexpr uint32_t kInitializationFailed = 0x20;
inline constexpr uint32_t kTimestampMismatch = 0x40;

// pageinfcn's failures (raw words the reload trampoline sees as fixnums)
inline constexpr uint32_t kReloadCannotOpen = 4;
inline constexpr uint32_t kReloadSeekFailed = 8;
inline constexpr uint32_t kReloadShortRead = 12;
inline constexpr uint32_t kReloadBadStamp = 16;

// Bytes of a code vector whose header is `header`: whole 8-byte units.
constexpr uint32_t codeVectorBytes(uint32_t header) {
  return 8 * (((header >> 8) + 5) >> 2);
}

// The saved variables, in their saved order (jetcode_v_marsh walks them).
extern const std::span<const native_variables::SavedVariable> kSavedVariables;

}  // namespace jetcode

extern "C" {

// ---- state (jc_swapfile and jc_tstamp are saved with the image) ----
extern char jc_swapfile[jetcode::kSwapNameBytes];
extern uint32_t jc_tstamp;
extern int32_t jc_state;
extern int32_t jc_tempswap;
extern int32_t jc_file;  // -1 when closed
extern uint32_t jc_errors;
extern uint32_t page_out_fcn, page_out_bytes;
extern uint32_t jc_release_fcn, jc_release_bytes;
extern uint32_t page_in_fcn, page_in_bytes;
extern uint32_t jc_last_cloc, jc_last_csize;
// The code vectors live on some stack during a jettison (a simple vector,
// nil outside one), its size, and the number of stack scans.
extern lisp::lispval jc_cvset;
extern int32_t jc_fcount1;
extern int32_t jc_scount;

// Moves every code vector not live on a stack into the code file and
// releases it (swap), or dumps every code vector into `path` (no swap).
// A null or empty path swaps into a temporary code file. Prints the error
// bits and, when noisy, what was written and released. Returns jc_errors.
uint32_t jettisoncode(const char* path, int32_t swap, int32_t noisy);
void jc_process(const char* path, int32_t swap, int32_t noisy);
// Connects the code file for appending; 1 when done, else 0.
int32_t jc_connect_swap(const char* path, int32_t noisy);
// Fills jc_cvset with the code vectors that stacks hold, and checks new space.
void jc_gather(int32_t noisy);
// Notes the code vectors on the stacks of all threads: counts them, and
// with `fill` stores them into jc_cvset. Returns the count.
uint32_t jc_scanstacks(int32_t fill);
// Releases or dumps the code of every function in [first, frontier).
void jc_cleararea(uint32_t first, uint32_t frontier, int32_t newSpace, FILE* dump);
void jc_fixfunc(uint32_t function, FILE* dump);
void jc_flush(uint32_t function, uint32_t vector);
void jc_dump(uint32_t function, uint32_t vector, FILE* dump);
// One fwrite of a code vector's bytes; nonzero when fewer were written.
int32_t md_writecv(uint32_t function, const void* data, uint32_t length, FILE* file);

// Reloads the code vector recorded at `place` of the code file. `name` is
// the address of the characters of a Lisp string naming the function (0:
// none), for the corruption message. Returns the new code vector, or the
// raw word 4, 8, 12 or 16 (see jetcode::kReload*), which Lisp sees as a
// fixnum.
lisp::lispval pageinfcn(uint32_t place, uint32_t name);

// Start-up: forgets the descriptor, and an image's code file becomes read only.
void jc_start();
// 0 when an image saved now would refer to a temporary code file, else 1.
int32_t jc_dumpcheck();
}
