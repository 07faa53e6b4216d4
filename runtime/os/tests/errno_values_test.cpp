// errno as Lisp code reads it after a native call.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/error_numbers.h"
#include "runtime/os/errno_values.h"

namespace {

TEST(ErrnoValues, LinuxNumbersAboveTheSharedRangeAreRenumbered) {
  struct Case {
    int linux;
    int32_t expected;
  };
  for (const Case c : {Case{EDOM, 33}, Case{EDEADLK, 36}, Case{ENAMETOOLONG, 38}, Case{ENOLCK, 39},
                       Case{ENOSYS, 40}, Case{ENOTEMPTY, 41}, Case{EILSEQ, 42}}) {
    errno = c.linux;
    EXPECT_EQ(errno_value(), c.expected) << "errno " << c.linux;
  }
}

TEST(ErrnoValues, ClearingLeavesNoErrorInEitherNumbering) {
  errno = ENOENT;
  EXPECT_EQ(errno_value(), 2);
  EXPECT_EQ(last_error_value(), platform::systemErrorFromLinux(ENOENT));
  EXPECT_NE(last_error_value(), 0u);
  clear_errno_value();
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(errno_value(), 0);
  EXPECT_EQ(last_error_value(), 0u);
}

TEST(ErrnoValues, AFailureNotedInTheThreadsWordsIsSeenWhenErrnoIsClear) {
  clear_errno_value();
  *platform::runtimeErrnoAddress() = 32;
  platform::setLastSystemError(109);
  EXPECT_EQ(errno_value(), 32);
  EXPECT_EQ(last_error_value(), 109u);
  errno = ENOENT;  // a later native failure comes first
  EXPECT_EQ(errno_value(), 2);
  clear_errno_value();
  EXPECT_EQ(errno_value(), 0);
  EXPECT_EQ(last_error_value(), 0u);
}

}  // namespace
