// Opening, creating, reading, writing, seeking and truncating files through
// the file calls, on real files in the test's own directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/error_numbers.h"
#include "runtime/os/tests/file_call_fixture.h"
#include "testing/console_recorder.h"

namespace {

using lisp::makeFixnum;
using namespace lisp::fio;

constexpr int32_t kErrorEntryMissing = 2 * 4;  // ENOENT as cl_error

class FileStreams : public os_test::FileCallTest {
 protected:
  // A file holding "abcdef", opened with the flags and mode bits.
  lisp::lispval openSample(bool input, bool output, uint32_t bits) {
    writeFile(path("sample"), "abcdef");
    return cl_open(path("sample").c_str(), input ? kT : kNil, output ? kT : kNil,
                   makeFixnum(static_cast<int32_t>(bits)));
  }
  int handleOf(lisp::lispval result) { return static_cast<int>(entry(descriptorOf(result)).handle); }
};

struct OpenRow {
  const char* name;
  bool input;
  bool output;
  uint32_t bits;
  uint16_t kind;
  int access;  // O_ACCMODE part of the Linux flags
  bool append;
  bool closeOnExec;
  const char* contentAfterWritingXY;  // "XY" written when the output flag is set
  off_t positionAfter;
};

const OpenRow kOpenRows[] = {
    {"input", true, false, 0, host::kKindRuntimeDescriptor, O_RDONLY, false, true, "abcdef", 0},
    {"output", false, true, 0, host::kKindRuntimeDescriptor, O_WRONLY, false, true, "XYcdef", 2},
    {"both", true, true, 0, host::kKindRuntimeDescriptor, O_RDWR, false, true, "XYcdef", 2},
    {"truncate", false, true, kModeTruncate, host::kKindRuntimeDescriptor, O_WRONLY, false, true,
     "XY", 2},
    {"append", false, true, kModeAppend, host::kKindRuntimeDescriptor, O_WRONLY, true, true,
     "abcdefXY", 8},
    {"inherited", true, false, kModeInherited, host::kKindRuntimeDescriptor, O_RDONLY, false, false,
     "abcdef", 0},
    {"text", false, true, kModeText, host::kKindRuntimeDescriptor, O_WRONLY, false, true, "XYcdef",
     2},
    {"all runtime bits", true, true, kModeText | kModeTruncate | kModeAppend | kModeInherited,
     host::kKindRuntimeDescriptor, O_RDWR, true, false, "XY", 2},
    {"system input", true, false, kModeSystemHandle, host::kKindFileHandle, O_RDONLY, false, true,
     "abcdef", 0},
    {"system both", true, true, kModeSystemHandle, host::kKindFileHandle, O_RDWR, false, true,
     "XYcdef", 2},
    // Append and inheritance belong to the runtime path; a system handle is
    // never inherited.
    {"system truncate", false, true, kModeSystemHandle | kModeTruncate | kModeAppend | kModeInherited,
     host::kKindFileHandle, O_WRONLY, false, true, "XY", 2},
};

TEST_F(FileStreams, OpenModeBitsGiveTheirFlagsContentAndPosition) {
  for (const OpenRow& row : kOpenRows) {
    SCOPED_TRACE(row.name);
    const lisp::lispval result = openSample(row.input, row.output, row.bits);
    ASSERT_TRUE(lisp::isFixnum(result));
    EXPECT_EQ(cl_error, 0);
    ASSERT_EQ(entry(descriptorOf(result)).kind, row.kind);
    const int fd = handleOf(result);
    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, row.access);
    EXPECT_EQ((flags & O_APPEND) != 0, row.append);
    EXPECT_EQ((flags & O_DIRECT) != 0, false);
    EXPECT_EQ((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, row.closeOnExec);
    if (row.output) {
      if (row.kind == host::kKindRuntimeDescriptor)
        EXPECT_EQ(cl_write(descriptorOf(result), "-XY", 1, 2), 2);
      else
        EXPECT_EQ(write(fd, "XY", 2), 2);
    }
    EXPECT_EQ(readFile(path("sample")), row.contentAfterWritingXY);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), row.positionAfter);
    EXPECT_EQ(cl_close(result), kT);
    EXPECT_EQ(cl_error, 0);
  }
}

TEST_F(FileStreams, TruncationWithoutWriteAccessIsRefusedAndEmptiesNothing) {
  EXPECT_EQ(openSample(true, false, kModeTruncate), kNil);
  EXPECT_EQ(cl_error, 22 * 4);
  EXPECT_EQ(openSample(true, false, kModeSystemHandle | kModeTruncate), kNil);
  EXPECT_EQ(cl_error, 87 * 4);
  EXPECT_EQ(readFile(path("sample")), "abcdef");
}

TEST_F(FileStreams, TheTextBitOpensOnTmpfs) {
  // 0x4000 is O_DIRECT on Linux, which tmpfs refuses.
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  const std::string file = "/dev/shm/" + std::filesystem::path(path("text")).filename().string() +
                           std::to_string(getpid());
  writeFile(file, "line\n");
  const lisp::lispval result = cl_open(file.c_str(), kT, kNil, makeFixnum(kModeText));
  std::filesystem::remove(file);
  ASSERT_TRUE(lisp::isFixnum(result)) << cl_error;
  char buffer[16] = {};
  EXPECT_EQ(cl_read(descriptorOf(result), buffer, 0, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "line\n");  // bytes as they are: no line-end conversion
}

TEST_F(FileStreams, AMissingFileGivesNilAndTheErrorWithTheTableUnchanged) {
  const std::vector<host::DescriptorEntry> before = table_;
  for (uint32_t bits : {0u, kModeSystemHandle}) {
    cl_error = 0;
    EXPECT_EQ(cl_open(path("missing").c_str(), kT, kNil, makeFixnum(static_cast<int32_t>(bits))),
              kNil);
    EXPECT_EQ(cl_error, kErrorEntryMissing);
  }
  EXPECT_EQ(std::memcmp(before.data(), table_.data(), before.size() * sizeof before[0]), 0);
}

TEST_F(FileStreams, SystemHandleErrorsAreSystemErrorCodes) {
  // A directory is no file to open, for reading or writing: access denied,
  // EACCES (13) in the C runtime's numbering, 5 as a system error.
  for (bool output : {false, true}) {
    EXPECT_EQ(cl_open(directory_.c_str(), kT, output ? kT : kNil, makeFixnum(0)), kNil);
    EXPECT_EQ(cl_error, 13 * 4);
    EXPECT_EQ(cl_open(directory_.c_str(), kT, output ? kT : kNil, makeFixnum(kModeSystemHandle)),
              kNil);
    EXPECT_EQ(cl_error, 5 * 4);
  }
  for (int32_t descriptor = host::kFirstAllocatedDescriptor; descriptor < 8; ++descriptor)
    EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
  writeFile(path("file"), "x");
  EXPECT_EQ(cl_open(path("file/below").c_str(), kT, kNil, makeFixnum(kModeSystemHandle)), kNil);
  EXPECT_EQ(cl_error, 3 * 4);  // ENOTDIR: path not found
}

TEST_F(FileStreams, BothFlagsNilPrintsTheMessageAndStillOpens) {
  const testing_support::ConsoleRecorder console(record_);
  const lisp::lispval result = openSample(false, false, 0);
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), "internal open got bad mode\n");
  ASSERT_TRUE(lisp::isFixnum(result));
  EXPECT_EQ(fcntl(handleOf(result), F_GETFL) & O_ACCMODE, O_RDONLY);
}

TEST_F(FileStreams, BadOpenArgumentsGiveTheInvalidArgumentError) {
  EXPECT_EQ(cl_open(nullptr, kT, kNil, makeFixnum(0)), kNil);
  EXPECT_EQ(cl_error, 22 * 4);
  cl_error = 0;
  writeFile(path("sample"), "x");
  EXPECT_EQ(cl_open(path("sample").c_str(), kT, kNil, kNil), kNil);  // mode not a fixnum
  EXPECT_EQ(cl_error, 22 * 4);
}

TEST_F(FileStreams, AFullTableClosesTheFileAgainAndReportsIt) {
  for (int32_t descriptor = host::kFirstAllocatedDescriptor;
       descriptor < host::kOutOfRangeDescriptor; ++descriptor)
    entry(descriptor).kind = host::kKindNullDevice;
  writeFile(path("sample"), "x");
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = openDescriptors();
  EXPECT_EQ(cl_open(path("sample").c_str(), kT, kNil, makeFixnum(0)), kNil);
  EXPECT_EQ(cl_error, 24 * 4);
  EXPECT_EQ(cl_open(path("sample").c_str(), kT, kNil, makeFixnum(kModeSystemHandle)), kNil);
  EXPECT_EQ(cl_error, 4 * 4);
  EXPECT_EQ(openDescriptors(), before);
  for (int32_t descriptor = host::kFirstAllocatedDescriptor;
       descriptor < host::kOutOfRangeDescriptor; ++descriptor)
    entry(descriptor).kind = host::kKindFree;
}

TEST_F(FileStreams, CreateMakesOrEmptiesTheFile) {
  const mode_t mask = umask(022);
  writeFile(path("old"), "old content");
  for (const char* name : {"new", "old"}) {
    SCOPED_TRACE(name);
    const lisp::lispval result = cl_create_x(path(name).c_str(), 0);
    ASSERT_TRUE(lisp::isFixnum(result));
    EXPECT_EQ(entry(descriptorOf(result)).kind, host::kKindRuntimeDescriptor);
    EXPECT_EQ(fcntl(handleOf(result), F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(cl_write(descriptorOf(result), "made", 0, 4), 4);
    EXPECT_EQ(readFile(path(name)), "made");
    EXPECT_EQ(std::filesystem::status(path(name)).permissions(),
              std::filesystem::perms(0644));
  }
  const lisp::lispval system = cl_create_x(path("system").c_str(), kModeSystemHandle);
  ASSERT_TRUE(lisp::isFixnum(system));
  EXPECT_EQ(entry(descriptorOf(system)).kind, host::kKindFileHandle);
  EXPECT_EQ(fcntl(handleOf(system), F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_EQ(cl_create_x(path("no/such/dir").c_str(), 0), kNil);
  EXPECT_EQ(cl_error, kErrorEntryMissing);
  umask(mask);
}

TEST_F(FileStreams, CreatGivesAnUnregisteredDescriptor) {
  const int fd = cl_creat(path("plain").c_str(), 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "abc", 3), 3);
  close(fd);
  EXPECT_EQ(readFile(path("plain")), "abc");
  EXPECT_EQ(fd_to_pseudofd(static_cast<uint32_t>(fd), host::kKindRuntimeDescriptor), -1);
  EXPECT_EQ(cl_creat(path("no/such/dir").c_str(), 0600), -1);
  EXPECT_EQ(errno_value(), 2);
}

TEST_F(FileStreams, ReadAndWriteUseTheStartOffsetAndEncodeErrors) {
  const lisp::lispval result = openSample(true, true, 0);
  ASSERT_TRUE(lisp::isFixnum(result));
  const int32_t fd = descriptorOf(result);
  char buffer[8] = "-------";
  EXPECT_EQ(cl_read(fd, buffer, 2, 4), 4);
  EXPECT_STREQ(buffer, "--abcd-");
  EXPECT_EQ(cl_read(fd, buffer, 0, 8), 2);  // to the end of the file
  EXPECT_EQ(cl_read(fd, buffer, 0, 8), 0);
  // Bad counts and starts never reach the buffer.
  EXPECT_EQ(cl_read(fd, buffer, -1, 2), -10 - 22);
  EXPECT_EQ(cl_read(fd, buffer, 0, -1), -10 - 22);
  EXPECT_EQ(cl_write(fd, buffer, -4, 1), -10 - 22);
  EXPECT_EQ(cl_read(fd, nullptr, 0, 4), -10 - 22);
  // Closed entries and entries without a byte stream give the bad-descriptor error.
  EXPECT_EQ(cl_read(host::kNullDeviceDescriptor, buffer, 0, 4), 0);
  EXPECT_EQ(cl_read(host::kOutOfRangeDescriptor, buffer, 0, 4), -10 - 9);
  EXPECT_EQ(cl_write(-7, "x", 0, 1), -10 - 9);
  EXPECT_EQ(std::string(buffer, 7), "efabcd-");
}

TEST_F(FileStreams, WithoutAHostRecordWritesAreDiscardedAndReadsFail) {
  record_.writeHook = nullptr;
  record_.readHook = nullptr;
  char buffer[4];
  EXPECT_EQ(cl_write(1, "abc", 0, 3), 3);
  EXPECT_EQ(cl_read(0, buffer, 0, 4), -10 - 9);
}

TEST_F(FileStreams, CloseFreesTheEntryAndReportsTheHooksError) {
  const lisp::lispval result = openSample(true, false, 0);
  ASSERT_TRUE(lisp::isFixnum(result));
  const int fd = handleOf(result);
  EXPECT_EQ(cl_close(result), kT);
  EXPECT_EQ(entry(descriptorOf(result)).kind, host::kKindFree);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(cl_close(kNil), kT);
  EXPECT_EQ(cl_error, 9 * 4);
  // A runtime descriptor closed behind the table's back.
  const lisp::lispval again = openSample(true, false, 0);
  close(handleOf(again));
  cl_error = 0;
  EXPECT_EQ(cl_close(again), kT);
  EXPECT_EQ(cl_error, 9 * 4);
}

TEST_F(FileStreams, SeekMovesKindOneDescriptorsOnly) {
  const lisp::lispval result = openSample(true, false, 0);
  const int32_t fd = descriptorOf(result);
  EXPECT_EQ(cl_seek(fd, 2, SEEK_SET), 2);
  EXPECT_EQ(cl_seek(fd, 1, SEEK_CUR), 3);
  EXPECT_EQ(cl_seek(fd, -1, SEEK_END), 5);
  char c = 0;
  EXPECT_EQ(cl_read(fd, &c, 0, 1), 1);
  EXPECT_EQ(c, 'f');
  EXPECT_EQ(cl_seek(fd, -10, SEEK_SET), -1);
  EXPECT_EQ(errno_value(), 22);
  EXPECT_EQ(cl_seek(fd, 0, 3), -1);  // not an origin
  EXPECT_EQ(errno_value(), 22);
  EXPECT_EQ(cl_seek(host::kNullDeviceDescriptor, 0, SEEK_SET), -1);
  EXPECT_EQ(errno_value(), 9);
  EXPECT_EQ(cl_seek(-1, 0, SEEK_SET), -1);
  EXPECT_EQ(errno_value(), 9);
}

TEST_F(FileStreams, Seek64ReachesPastFourGigabytesWhereSeekStops) {
  const lisp::lispval result = openSample(true, true, 0);
  const int32_t fd = descriptorOf(result);
  int64_t position = int64_t{5} << 30;
  EXPECT_EQ(cl_seek64(fd, &position, SEEK_SET), 0);
  EXPECT_EQ(position, int64_t{5} << 30);
  position = 0;
  EXPECT_EQ(cl_seek64(fd, &position, SEEK_CUR), 0);
  EXPECT_EQ(position, int64_t{5} << 30);
  EXPECT_EQ(cl_seek(fd, 0, SEEK_CUR), -1);
  EXPECT_EQ(errno_value(), 22);
  position = 0;
  EXPECT_EQ(cl_seek64(host::kNullDeviceDescriptor, &position, SEEK_SET), 9);
  EXPECT_EQ(position, -1);
  EXPECT_EQ(cl_seek64(fd, nullptr, SEEK_SET), 22);
}

TEST_F(FileStreams, TruncateGrowsAndShrinksAndKeepsThePosition) {
  const lisp::lispval result = openSample(true, true, 0);
  const int fd = handleOf(result);
  ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
  EXPECT_EQ(fio_ftruncate(fd, 10, 0), 0);
  EXPECT_EQ(std::filesystem::file_size(path("sample")), 10u);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
  EXPECT_EQ(fio_ftruncate(fd, 2, 0), 0);
  EXPECT_EQ(readFile(path("sample")), "ab");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
  const int64_t length = int64_t{5} << 30;
  EXPECT_EQ(cl_ftruncate64(descriptorOf(result), &length), 0);
  EXPECT_EQ(std::filesystem::file_size(path("sample")), static_cast<uintmax_t>(length));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
}

TEST_F(FileStreams, TruncateFailuresGiveTheirStepCodes) {
  const lisp::lispval readOnly = openSample(true, false, 0);
  const int fd = handleOf(readOnly);
  ASSERT_EQ(lseek(fd, 1, SEEK_SET), 1);
  EXPECT_EQ(fio_ftruncate(fd, 2, 0), -4);
  EXPECT_NE(errno_value(), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1);
  EXPECT_EQ(readFile(path("sample")), "abcdef");
  EXPECT_EQ(fio_ftruncate(-1, 2, 0), -2);
  EXPECT_EQ(errno_value(), 9);
  const lisp::lispval writable = openSample(true, true, 0);
  EXPECT_EQ(fio_ftruncate(handleOf(writable), 0, -1), -3);  // a negative length
  EXPECT_EQ(errno_value(), 22);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_EQ(fio_ftruncate(pipeEnds[0], 2, 0), -2);  // cannot seek
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  const int64_t length = 1;
  EXPECT_EQ(cl_ftruncate64(host::kNullDeviceDescriptor, &length), -1);
  EXPECT_EQ(errno_value(), 9);
  EXPECT_EQ(cl_ftruncate64(descriptorOf(writable), nullptr), -1);
  EXPECT_EQ(errno_value(), 22);
}

TEST_F(FileStreams, SystemHandlesSeekAndSizeIn64Bits) {
  const lisp::lispval result = openSample(true, false, kModeSystemHandle);
  const uint32_t handle = entry(descriptorOf(result)).handle;
  int64_t size = 0;
  EXPECT_EQ(VXM_GetFileSizeEx(handle, &size), 1);
  EXPECT_EQ(size, 6);
  int64_t at = 0;
  EXPECT_EQ(VXM_SetFilePointerEx(handle, 0, 1, &at, SEEK_SET), 1);  // 4 GB
  EXPECT_EQ(at, int64_t{1} << 32);
  EXPECT_EQ(VXM_SetFilePointerEx(handle, static_cast<uint32_t>(-2), -1, nullptr, SEEK_CUR), 1);
  EXPECT_EQ(lseek64(static_cast<int>(handle), 0, SEEK_CUR), (int64_t{1} << 32) - 2);
  EXPECT_EQ(VXM_SetFilePointerEx(handle, 0, 0, &at, 7), 0);  // not a method
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidParameter);
  EXPECT_EQ(VXM_GetFileSizeEx(static_cast<uint32_t>(-1), &size), 0);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidHandle);
  EXPECT_EQ(VXM_GetFileSizeEx(handle, nullptr), 1);
  EXPECT_EQ(platform::lastSystemError(), 0u);
}

}  // namespace
