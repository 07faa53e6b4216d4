// A native function on Linux reports its failure in errno only; the
// platform layer and the host record's hooks report theirs in the thread's
// two error words (the runtime errno and the last system error). The values
// read errno first, translated (0 stays 0 in both numberings), and the
// thread's words when errno is clear, so that a failure reported either way
// is seen. Clearing clears all three.

#include "runtime/os/errno_values.h"

#include <cerrno>

#include "platform/error_numbers.h"

int32_t errno_value() {
  return errno == 0 ? *platform::runtimeErrnoAddress() : platform::runtimeErrnoFromLinux(errno);
}

void clear_errno_value() {
  errno = 0;
  *platform::runtimeErrnoAddress() = 0;
  platform::setLastSystemError(0);
}

uint32_t last_error_value() {
  return errno == 0 ? platform::lastSystemError() : platform::systemErrorFromLinux(errno);
}

constexpr win_err_to_errno_pair win_err_to_errno_map[] = {
    {1, 22},   {2, 2},    {3, 2},    {4, 24},   {5, 13},    {6, 9},    {7, 12},   {8, 12},
    {9, 12},   {10, 7},   {11, 8},   {12, 22},  {13, 22},   {15, 2},   {16, 13},  {17, 18},
    {18, 2},   {33, 13},  {53, 2},   {65, 13},  {67, 2},    {80, 17},  {82, 13},  {83, 13},
    {87, 22},  {89, 11},  {108, 13}, {109, 32}, {112, 28},  {114, 9},  {128, 10}, {129, 10},
    {130, 9},  {131, 22}, {132, 13}, {145, 41}, {158, 13},  {161, 2},  {164, 11}, {167, 13},
    {183, 17}, {206, 2},  {215, 11}, {1816, 12}, {-1, -1},
};

namespace {
// Ranges of codes without a pair of their own.
constexpr int32_t kFirstAccessCode = 19, kLastAccessCode = 36, kAccessErrno = 13;
constexpr int32_t kFirstExecCode = 188, kLastExecCode = 202, kExecErrno = 8;
constexpr int32_t kOtherErrno = 22;
}  // namespace

int32_t win_err_to_errno(int32_t systemError) {
  for (const win_err_to_errno_pair* pair = win_err_to_errno_map; pair->systemError != -1; ++pair)
    if (pair->systemError == systemError) return pair->errnoValue;
  if (systemError >= kFirstAccessCode && systemError <= kLastAccessCode) return kAccessErrno;
  if (systemError >= kFirstExecCode && systemError <= kLastExecCode) return kExecErrno;
  return kOtherErrno;
}
