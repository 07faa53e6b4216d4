// The runtime's file calls for Lisp code: open, create, read, write, seek,
// truncate, stat, delete, rename, change mode, directory listing and the
// existence test. The file-system dispatcher reaches most of them by service
// code (arguments converted as it describes: paths as native addresses,
// descriptors and flags as fixnums or Lisp words); the exported ones are also
// called directly by foreign calls.
//
// Every call that fails reports through cl_error: the C runtime's errno, or
// the system error code for calls through system file handles, as a fixnum
// (number x 4); 0 on success. Reads and writes return -10 minus the error
// number instead. Files opened here are registered as pseudo descriptors;
// reads, writes and closes go through the host record's hooks.
//
// Linux rendering: the C-runtime path is open/read/lseek64/stat64; a
// "system file handle" (open-mode bit 8, descriptor kind 6) is a Linux file
// descriptor too, whose errors are reported as system error codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {

// ---- words ----
extern int32_t cl_error;           // fixnum: error number x 4, or 0
extern int32_t remote_command_fd;  // set through tcm; -1 until then
// tcm (a, b): keeps a in the runtime's word and b in remote_command_fd; a.
int32_t tcm(int32_t a, int32_t b);

// ---- dispatch services (service code in the comment) ----
int32_t cl_existsp(const char* path);                                      // 0: 4 or 0
lisp::lispval cl_open(const char* path, lisp::lispval input, lisp::lispval output,
                      lisp::lispval mode);                                 // 1
lisp::lispval cl_close(lisp::lispval descriptor);                         // 3: t
int32_t cl_seek(int32_t descriptor, int32_t offset, int32_t origin);       // 5
int32_t cl_write(int32_t descriptor, const char* buffer, int32_t start, int32_t count);  // 8
int32_t cl_read(int32_t descriptor, char* buffer, int32_t start, int32_t count);         // 9
lisp::lispval cl_stat(const char* path, lisp::lispval record, lisp::lispval);            // 10
lisp::lispval cl_fnstat(lisp::lispval descriptor, lisp::lispval record);                 // 11
lisp::lispval cl_delete(char* path);                                                     // 12
lisp::lispval cl_rename(char* oldPath, char* newPath);                                   // 13
int32_t cl_opendir(const char* path);                                                    // 14
const char* cl_readdir(int32_t listing);                                                 // 15
lisp::lispval cl_closedir(int32_t listing);                                              // 16
int32_t cl_select_read(int32_t descriptor, char* buffer, int32_t start, int32_t count);  // 18
int32_t fcntl_ndelay(int32_t descriptor, int32_t flag);                                  // 20
int32_t cl_readlink(const char* path, char* buffer, int32_t length);                     // 24
lisp::lispval cl_create_x(const char* path, int32_t mode);                               // 26
lisp::lispval cl_set_time_from_file(char* source, char* target);                         // 27
lisp::lispval cl_chmod(char* path, int32_t mode);                                        // 29

// ---- further calls ----
int32_t cl_select_write(int32_t descriptor, const char* buffer, int32_t start, int32_t count);
// A C-runtime descriptor (not registered) for a new or emptied file; -1.
int32_t cl_creat(const char* path, int32_t permission);
// t when input is ready on the descriptor without waiting, else nil.
lisp::lispval cl_no_hang(int32_t descriptor);
// Seeks a kind-1 descriptor to the 64-bit position at `position` and stores
// the result (or -1) there; the errno of the call (0 on success).
int32_t cl_seek64(int32_t descriptor, int64_t* position, int32_t origin);
// Sets the length of a C-runtime descriptor, keeping its position: 0, or -2
// (position unknown), -3 (cannot move), -4 (cannot set the end), -5 (cannot
// move back) with errno set. Exported under this name, since `ftruncate`
// is the C library's.
int32_t fio_ftruncate(int32_t fd, uint32_t lengthLow, int32_t lengthHigh);
// The same for a kind-1 pseudo descriptor and the 64-bit length at `length`;
// -1 with errno 9 or 22 when either is bad.
int32_t cl_ftruncate64(int32_t descriptor, const int64_t* length);
// 64-bit seek and size on a system file handle: 1, or 0 with the system
// error set.
int32_t VXM_SetFilePointerEx(uint32_t handle, uint32_t distanceLow, int32_t distanceHigh,
                             int64_t* newPosition, int32_t method);
int32_t VXM_GetFileSizeEx(uint32_t handle, int64_t* size);
// The working directory into a 512-byte buffer: its length for drive 0, 0
// for any drive letter or on failure.
int32_t computewd(char* buffer, int32_t drive);

// ---- stat records ----
// The Lisp stat record: 15 words the caller supplies, of which words 1, 2
// and 10 are left alone. Sizes are split into 32-bit halves; times count
// seconds from 2015-01-01 00:00:00 UTC.
struct cl_stat_buf {
  int32_t sizeLow;      // 0
  int32_t callersWord1;
  int32_t callersWord2;
  int32_t mode;         // 3 st_mode, unsigned 16-bit
  int32_t user;         // 4
  int32_t group;        // 5
  int32_t fileType;     // 6 kFileType*
  int32_t inode;        // 7 unsigned 16-bit
  int32_t device;       // 8
  int32_t zero;         // 9
  int32_t callersWord10;
  int32_t modified;     // 11
  int32_t accessed;     // 12
  int32_t changed;      // 13
  int32_t sizeHigh;     // 14
};
static_assert(sizeof(cl_stat_buf) == 15 * 4);
static_assert(offsetof(cl_stat_buf, sizeLow) == 0 * 4);
static_assert(offsetof(cl_stat_buf, mode) == 3 * 4);
static_assert(offsetof(cl_stat_buf, user) == 4 * 4);
static_assert(offsetof(cl_stat_buf, group) == 5 * 4);
static_assert(offsetof(cl_stat_buf, fileType) == 6 * 4);
static_assert(offsetof(cl_stat_buf, inode) == 7 * 4);
static_assert(offsetof(cl_stat_buf, device) == 8 * 4);
static_assert(offsetof(cl_stat_buf, zero) == 9 * 4);
static_assert(offsetof(cl_stat_buf, modified) == 11 * 4);
static_assert(offsetof(cl_stat_buf, accessed) == 12 * 4);
static_assert(offsetof(cl_stat_buf, changed) == 13 * 4);
static_assert(offsetof(cl_stat_buf, sizeHigh) == 14 * 4);

// Fills the record from mystat and clears cl_error.
void finishstat(cl_stat_buf* record);
}

namespace lisp::fio {

// Open-mode bits of cl_open (after the fixnum shift) and cl_create_x.
inline constexpr uint32_t kModeText = 2;
inline constexpr uint32_t kModeTruncate = 4;
inline constexpr uint32_t kModeSystemHandle = 8;
inline constexpr uint32_t kModeAppend = 0x10;
inline constexpr uint32_t kModeInherited = 0x20;


// File type codes of word 6.
inline constexpr int32_t kFileTypeRegular = 0;
inline constexpr int32_t kFileTypeDirectory = 1;
inline constexpr int32_t kFileTypeOther = 2;
inline constexpr int32_t kFileTypeCharacterDevice = 6;

// Record times count from 2015-01-01 00:00:00 UTC.
inline constexpr int64_t kRuntimeEpoch = 1420070400;

}  // namespace lisp::fio
