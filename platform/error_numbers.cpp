// Translation tables from Linux errno values, and the per-thread error words.

#include "platform/error_numbers.h"

#include <cerrno>
#include <cstddef>

namespace platform {
namespace {

struct Translation {
  int linuxErrno;
  int32_t value;
};

// The C runtime's numbers equal Linux's from 1 to 34, except at the two that
// it never defined (ENOTBLK 15, ETXTBSY 26); above 34 they differ.
constexpr int kLastSharedRuntimeErrno = 34;
constexpr int32_t kRuntimeEinval = 22;
constexpr Translation kRuntimeErrnos[] = {
    {ENOTBLK, kRuntimeEinval},
    {ETXTBSY, 16 /* EBUSY */},
    {EDEADLK, 36},
    {ENAMETOOLONG, 38},
    {ENOLCK, 39},
    {ENOSYS, 40},
    {ENOTEMPTY, 41},
    {EILSEQ, 42},
};

constexpr Translation kSystemErrors[] = {
    {EPERM, 5},       {ENOENT, 2},      {EINTR, 995},   {EIO, 1117},       {E2BIG, 10},
    {ENOEXEC, 193},   {EBADF, 6},       {ECHILD, 128},  {EAGAIN, 232},     {ENOMEM, 8},
    {EACCES, 5},      {EFAULT, 487},    {EBUSY, 170},   {EEXIST, 80},      {EXDEV, 17},
    {ENODEV, 15},     {ENOTDIR, 3},     {EISDIR, 5},    {EINVAL, 87},      {ENFILE, 4},
    {EMFILE, 4},      {ENOTTY, 1},      {ETXTBSY, 32},  {EFBIG, 223},      {ENOSPC, 112},
    {ESPIPE, 132},    {EROFS, 19},      {EMLINK, 1142}, {EPIPE, 109},      {ENAMETOOLONG, 206},
    {ENOSYS, 50},     {ENOTEMPTY, 145}, {ELOOP, 1921},  {ETIMEDOUT, 1460}, {ECANCELED, 995},
    {EOPNOTSUPP, 50},
};

// Socket errors are 10000 + the BSD errno number; Linux numbers its socket
// errors differently. EPIPE (writing to a closed connection) has no socket
// code of its own: it reports the connection as shut down.
constexpr int32_t kSocketErrorBase = 10000;
constexpr Translation kSocketBsdNumbers[] = {
    {EINTR, 4},          {EBADF, 9},         {EACCES, 13},          {EFAULT, 14},
    {EINVAL, 22},        {EMFILE, 24},       {EAGAIN, 35},          {EINPROGRESS, 36},
    {EALREADY, 37},      {ENOTSOCK, 38},     {EDESTADDRREQ, 39},    {EMSGSIZE, 40},
    {EPROTOTYPE, 41},    {ENOPROTOOPT, 42},  {EPROTONOSUPPORT, 43}, {ESOCKTNOSUPPORT, 44},
    {EOPNOTSUPP, 45},    {EPFNOSUPPORT, 46}, {EAFNOSUPPORT, 47},    {EADDRINUSE, 48},
    {EADDRNOTAVAIL, 49}, {ENETDOWN, 50},     {ENETUNREACH, 51},     {ENETRESET, 52},
    {ECONNABORTED, 53},  {ECONNRESET, 54},   {ENOBUFS, 55},         {EISCONN, 56},
    {ENOTCONN, 57},      {ESHUTDOWN, 58},    {EPIPE, 58},           {ETOOMANYREFS, 59},
    {ETIMEDOUT, 60},     {ECONNREFUSED, 61}, {ELOOP, 62},           {ENAMETOOLONG, 63},
    {EHOSTDOWN, 64},     {EHOSTUNREACH, 65}, {ENOTEMPTY, 66},       {EUSERS, 68},
    {EDQUOT, 69},        {ESTALE, 70},       {EREMOTE, 71},
};
constexpr int32_t kSocketEinval = kSocketErrorBase + 22;

template <size_t N>
const Translation* find(const Translation (&table)[N], int linuxErrno) {
  for (const Translation& row : table)
    if (row.linuxErrno == linuxErrno) return &row;
  return nullptr;
}

thread_local int32_t t_runtimeErrno = 0;
thread_local uint32_t t_lastSystemError = 0;

}  // namespace

int32_t runtimeErrnoFromLinux(int linuxErrno) {
  if (const Translation* row = find(kRuntimeErrnos, linuxErrno)) return row->value;
  if (linuxErrno >= 1 && linuxErrno <= kLastSharedRuntimeErrno) return linuxErrno;
  return kRuntimeEinval;
}

uint32_t systemErrorFromLinux(int linuxErrno) {
  const Translation* row = find(kSystemErrors, linuxErrno);
  return row ? static_cast<uint32_t>(row->value) : system_error::kInvalidFunction;
}

int32_t socketErrorFromLinux(int linuxErrno) {
  const Translation* row = find(kSocketBsdNumbers, linuxErrno);
  return row ? kSocketErrorBase + row->value : kSocketEinval;
}

int32_t* runtimeErrnoAddress() {
  return &t_runtimeErrno;
}

uint32_t lastSystemError() {
  return t_lastSystemError;
}

void setLastSystemError(uint32_t code) {
  t_lastSystemError = code;
}

void noteLinuxFailure(int linuxErrno) {
  t_runtimeErrno = runtimeErrnoFromLinux(linuxErrno);
  t_lastSystemError = systemErrorFromLinux(linuxErrno);
}

}  // namespace platform
