// filesys through its entry slot on real files in the test's own directory:
// the file calls behind the rows, with paths passed as integers the way
// compiled code passes native addresses, and the answers as Lisp sees them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"
#include "testing/startup_t.h"
#include "testing/temp_path.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;

constexpr int32_t kFilesys = 0x143;
constexpr lispval kMissingFileError = makeFixnum(ENOENT);

class FilesysOnFiles : public gc_test::LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    // A host record whose stream hooks are the runtime's descriptor operations.
    for (int32_t descriptor = 0; descriptor < 3; ++descriptor)
      table_[descriptor].kind = host::kKindConsole;
    table_[host::kNullDeviceDescriptor].kind = host::kKindNullDevice;
    record_.descriptorTable = table_.data();
    record_.readHook = win_read;
    record_.writeHook = win_write;
    record_.closeHook = win_close;
    record_.noHangHook = win_no_hang;
    savedRecord_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
    startupT_ = std::make_unique<testing_support::StartupT>(nil());
    directory_ = testing_support::processTempPath("filesys");
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override {
    for (int32_t descriptor = host::kFirstAllocatedDescriptor;
         descriptor < host::kOutOfRangeDescriptor; ++descriptor)
      if (table_[descriptor].kind != host::kKindFree) {
        int32_t error = 0;
        win_close(descriptor, &error);
      }
    redir = savedRecord_;
    startupT_.reset();
    cl_error = 0;
    std::filesystem::remove_all(directory_);
    LispConstructorHeap::TearDown();
  }

  // ---- Lisp arguments ----

  // A native address as compiled code passes it: a fixnum, or a two-digit
  // bignum when it does not fit.
  lispval addressArgument(const void* pointer) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
    if (address <= 0x1fffffff) return makeFixnum(static_cast<int32_t>(address));
    auto* storage = static_cast<uint32_t*>(objects_->allocate(8));
    storage[0] = lisp::bignumHeader(2);
    storage[1] = address;
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  // A path in the test directory, kept alive for the test.
  lispval pathArgument(const std::string& name) {
    names_.push_back(directory_ + "/" + name);
    return addressArgument(names_.back().c_str());
  }
  // An unsigned-byte vector with a length word (type 125) of the bytes.
  lispval byteVector(const std::string& bytes) {
    auto* storage =
        static_cast<uint32_t*>(objects_->allocate(8 + static_cast<uint32_t>(bytes.size())));
    storage[0] = 125;
    storage[1] = makeFixnum(static_cast<int32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(storage + 2));
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  static std::string bytesOf(lispval vector) {
    const auto* start = reinterpret_cast<const char*>(lisp::objectAddress(vector) + 8);
    return {start, start + lisp::fixnumValue(at(lisp::objectAddress(vector) + 4))};
  }
  // A vector of doubles (type 103) or of complex doubles (type 110, two
  // per element): the header, its alignment word, then the doubles.
  lispval doubleVector(uint8_t type, const std::vector<double>& values) {
    const uint32_t elements = static_cast<uint32_t>(type == 110 ? values.size() / 2 : values.size());
    auto* storage = static_cast<uint32_t*>(objects_->allocate(8 + 8 * static_cast<uint32_t>(values.size())));
    storage[0] = lisp::headerWithLength(type, elements);
    storage[1] = 0;
    std::memcpy(storage + 2, values.data(), 8 * values.size());
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  static std::vector<double> doublesOf(lispval vector, size_t count) {
    std::vector<double> values(count);
    std::memcpy(values.data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(lisp::objectAddress(vector) + 8)), 8 * count);
    return values;
  }
  // A 15-word stat record (type 100, unsigned 32-bit elements).
  lispval statRecord() {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(4 + 15 * 4));
    storage[0] = lisp::headerWithLength(100, 15);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }

  // ---- calls ----

  LispCallResult run(int32_t code, std::initializer_list<lispval> arguments) {
    std::vector<lispval> words(arguments);
    LispCallSetup setup = setupFor(kFilesys, makeFixnum(code), words.empty() ? 0 : words[0],
                                   static_cast<uint32_t>(words.size() + 1));
    setup.stack[0] = makeFixnum(code);
    for (size_t i = 0; i < words.size(); ++i) setup.stack[i + 1] = words[i];
    const LispCallResult result = call(setup);
    EXPECT_EQ(lisp_recorder_log.count, 0u) << "an error was signalled";
    return result;
  }
  lispval one(int32_t code, std::initializer_list<lispval> arguments) {
    const LispCallResult result = run(code, arguments);
    EXPECT_EQ(result.carry, 0u) << "code " << code << " answered nil and " << result.edx;
    return result.eax;
  }
  lispval failure(int32_t code, std::initializer_list<lispval> arguments) {
    const LispCallResult result = run(code, arguments);
    EXPECT_EQ(result.carry, 1u);
    EXPECT_EQ(result.ecx, 2u);
    EXPECT_EQ(result.eax, nil());
    return result.edx;
  }
  lispval t() const { return startupT_->word(); }

  std::string directory_;
  std::vector<std::string> names_;  // reserved so the addresses stay put
  std::vector<host::DescriptorEntry> table_ =
      std::vector<host::DescriptorEntry>(host::kDescriptorCount);
  host::HostRecord record_{};

 private:
  uint32_t* savedRecord_ = nullptr;
  std::unique_ptr<testing_support::StartupT> startupT_;

 public:
  FilesysOnFiles() { names_.reserve(64); }
};

TEST_F(FilesysOnFiles, AMissingFileIsNotThereAndCannotBeDeleted) {
  EXPECT_EQ(one(0, {pathArgument("missing")}), nil());
  EXPECT_EQ(failure(12, {pathArgument("missing")}), kMissingFileError);
  EXPECT_EQ(failure(1, {pathArgument("missing"), t(), nil(), makeFixnum(0)}), kMissingFileError);
}

TEST_F(FilesysOnFiles, BytesWrittenThroughOneDescriptorAreReadThroughAnother) {
  const lispval created = one(26, {pathArgument("data"), makeFixnum(0)});
  ASSERT_TRUE(lisp::isFixnum(created));
  EXPECT_EQ(one(8, {created, byteVector("..hello"), makeFixnum(2), makeFixnum(5)}), makeFixnum(5));
  EXPECT_EQ(one(3, {created}), t());
  EXPECT_EQ(one(0, {pathArgument("data")}), t());

  const lispval opened = one(1, {pathArgument("data"), t(), nil(), makeFixnum(0)});
  ASSERT_TRUE(lisp::isFixnum(opened));
  const lispval buffer = byteVector("--------");
  EXPECT_EQ(one(9, {opened, buffer, makeFixnum(1), makeFixnum(7)}), makeFixnum(5));
  EXPECT_EQ(bytesOf(buffer), "-hello--");
  EXPECT_EQ(one(5, {opened, makeFixnum(1), makeFixnum(0)}), makeFixnum(1));
  EXPECT_EQ(one(9, {opened, buffer, makeFixnum(0), makeFixnum(8)}), makeFixnum(4));
  EXPECT_EQ(bytesOf(buffer), "ellolo--");
  EXPECT_EQ(one(3, {opened}), t());
}

// The data of double-float vectors start after the alignment word: writes,
// reads and copies move whole doubles.
TEST_F(FilesysOnFiles, DoubleFloatVectorsMoveTheirDoublesWhole) {
  const lispval created = one(26, {pathArgument("doubles"), makeFixnum(0)});
  ASSERT_TRUE(lisp::isFixnum(created));
  const lispval written = doubleVector(103, {1.5, -2.25, 1e300});
  EXPECT_EQ(one(8, {created, written, makeFixnum(8), makeFixnum(16)}), makeFixnum(16));
  EXPECT_EQ(one(3, {created}), t());

  const lispval opened = one(1, {pathArgument("doubles"), t(), nil(), makeFixnum(0)});
  ASSERT_TRUE(lisp::isFixnum(opened));
  const lispval read = doubleVector(110, {0, 0, 0, 0});
  EXPECT_EQ(one(9, {opened, read, makeFixnum(16), makeFixnum(16)}), makeFixnum(16));
  EXPECT_EQ(doublesOf(read, 4), (std::vector<double>{0, 0, -2.25, 1e300}));
  EXPECT_EQ(one(3, {opened}), t());

  const lispval copied = doubleVector(103, {0, 0});
  EXPECT_EQ(one(23, {read, makeFixnum(24), copied, makeFixnum(0), makeFixnum(8)}), nil());
  EXPECT_EQ(doublesOf(copied, 2), (std::vector<double>{1e300, 0}));
}

TEST_F(FilesysOnFiles, RenameStatChangeModeAndDeleteActOnTheFile) {
  std::ofstream(directory_ + "/before", std::ios::binary) << "12345";
  EXPECT_NE(one(13, {pathArgument("before"), pathArgument("after")}), nil());
  EXPECT_EQ(one(0, {pathArgument("before")}), nil());

  const lispval record = statRecord();
  EXPECT_EQ(one(10, {pathArgument("after"), record, nil()}), record);
  const auto* words = reinterpret_cast<const int32_t*>(lisp::objectAddress(record) + 4);
  EXPECT_EQ(words[0], 5);  // size, low half
  EXPECT_EQ(words[6], lisp::fio::kFileTypeRegular);
  EXPECT_EQ(failure(10, {pathArgument("missing"), statRecord(), nil()}), kMissingFileError);

  EXPECT_NE(one(29, {pathArgument("after"), makeFixnum(0400)}), nil());
  struct stat status {};
  ASSERT_EQ(::stat((directory_ + "/after").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0222, 0u);

  EXPECT_NE(one(12, {pathArgument("after")}), nil());
  EXPECT_FALSE(std::filesystem::exists(directory_ + "/after"));
}

TEST_F(FilesysOnFiles, AListingGivesEveryNameThenNone) {
  for (const char* name : {"a", "bb", "ccc"}) std::ofstream(directory_ + "/" + name) << name;
  const lispval listing = one(14, {pathArgument("")});
  ASSERT_TRUE(lisp::isFixnum(listing) || lisp::isOther(listing));
  std::set<std::string> names;
  for (int i = 0; i < 10; ++i) {
    const lispval next = one(15, {listing});
    if (next == makeFixnum(0)) break;
    uint32_t address = 0;
    if (lisp::isFixnum(next))
      address = static_cast<uint32_t>(lisp::fixnumValue(next));
    else
      address = at(lisp::objectAddress(next) + 4);  // two-digit bignum: digits 0 and 1
    names.insert(reinterpret_cast<const char*>(static_cast<uintptr_t>(address)));
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "bb", "ccc"}));
  one(16, {listing});
  EXPECT_EQ(failure(14, {pathArgument("no-such-directory")}), makeFixnum(3));
}

}  // namespace
