// The image writer over a stand-in heap: old areas made of headers alone
// (the save walk reads only their ends and links) in front of one committed
// block, so that the area count, the merging of areas that touch, the splash
// blocks and every failing write can be set up exactly.
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/load/image_file.h"
#include "runtime/os/host_record_services.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t k64K = 0x10000;
constexpr uint32_t kBlockBytes = 4 * k64K;

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
uint32_t wordAt(const Bytes& bytes, uint32_t offset) {
  uint32_t value;
  std::memcpy(&value, &bytes[offset], 4);
  return value;
}
image_area_entry entryOf(const Bytes& bytes, uint32_t index) {
  image_area_entry entry;
  std::memcpy(
      &entry,
      &bytes[offsetof(image_area_table, entries) + sizeof(image_header) + index * sizeof entry],
      sizeof entry);
  return entry;
}

class ImageWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/image_writer_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    const uintptr_t raw = platform::reserveAddressSpace(0, kBlockBytes + k64K);
    ASSERT_NE(raw, 0u);
    raw_ = raw;
    block_ = static_cast<uint32_t>((raw + k64K - 1) & ~uintptr_t{k64K - 1});
    ASSERT_TRUE(platform::commitMemory(block_, kBlockBytes));
    for (uint32_t i = 0; i < kBlockBytes / 4; ++i) word(block_ + 4 * i) = i * 2654435761u;

    savedAreas_ = GsOldAreas;
    savedSemiSize_ = GsNewSemiSize;
    savedLisp_ = lisp_heap;
    savedNative_ = vxmmalloc_heap;
    savedRedir_ = redir;
    GsNewSemiSize = 0;
    lisp_heap = {block_,
                 block_ + kBlockBytes,
                 block_ + kBlockBytes,
                 block_ + 2 * kBlockBytes,
                 block_ + 2 * kBlockBytes,
                 0};
    vxmmalloc_heap = {};
  }
  void TearDown() override {
    image_file::setWriteFaultHook(nullptr);
    GsOldAreas = savedAreas_;
    GsNewSemiSize = savedSemiSize_;
    lisp_heap = savedLisp_;
    vxmmalloc_heap = savedNative_;
    redir = savedRedir_;
    platform::releaseAddressSpace(raw_, kBlockBytes + k64K);
    fs::remove_all(root_);
  }

  static uint32_t& word(uint32_t address) {
    return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
  }

  // Old areas whose ends lie at the given distances from the block.
  void areasEndingAt(const std::vector<uint32_t>& ends) {
    areas_.assign(ends.size(), gc::GsOldArea{});
    for (size_t i = 0; i < ends.size(); ++i) {
      areas_[i].end = block_ + ends[i];
      areas_[i].next = i + 1 < ends.size() ? &areas_[i + 1] : nullptr;
    }
    GsOldAreas = areas_.empty() ? nullptr : &areas_[0];
  }

  std::vector<std::string> filesInRoot() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_))
      names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path image() const { return root_ / "img.vxi"; }

  fs::path root_;
  uintptr_t raw_ = 0;
  uint32_t block_ = 0;
  std::vector<gc::GsOldArea> areas_;
  gc::GsOldArea* savedAreas_ = nullptr;
  uint32_t savedSemiSize_ = 0;
  heap_descriptor savedLisp_{}, savedNative_{};
  uint32_t* savedRedir_ = nullptr;
};

TEST_F(ImageWriter, AreasThatTouchBecomeOneEntryAndTheSecondKeepsNoContents) {
  areasEndingAt({0x8000, 0x18000, 0x30000});
  ASSERT_EQ(save_image_file(image().c_str(), 0), kSaveOk);
  const Bytes file = readFile(image());
  EXPECT_EQ(wordAt(file, sizeof(image_header)), 3u);
  const image_area_entry first = entryOf(file, 0), second = entryOf(file, 1),
                         third = entryOf(file, 2);
  EXPECT_EQ(first.address, block_);
  EXPECT_EQ(first.length, 0x30000u);
  EXPECT_EQ(first.file_offset, k64K);
  EXPECT_EQ(second.address, block_);  // rounded down, merged away
  EXPECT_EQ(second.length, 0u);
  EXPECT_EQ(third.address, block_ + 0x10000);
  EXPECT_EQ(third.length, 0u);
  ASSERT_EQ(file.size(), k64K + 0x30000u);
  EXPECT_EQ(std::memcmp(&file[k64K], reinterpret_cast<const void*>(uintptr_t{block_}), 0x30000), 0);
  EXPECT_EQ(wordAt(file, 72), 0u) << "no native heap contents";
}

TEST_F(ImageWriter, AtMost4096AreasCanBeSaved) {
  std::vector<uint32_t> ends;
  for (uint32_t i = 1; i <= 4096; ++i) ends.push_back(16 * i);
  areasEndingAt(ends);
  ASSERT_EQ(save_image_file(image().c_str(), 0), kSaveOk);
  const Bytes file = readFile(image());
  EXPECT_EQ(wordAt(file, sizeof(image_header)), 4096u);
  EXPECT_EQ(entryOf(file, 0).length, k64K);
  EXPECT_EQ(entryOf(file, 4095).length, 0u);
  EXPECT_EQ(entryOf(file, 4095).address, block_);

  fs::remove(image());
  ends.push_back(16 * 4097);
  areasEndingAt(ends);
  EXPECT_EQ(save_image_file(image().c_str(), 0), kSaveTooManyAreas);
  EXPECT_TRUE(filesInRoot().empty()) << "nothing is created";
}

TEST_F(ImageWriter, SplashBlocksComeFromTheHostRecord) {
  areasEndingAt({0x10000});
  const std::string first = "first splash", second = "2nd";
  uint32_t record[25] = {};
  record[18] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(first.data()));
  record[19] = static_cast<uint32_t>(first.size());
  record[23] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(second.data()));
  record[24] = static_cast<uint32_t>(second.size());
  redir = record;
  ASSERT_EQ(save_image_file(image().c_str(), 0), kSaveOk);
  const Bytes file = readFile(image());
  const uint32_t firstOffset = wordAt(file, 76), secondOffset = wordAt(file, 80);
  EXPECT_EQ(firstOffset, kImageVariablesOffset + 3278);
  EXPECT_EQ(secondOffset, firstOffset + first.size());
  EXPECT_EQ(wordAt(file, 84), first.size());
  EXPECT_EQ(wordAt(file, 88), second.size());
  EXPECT_EQ(std::string(file.begin() + firstOffset, file.begin() + secondOffset), first);
  EXPECT_EQ(std::string(file.begin() + secondOffset, file.begin() + secondOffset + 3), second);

  // A first block of length 0 means no splash blocks at all.
  record[19] = 0;
  ASSERT_EQ(save_image_file(image().c_str(), 0), kSaveOk);
  const Bytes without = readFile(image());
  for (uint32_t field : {76u, 80u, 84u, 88u}) EXPECT_EQ(wordAt(without, field), 0u) << field;
}

TEST_F(ImageWriter, SavingEndsTheCollectorsChains) {
  areasEndingAt({0x10000});
  uint32_t codeLink = 0x1234, sysvectorLink = 0x5678;
  const uint32_t cvcTail = GsCVC_tail, svcTail = GsSVC_tail;
  GsCVC_tail = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&codeLink));
  GsSVC_tail = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&sysvectorLink));
  const int result = save_image_file(image().c_str(), 0);
  GsCVC_tail = cvcTail;
  GsSVC_tail = svcTail;
  EXPECT_EQ(result, kSaveOk);
  EXPECT_EQ(codeLink, 0u);
  EXPECT_EQ(sysvectorLink, 0u);
}

// Fails the n-th write of the save (counted from 1); 0 counts only.
int g_failAt = 0;
int g_writes = 0;
bool failNthWrite(uint32_t) {
  return ++g_writes == g_failAt;
}

TEST_F(ImageWriter, AFailedSaveKeepsTheOldImageAndLeavesNoTemporary) {
  areasEndingAt({0x10000, 0x30000});
  std::ofstream(image()) << "the old image";
  uint32_t record[25] = {};
  const std::string splash = "splash";
  record[18] = record[23] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(splash.data()));
  record[19] = record[24] = static_cast<uint32_t>(splash.size());
  redir = record;

  g_failAt = 0;
  g_writes = 0;
  image_file::setWriteFaultHook(failNthWrite);
  ASSERT_EQ(save_image_file((root_ / "count.vxi").c_str(), 0), kSaveOk);
  fs::remove(root_ / "count.vxi");
  const int writes = g_writes;
  ASSERT_GE(writes, 5);  // two splash blocks, the area, the header, the table

  for (int n = 1; n <= writes; ++n) {
    SCOPED_TRACE(n);
    g_failAt = n;
    g_writes = 0;
    EXPECT_EQ(save_image_file(image().c_str(), 0), kSaveWriteFailed);
    EXPECT_EQ(filesInRoot(), std::vector<std::string>{"img.vxi"});
    const Bytes kept = readFile(image());
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "the old image");
  }

  image_file::setWriteFaultHook(nullptr);
  EXPECT_EQ(save_image_file((root_ / "absent" / "img.vxi").c_str(), 0), kSaveCannotCreate);
  ASSERT_EQ(save_image_file(image().c_str(), 0), kSaveOk);
  EXPECT_EQ(readFile(image()).size(), k64K + 0x30000u);
  EXPECT_EQ(filesInRoot(), std::vector<std::string>{"img.vxi"});
}

// A name whose last component is as long as the file system allows, and
// names just below it: the temporary beside each still fits.
TEST_F(ImageWriter, ANameAtTheComponentLimitIsSaved) {
  areasEndingAt({0x10000});
  for (size_t length : {size_t{200}, size_t{246}, size_t{NAME_MAX}}) {
    SCOPED_TRACE(length);
    const fs::path name = root_ / std::string(length, 'n');
    ASSERT_EQ(save_image_file(name.c_str(), 0), kSaveOk);
    EXPECT_EQ(filesInRoot(), std::vector<std::string>{name.filename().string()});
    fs::remove(name);
  }
}

// A name the file system cannot hold is refused as a file that cannot be
// made, before any image is written, and leaves nothing behind.
TEST_F(ImageWriter, ANamePastTheComponentLimitCannotBeCreated) {
  areasEndingAt({0x10000});
  const fs::path name = root_ / std::string(NAME_MAX + 1, 'n');
  EXPECT_EQ(save_image_file(name.c_str(), 0), kSaveCannotCreate);
  EXPECT_EQ(filesInRoot(), std::vector<std::string>{});
}

}  // namespace
