#include "platform/error_numbers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

TEST(ErrorNumbers, LinuxErrnoBecomesTheRuntimesErrno) {
  const struct {
    int linuxErrno;
    int32_t runtime;
  } cases[] = {{ENOENT, 2},   {EACCES, 13}, {ERANGE, 34},    {EDEADLK, 36}, {ENAMETOOLONG, 38},
               {ENOLCK, 39},  {ENOSYS, 40}, {ENOTEMPTY, 41}, {EILSEQ, 42},  {ETXTBSY, 16},
               {ENOTBLK, 22}, {ELOOP, 22},  {ECONNRESET, 22}};
  for (const auto& c : cases)
    EXPECT_EQ(platform::runtimeErrnoFromLinux(c.linuxErrno), c.runtime) << c.linuxErrno;
}

TEST(ErrorNumbers, LinuxErrnoBecomesASystemErrorCode) {
  const struct {
    int linuxErrno;
    uint32_t code;
  } cases[] = {{ENOENT, 2},      {ENOTDIR, 3},        {EMFILE, 4},  {EACCES, 5},  {EBADF, 6},
               {ENOMEM, 8},      {EEXIST, 80},        {EINVAL, 87}, {EPIPE, 109}, {ENOSPC, 112},
               {ENOTEMPTY, 145}, {ENAMETOOLONG, 206}, {EDOM, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(platform::systemErrorFromLinux(c.linuxErrno), c.code) << c.linuxErrno;
}

TEST(ErrorNumbers, LinuxErrnoBecomesASocketErrorOfTheBsdNumber) {
  const struct {
    int linuxErrno;
    int32_t code;
  } cases[] = {{EAGAIN, platform::kSocketWouldBlock},
               {EINPROGRESS, 10036},
               {ENOTSOCK, 10038},
               {EADDRINUSE, 10048},
               {ECONNRESET, 10054},
               {ETIMEDOUT, 10060},
               {ECONNREFUSED, 10061},
               {EHOSTUNREACH, 10065},
               {EPIPE, 10058},
               {ENOENT, 10022}};
  for (const auto& c : cases)
    EXPECT_EQ(platform::socketErrorFromLinux(c.linuxErrno), c.code) << c.linuxErrno;
}

TEST(ErrorNumbers, FailuresAreNotedPerThread) {
  platform::noteLinuxFailure(ENAMETOOLONG);
  EXPECT_EQ(*platform::runtimeErrnoAddress(), 38);
  EXPECT_EQ(platform::lastSystemError(), 206u);
  int32_t otherErrno = -1;
  uint32_t otherError = 1;
  std::thread other([&] {
    otherErrno = *platform::runtimeErrnoAddress();
    otherError = platform::lastSystemError();
  });
  other.join();
  EXPECT_EQ(otherErrno, 0);
  EXPECT_EQ(otherError, 0u);
}

}  // namespace
