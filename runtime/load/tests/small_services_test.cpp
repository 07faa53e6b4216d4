// The start-up module's small services, called directly: they are plain C
// functions without Lisp register conventions.
#include "runtime/load/small_services.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/load/file_mapping.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/object_layout.h"
#include "testing/console_recorder.h"

namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// ---- exports ----

TEST(StartupExports, TheStartUpNamesAreExportedAndItsInternalsAreNot) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name :
       {"lisp_init", "lisp_main", "get_default_image_file", "find_image_file", "windows_lisp_exit",
        "TlsAllocHighKey", "GetWinMainArgs", "GetWinMainArgs2", "VXMStartupFetch",
        "VXMStartupQuery", "VXMStartupShow", "lisp_map_file", "lisp_sync_mem", "lisp_unmap_file"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"home_location", "lisp_main_reborn", "setsigseen", "lsignals",
                           "strtobuf", "strbuf", "xwrite", "restore_image_file", "lisp_main_build"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

// ---- thread slots ----

TEST(TlsAllocHighKey, ReturnsAHighSlotAndLeavesTheLowOnesFree) {
  std::vector<int32_t> low;
  for (int32_t index; (index = platform::allocateThreadSlot()) < platform::kLowSlotCount;)
    low.push_back(index);
  ASSERT_GE(low.size(), 10u);
  platform::freeThreadSlot(platform::kLowSlotCount);  // the one that ended the loop
  const std::vector<int32_t> freed(low.end() - 10, low.end());
  low.resize(low.size() - 10);
  for (int32_t index : freed) platform::freeThreadSlot(index);

  const int32_t high = TlsAllocHighKey();
  EXPECT_GE(high, platform::kLowSlotCount);

  std::vector<int32_t> again;
  for (int i = 0; i < 10; ++i) again.push_back(platform::allocateThreadSlot());
  EXPECT_EQ(again, freed);

  for (int32_t index : again) platform::freeThreadSlot(index);
  for (int32_t index : low) platform::freeThreadSlot(index);
  platform::freeThreadSlot(high);
}

// ---- emulated signals ----

TEST(Setsigseen, KeepsEachSignalOnceAndOverwritesTheTenthSlotWhenFull) {
  struct Case {
    const char* name;
    std::vector<int> signals;
    std::vector<int> slots;
  };
  const Case cases[] = {
      {"one", {2}, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"duplicate", {2, 14, 2}, {2, 14, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"signal 0 ignored", {0, 3}, {3, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"eleventh", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11}},
      {"full, then one already there",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 4},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::fill(std::begin(lsignals), std::end(lsignals), 0);
    for (int signal : c.signals) setsigseen(signal);
    EXPECT_EQ(std::vector<int>(std::begin(lsignals), std::end(lsignals)), c.slots);
  }
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

TEST(Urgentwarn, CountsTheInterruptsLeftInTheRightNumber) {
  const char* const plural[] = {"s", "s", "s", ""};
  for (int n = 1; n <= 4; ++n) {
    const testing_support::ConsoleRecorder console;
    urgentwarn(n);
    EXPECT_EQ(testing_support::ConsoleRecorder::console(), "Warning: lisp has received " + std::to_string(n) +
                                       " interrupts to which it cannot yet respond.\nReceipt of " +
                                       std::to_string(5 - n) + " more interrupt" + plural[n - 1] +
                                       " will cause a non-continuable error.\n");
  }
}

// ---- writes in chunks ----

class PipeFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(ends_), 0); }
  void TearDown() override {
    for (int fd : ends_)
      if (fd >= 0) close(fd);
  }
  int ends_[2] = {-1, -1};
};

TEST_F(PipeFixture, XwriteDeliversEveryByteInChunks) {
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(xwrite(ends_[1], data.data(), static_cast<ssize_t>(data.size())), 20000);
  close(ends_[1]);
  ends_[1] = -1;
  std::string received;
  char buffer[4096];
  for (ssize_t got; (got = read(ends_[0], buffer, sizeof buffer)) > 0;)
    received.append(buffer, got);
  EXPECT_EQ(received, data);
  EXPECT_EQ(xwrite(ends_[0], data.data(), -5), 0);
}

TEST_F(PipeFixture, XwriteReportsAWriteThatFails) {
  close(ends_[0]);
  ends_[0] = -1;
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  const std::string data(20000, 'x');
  CaptureStderr();
  EXPECT_EQ(xwrite(ends_[1], data.data(), static_cast<ssize_t>(data.size())), -1);
  EXPECT_EQ(GetCapturedStderr(), "xwrite: " + std::string(std::strerror(EPIPE)) + "\n");
  std::signal(SIGPIPE, previous);
}

// ---- file mapping ----

class MappedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mapped_file_XXXXXX";
    fd_ = mkstemp(pattern);
    ASSERT_GE(fd_, 0);
    path_ = pattern;
    const std::string page(2 * 4096, '.');
    ASSERT_EQ(write(fd_, page.data(), page.size()), static_cast<ssize_t>(page.size()));
  }
  void TearDown() override {
    close(fd_);
    unlink(path_.c_str());
  }
  std::string fileBytes(size_t offset, size_t count) {
    std::string bytes(count, '\0');
    const int reader = open(path_.c_str(), O_RDONLY);
    EXPECT_EQ(pread(reader, bytes.data(), count, static_cast<off_t>(offset)),
              static_cast<ssize_t>(count));
    close(reader);
    return bytes;
  }
  int fd_ = -1;
  std::string path_;
};

TEST_F(MappedFile, WritesThroughAWriteViewReachTheFileAfterSync) {
  void* handle = nullptr;
  auto* view = static_cast<char*>(startup::mapFileDescriptor(fd_, 4096, 1, &handle, 0, 4096));
  ASSERT_NE(view, nullptr);
  ASSERT_NE(handle, nullptr);
  std::memcpy(view + 10, "mapped", 6);
  EXPECT_EQ(lisp_sync_mem(view), 1);
  EXPECT_EQ(fileBytes(4096 + 10, 6), "mapped");
  EXPECT_EQ(lisp_unmap_file(view, 0, handle), 1);

  // The same view and handle again: nothing is mapped any more.
  CaptureStderr();
  EXPECT_EQ(lisp_unmap_file(view, 0, handle), 0);
  EXPECT_EQ(lisp_sync_mem(view), 0);
  EXPECT_EQ(GetCapturedStderr(), "lisp_unmap_file: error: 22\nlisp_sync_mem: error: 22\n");
}

TEST_F(MappedFile, AReadOnlyViewShowsTheFileAndSizeZeroReachesItsEnd) {
  auto* view = static_cast<const char*>(startup::mapFileDescriptor(fd_, 0, 0, nullptr, 0, 4096));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 4096), std::string(4096, '.'));
  EXPECT_EQ(lisp_unmap_file(const_cast<char*>(view), 0, nullptr), 0);  // no handle was taken
}

TEST_F(MappedFile, RefusesWhatCannotBeMapped) {
  struct Case {
    const char* name;
    int fd;
    uint32_t size;
    int mode;
    uint32_t offsetLow;
    std::string message;
  };
  const Case cases[] = {
      {"no descriptor", -1, 4096, 0, 0, "lisp_map_file: error: 9\n"},
      {"unknown mode", fd_, 4096, 3, 0, "lisp_map_file: error: 22\n"},
      {"past the end of the file", fd_, 4096, 2, 8192, ""},
      {"offset not on a page", fd_, 100, 0, 10, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* handle = nullptr;
    CaptureStderr();
    EXPECT_EQ(startup::mapFileDescriptor(c.fd, c.size, c.mode, &handle, 0, c.offsetLow), nullptr);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(handle, nullptr);
  }
  // Without a pseudo descriptor table no descriptor is known yet.
  CaptureStderr();
  EXPECT_EQ(lisp_map_file(5, 4096, 0, nullptr, 0, 0), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "lisp_map_file: error: 9\n");
}

// ---- the host's main-program arguments ----

TEST(GetWinMainArgs, FillsOnlyTheWordsAskedForFromTheHostRecord) {
  uint32_t host[25] = {};
  host[20] = 0x2020;  // console window
  host[21] = 0x2121;  // module instance
  host[22] = 0x2222;  // splash window
  constexpr uint32_t kUntouched = 0xa5a5a5a5;

  uint32_t* const saved = redir;
  redir = host;
  uint32_t record[6];
  std::fill(std::begin(record), std::end(record), kUntouched);
  EXPECT_EQ(GetWinMainArgs2(record, 0), host);
  EXPECT_EQ(std::count(std::begin(record), std::end(record), kUntouched), 6);

  EXPECT_EQ(GetWinMainArgs2(record, 3), host);
  EXPECT_EQ(record[0], 0x2121u);
  EXPECT_EQ(record[1], 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(record[2])), "");
  EXPECT_EQ(record[3], kUntouched);

  EXPECT_EQ(GetWinMainArgs2(record, 5), host);
  EXPECT_EQ(record[3], 0x2020u);
  EXPECT_EQ(record[4], 0x2222u);
  EXPECT_EQ(record[5], kUntouched);

  redir = nullptr;
  std::fill(std::begin(record), std::end(record), kUntouched);
  EXPECT_EQ(GetWinMainArgs(record), nullptr);
  EXPECT_EQ(record[0], 0u);
  EXPECT_EQ(record[3], 0u);
  EXPECT_EQ(record[4], kUntouched);
  redir = saved;
}

// ---- Lisp strings ----

// A Lisp string of 16-bit characters in 8-aligned storage.
class LispString {
 public:
  LispString(uint8_t typeCode, const std::u16string& characters)
      : storage_(characters.size() / 4 + 4) {
    auto* bytes = reinterpret_cast<uint8_t*>(storage_.data());
    const bool lengthWord = (typeCode & lisp::kFixnumLengthBit) != 0;
    const auto count = static_cast<uint32_t>(characters.size());
    const uint32_t header =
        lengthWord ? lisp::headerWord(typeCode) : lisp::headerWithLength(typeCode, count);
    std::memcpy(bytes, &header, 4);
    if (lengthWord) {
      const uint32_t length = lisp::makeFixnum(static_cast<int32_t>(count));
      std::memcpy(bytes + 4, &length, 4);
    }
    std::memcpy(bytes + (lengthWord ? 8 : 4), characters.data(), 2 * count);
    word_ = lisp::pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bytes)),
                              lisp::Tag::Other);
  }
  lisp::lispval word() const { return word_; }

 private:
  std::vector<uint64_t> storage_;
  lisp::lispval word_ = 0;
};

TEST(Strtobuf, EncodesEveryWidthOfCharacterAsUtf8) {
  for (uint8_t typeCode : {lisp::type_code::SimpleString, uint8_t{101}}) {
    SCOPED_TRACE(typeCode);
    const LispString string(typeCode, u"a\u00e9\u20ac!");
    EXPECT_EQ(strtobuf(string.word()), 7);
    EXPECT_STREQ(strbuf, "a\xc3\xa9\xe2\x82\xac!");
  }
}

TEST(Strtobuf, CutsALongStringAtACharacterBoundary) {
  // 5461 three-byte characters fill 16383 bytes; the zero byte takes the last.
  const LispString fits(lisp::type_code::SimpleString, std::u16string(5461, u'\u20ac'));
  EXPECT_EQ(strtobuf(fits.word()), 16383);
  EXPECT_EQ(strbuf[16383], '\0');

  const LispString cut(lisp::type_code::SimpleString, u"ab" + std::u16string(6000, u'\u20ac'));
  const int written = strtobuf(cut.word());
  EXPECT_EQ(written, 2 + 3 * 5460);
  EXPECT_EQ(strbuf[written], '\0');
  EXPECT_EQ(std::string(strbuf + written - 3, 3), "\xe2\x82\xac");
}

// ---- files and paths ----

class TemporaryTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/path_services_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "dir");
    std::ofstream(root_ / "dir" / "file.fasl") << "x";
  }
  void TearDown() override {
    unsetenv(kVariable);
    fs::remove_all(root_);
  }
  static constexpr char kVariable[] = "STARTUP_TEST_SEARCH_PATH";
  fs::path root_;
};

TEST_F(TemporaryTree, ExistenceTestsTellDirectoriesFromFiles) {
  const std::string directory = (root_ / "dir").string();
  const std::string file = (root_ / "dir" / "file.fasl").string();
  const std::string absent = (root_ / "absent").string();
  EXPECT_EQ(cl_dir_does_not_exist(directory.c_str()), 0);
  EXPECT_EQ(cl_dir_does_not_exist(file.c_str()), 1);
  EXPECT_EQ(cl_dir_does_not_exist(absent.c_str()), 1);
  EXPECT_EQ(cl_file_does_not_exist(directory.c_str()), 0);
  EXPECT_EQ(cl_file_does_not_exist(file.c_str()), 0);
  EXPECT_EQ(cl_file_does_not_exist(absent.c_str()), 1);
}

TEST_F(TemporaryTree, FindFileUsingPathstringTakesTheFirstElementThatHasTheFile) {
  const std::string list = (root_ / "absent").string() + "::" + (root_ / "dir").string();
  setenv(kVariable, list.c_str(), 1);
  char out[512];
  EXPECT_EQ(find_file_using_pathstring("file.fasl", out, kVariable), 0);
  EXPECT_EQ(std::string(out), (root_ / "dir" / "file.fasl").string());
  EXPECT_EQ(find_file_using_pathstring("other.fasl", out, kVariable), -1);

  // The list ends in an empty element: the bare name itself.
  const std::string bare = (root_ / "dir" / "file.fasl").string();
  setenv(kVariable, "/nowhere", 1);
  EXPECT_EQ(find_file_using_pathstring(bare.c_str(), out, kVariable), 0);
  EXPECT_EQ(std::string(out), bare);

  // Without the variable: the current directory.
  unsetenv(kVariable);
  const fs::path here = fs::current_path();
  fs::current_path(root_ / "dir");
  EXPECT_EQ(find_file_using_pathstring("file.fasl", out, kVariable), 0);
  EXPECT_EQ(std::string(out), "./file.fasl");
  fs::current_path(here);
}

TEST_F(TemporaryTree, FindFileUsingPathstringRefusesACandidateThatDoesNotFit) {
  setenv(kVariable, std::string(600, 'd').c_str(), 1);
  char out[512 + 16];
  std::memset(out, 'z', sizeof out);
  CaptureStderr();
  EXPECT_EQ(find_file_using_pathstring("name", out, kVariable), -1);
  EXPECT_EQ(GetCapturedStderr(), "File name too long: name\n");
  EXPECT_EQ(out[512], 'z');
}

TEST_F(TemporaryTree, FindFileUsingPathstringGoesOnPastAnElementThatDoesNotFit) {
  const std::string list = std::string(600, 'd') + ":" + (root_ / "dir").string();
  setenv(kVariable, list.c_str(), 1);
  char out[512 + 16];
  std::memset(out, 'z', sizeof out);
  CaptureStderr();
  EXPECT_EQ(find_file_using_pathstring("file.fasl", out, kVariable), 0);
  EXPECT_EQ(GetCapturedStderr(), "") << "found, so nothing to say";
  EXPECT_EQ(std::string(out), (root_ / "dir" / "file.fasl").string());
  EXPECT_EQ(out[512], 'z');
}

TEST(Initpgmname, RecordsTheWorkingDirectoryWithATrailingSlash) {
  pgmname_init = 1;
  initpgmname();
  EXPECT_EQ(std::string(initialwd), fs::current_path().string() + "/");
  EXPECT_EQ(initialpwd_fail, 0);
  EXPECT_EQ(pgmname_init, 0);
}

TEST(SyMbwto, ReportsBothLinesAndReturnsAfterItsTime) {
  CaptureStderr();
  EXPECT_EQ(sy_mbwto("Notice", "first line", "second line", 0), 0);
  EXPECT_EQ(GetCapturedStderr(), "Notice: first line\nsecond line\n");
}

}  // namespace
