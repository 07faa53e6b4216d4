// Status, existence, deletion, renaming, modes and times by name, and the
// Lisp stat record, on real files in the test's own directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "runtime/os/tests/file_call_fixture.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::makeFixnum;
using namespace lisp::fio;

constexpr int32_t kCallersWord = 0x5a5a5a5a;
constexpr int64_t kYear2000 = 946684800;  // 2000-01-01 00:00:00 UTC

// A Lisp vector of raw 32-bit words in test memory: header, then a length
// word for the type codes that have one, then the elements.
class WordVector {
 public:
  WordVector(uint8_t typeCode, uint32_t length) {
    const lisp::VectorType* type = lisp::vectorType(typeCode);
    words_.fill(0);
    if (type->fixnumLength) {
      words_[0] = lisp::headerWord(typeCode);
      words_[1] = makeFixnum(static_cast<int32_t>(length));
    } else {
      words_[0] = lisp::headerWithLength(typeCode, length);
    }
    data_ = &words_[lisp::vectorDataOffset(*type) / 4];
    for (uint32_t i = 0; i < 15; ++i) data_[i] = kCallersWord;
  }
  lisp::lispval word() const { return lisp::wordOf(words_.data(), lisp::Tag::Other); }
  const cl_stat_buf& record() const { return *reinterpret_cast<const cl_stat_buf*>(data_); }

 private:
  alignas(8) std::array<uint32_t, 2 + 15> words_;
  uint32_t* data_;
};

constexpr uint8_t kSigned32WithLength = 123;
constexpr uint8_t kSigned32 = 107;
constexpr uint8_t kUnsigned32WithLength = 127;

class FileStatus : public os_test::FileCallTest {};

void expectRecordOf(const cl_stat_buf& record, const char* path) {
  struct stat64 status;
  ASSERT_EQ(stat64(path, &status), 0);
  EXPECT_EQ(record.sizeLow, static_cast<int32_t>(status.st_size));
  EXPECT_EQ(record.sizeHigh, 0);
  EXPECT_EQ(record.mode, static_cast<int32_t>(status.st_mode & 0xffff));
  EXPECT_EQ(record.user, static_cast<int32_t>(status.st_uid));
  EXPECT_EQ(record.group, static_cast<int32_t>(status.st_gid));
  EXPECT_EQ(record.inode, static_cast<int32_t>(status.st_ino & 0xffff));
  EXPECT_EQ(record.device, static_cast<int32_t>(status.st_dev));
  EXPECT_EQ(record.zero, 0);
  EXPECT_EQ(record.modified, status.st_mtime - kRuntimeEpoch);
  EXPECT_EQ(record.accessed, status.st_atime - kRuntimeEpoch);
  EXPECT_EQ(record.changed, status.st_ctime - kRuntimeEpoch);
  EXPECT_EQ(record.callersWord1, kCallersWord);
  EXPECT_EQ(record.callersWord2, kCallersWord);
  EXPECT_EQ(record.callersWord10, kCallersWord);
}

TEST_F(FileStatus, StatWordsFollowStatForAFileADirectoryAndTheNullDevice) {
  writeFile(path("file"), "twelve bytes");
  const struct {
    std::string name;
    int32_t fileType;
  } rows[] = {{path("file"), kFileTypeRegular},
              {directory_, kFileTypeDirectory},
              {"/dev/null", kFileTypeCharacterDevice},
              {"/proc/self/fd", kFileTypeDirectory}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (uint8_t typeCode : {kSigned32WithLength, kSigned32, kUnsigned32WithLength}) {
      WordVector vector(typeCode, 15);
      EXPECT_EQ(cl_stat(row.name.c_str(), vector.word(), kNil), 4u);
      EXPECT_EQ(cl_error, 0);
      expectRecordOf(vector.record(), row.name.c_str());
      EXPECT_EQ(vector.record().fileType, row.fileType);
    }
  }
}

TEST_F(FileStatus, TimesBefore2015AreNegative) {
  writeFile(path("old"), "x");
  const struct timespec times[2] = {{kYear2000, 0}, {kYear2000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("old").c_str(), times, 0), 0);
  WordVector vector(kSigned32WithLength, 15);
  ASSERT_EQ(cl_stat(path("old").c_str(), vector.word(), kNil), 4u);
  EXPECT_EQ(vector.record().modified, -473385600);
  EXPECT_EQ(vector.record().accessed, -473385600);
}

TEST_F(FileStatus, StatOfAMissingNameOrABadRecordGivesNilAndTheError) {
  WordVector vector(kSigned32WithLength, 15);
  EXPECT_EQ(cl_stat(path("missing").c_str(), vector.word(), kNil), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
  EXPECT_EQ(vector.record().sizeLow, kCallersWord);
  writeFile(path("file"), "x");
  WordVector shortVector(kSigned32WithLength, 14);
  WordVector lispValues(lisp::type_code::SimpleVector, 15);
  for (lisp::lispval record : {shortVector.word(), lispValues.word(), makeFixnum(3), kNil}) {
    cl_error = 0;
    EXPECT_EQ(cl_stat(path("file").c_str(), record, kNil), kNil);
    EXPECT_EQ(cl_error, 22 * 4);
    EXPECT_EQ(cl_fnstat(makeFixnum(host::kNullDeviceDescriptor), record), kNil);
  }
  EXPECT_EQ(shortVector.record().sizeLow, kCallersWord);
  EXPECT_EQ(lispValues.record().sizeLow, kCallersWord);
  EXPECT_EQ(cl_stat(nullptr, vector.word(), kNil), kNil);
  EXPECT_EQ(cl_error, 22 * 4);
}

TEST_F(FileStatus, StatTriesTheBackslashFormOnce) {
  // Every slash turns back, so the name is taken from the directory.
  writeFile(path("a\\b"), "x");
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(directory_);
  WordVector vector(kSigned32WithLength, 15);
  EXPECT_EQ(cl_stat("a/b", vector.word(), kNil), 4u);
  std::filesystem::current_path(saved);
  EXPECT_EQ(vector.record().sizeLow, 1);
}

TEST_F(FileStatus, FnstatTakesKindOneDescriptorsOnly) {
  writeFile(path("file"), "0123456789");
  const lisp::lispval opened = cl_open(path("file").c_str(), kT, kNil, makeFixnum(0));
  ASSERT_TRUE(lisp::isFixnum(opened));
  WordVector vector(kSigned32WithLength, 15);
  EXPECT_EQ(cl_fnstat(opened, vector.word()), 4u);
  expectRecordOf(vector.record(), path("file").c_str());
  for (lisp::lispval descriptor : {makeFixnum(host::kNullDeviceDescriptor), makeFixnum(-1),
                                   makeFixnum(5000), kNil}) {
    cl_error = 0;
    EXPECT_EQ(cl_fnstat(descriptor, vector.word()), kNil);
    EXPECT_EQ(cl_error, 36);
  }
}

TEST_F(FileStatus, ExistenceOfFilesAndDirectories) {
  writeFile(path("file"), "x");
  EXPECT_EQ(cl_existsp(path("file").c_str()), 4);
  EXPECT_EQ(cl_existsp((directory_ + "/").c_str()), 4);
  EXPECT_EQ(cl_existsp((directory_ + "\\file").c_str()), 4);
  cl_error = 12;
  EXPECT_EQ(cl_existsp(path("missing").c_str()), 0);
  EXPECT_EQ(cl_error, 0);
  EXPECT_EQ(cl_existsp(nullptr), 0);
}

TEST_F(FileStatus, DeleteRemovesTheFileOrReportsWhyNot) {
  writeFile(path("file"), "x");
  std::string name = directory_ + "\\file";
  EXPECT_EQ(cl_delete(name.data()), kT);
  EXPECT_FALSE(std::filesystem::exists(path("file")));
  EXPECT_EQ(cl_delete(name.data()), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
  char empty[1] = "";
  EXPECT_EQ(cl_delete(empty), kNil);  // "." is a directory
  EXPECT_NE(cl_error, 0);
  EXPECT_EQ(cl_delete(nullptr), kNil);
  EXPECT_EQ(cl_error, 22 * 4);
}

TEST_F(FileStatus, RenameOntoItselfOrAHardLinkLeavesBothNames) {
  writeFile(path("one"), "content");
  ASSERT_EQ(link(path("one").c_str(), path("two").c_str()), 0);
  std::string one = path("one"), two = path("two");
  EXPECT_EQ(cl_rename(one.data(), one.data()), makeFixnum(0));
  EXPECT_EQ(cl_rename(one.data(), two.data()), makeFixnum(0));
  EXPECT_EQ(cl_error, 0);
  EXPECT_EQ(readFile(path("one")), "content");
  EXPECT_EQ(readFile(path("two")), "content");
}

TEST_F(FileStatus, RenameReplacesTheTargetOrFailsWithoutLosingIt) {
  writeFile(path("from"), "new");
  writeFile(path("to"), "old");
  std::string from = path("from"), to = path("to"), missing = path("missing");
  EXPECT_EQ(cl_rename(missing.data(), to.data()), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
  EXPECT_EQ(readFile(path("to")), "old");
  EXPECT_EQ(cl_rename(from.data(), to.data()), makeFixnum(0));
  EXPECT_FALSE(std::filesystem::exists(path("from")));
  EXPECT_EQ(readFile(path("to")), "new");
}

TEST_F(FileStatus, ARenameAcrossFileSystemsLeavesTheTargetIntact) {
  const std::string source = "/dev/shm/" + std::filesystem::path(directory_).filename().string();
  writeFile(source, "source");
  if (readFile(source) != "source") GTEST_SKIP() << "no second file system";
  struct stat64 a, b;
  if (stat64(source.c_str(), &a) != 0 || stat64(directory_.c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system";
  writeFile(path("target"), "target");
  std::string from = source, to = path("target");
  EXPECT_EQ(cl_rename(from.data(), to.data()), kNil);
  EXPECT_EQ(cl_error, 18 * 4);  // EXDEV
  EXPECT_EQ(readFile(path("target")), "target");
  EXPECT_EQ(readFile(source), "source");
  std::filesystem::remove(source);
}

TEST_F(FileStatus, ChmodTakesTheRuntimesReadAndWriteBitsAsTheOwners) {
  writeFile(path("file"), "x");
  std::string name = path("file");
  EXPECT_EQ(cl_chmod(name.data(), 0x100), makeFixnum(0));  // read only
  EXPECT_EQ(std::filesystem::status(name).permissions(), std::filesystem::perms::owner_read);
  EXPECT_EQ(cl_chmod(name.data(), 0x180), makeFixnum(0));
  EXPECT_EQ(std::filesystem::status(name).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::string missing = path("missing");
  EXPECT_EQ(cl_chmod(missing.data(), 0x180), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
}

TEST_F(FileStatus, TimesAreCopiedFromOneFileToAnother) {
  writeFile(path("source"), "x");
  writeFile(path("target"), "y");
  const struct timespec times[2] = {{kYear2000 + 5, 0}, {kYear2000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("source").c_str(), times, 0), 0);
  std::string source = path("source"), target = path("target"), missing = path("missing");
  EXPECT_EQ(cl_set_time_from_file(source.data(), target.data()), makeFixnum(0));
  struct stat64 status;
  ASSERT_EQ(stat64(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mtime, kYear2000);
  EXPECT_EQ(status.st_atime, kYear2000 + 5);
  EXPECT_EQ(cl_set_time_from_file(missing.data(), target.data()), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
  EXPECT_EQ(cl_set_time_from_file(source.data(), missing.data()), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
}

}  // namespace
