#include "platform/memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t k64K = 0x10000;

uint8_t* bytesAt(uintptr_t address) {
  return reinterpret_cast<uint8_t*>(address);
}

TEST(Memory, ReserveCommitDecommitReleaseAtAWantedAddress) {
  const uintptr_t wanted = platform::findFreeRange(0x30000000, 4 * k64K, k64K);
  ASSERT_NE(wanted, 0u);
  ASSERT_GE(platform::freeBytesAt(wanted), 4 * k64K);

  ASSERT_EQ(platform::reserveAddressSpace(wanted, 4 * k64K), wanted);
  EXPECT_EQ(platform::freeBytesAt(wanted), 0u);
  EXPECT_EQ(platform::reserveAddressSpace(wanted + k64K, k64K), 0u) << "replaced a reservation";

  ASSERT_TRUE(platform::commitMemory(wanted, k64K));
  std::memset(bytesAt(wanted), 0x5a, k64K);
  ASSERT_TRUE(platform::decommitMemory(wanted, k64K));
  ASSERT_TRUE(platform::commitMemory(wanted, k64K));
  EXPECT_EQ(bytesAt(wanted)[100], 0) << "decommitted memory came back with its old contents";

  ASSERT_TRUE(platform::releaseAddressSpace(wanted, 4 * k64K));
  EXPECT_GE(platform::freeBytesAt(wanted), 4 * k64K);
}

TEST(Memory, FreeRangeStopsAtTheNextMapping) {
  const uintptr_t base = platform::findFreeRange(0x30000000, 3 * k64K, k64K);
  ASSERT_NE(base, 0u);
  ASSERT_EQ(platform::reserveAddressSpace(base + 2 * k64K, k64K), base + 2 * k64K);
  EXPECT_EQ(platform::freeBytesAt(base), 2 * k64K);
  EXPECT_EQ(platform::freeBytesAt(base + k64K), k64K);
  EXPECT_GT(platform::findFreeRange(base, 3 * k64K, k64K), base + 2 * k64K);
  platform::releaseAddressSpace(base + 2 * k64K, k64K);
}

// A mapped file whose path is longer than a line buffer must not hide the
// mappings listed after it.
TEST(Memory, MappingsAfterALongFileNameAreStillSeen) {
  char directory[] = "/tmp/zv_maps_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  std::vector<std::string> made{directory};
  for (int level = 0; level < 3; ++level) {
    made.push_back(made.back() + "/" + std::string(200, 'x'));
    ASSERT_EQ(mkdir(made.back().c_str(), 0700), 0);
  }
  const std::string file = made.back() + "/mapped";
  const int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, k64K), 0);

  const uintptr_t base = platform::findFreeRange(0x30000000, 4 * k64K, k64K);
  ASSERT_NE(base, 0u);
  void* mapped =
      mmap(reinterpret_cast<void*>(base), k64K, PROT_READ, MAP_SHARED | MAP_FIXED_NOREPLACE, fd, 0);
  ASSERT_EQ(mapped, reinterpret_cast<void*>(base));
  ASSERT_EQ(platform::reserveAddressSpace(base + 3 * k64K, k64K), base + 3 * k64K);

  EXPECT_EQ(platform::freeBytesAt(base + k64K), 2 * k64K);
  EXPECT_GE(platform::findFreeRange(base, 3 * k64K, k64K), base + 4 * k64K);

  platform::releaseAddressSpace(base + 3 * k64K, k64K);
  munmap(mapped, k64K);
  close(fd);
  unlink(file.c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
}

TEST(Memory, ReserveAnywhereAndRefusals) {
  const uintptr_t anywhere = platform::reserveAddressSpace(0, k64K);
  ASSERT_NE(anywhere, 0u);
  EXPECT_EQ(platform::freeBytesAt(anywhere), 0u);
  platform::releaseAddressSpace(anywhere, k64K);

  EXPECT_EQ(platform::reserveAddressSpace(0, 0), 0u);
  EXPECT_EQ(platform::reserveAddressSpace(0xffff0000, 2 * k64K), 0u);  // past the end
}

TEST(Memory, FaultHookMakesOperationsFail) {
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Reserve ||
           operation == platform::MemoryOperation::Commit;
  });
  EXPECT_EQ(platform::reserveAddressSpace(0, k64K), 0u);
  platform::setMemoryFaultHook(nullptr);
  const uintptr_t region = platform::reserveAddressSpace(0, k64K);
  ASSERT_NE(region, 0u);
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Commit;
  });
  EXPECT_FALSE(platform::commitMemory(region, k64K));
  platform::setMemoryFaultHook(nullptr);
  EXPECT_TRUE(platform::commitMemory(region, k64K));
  platform::releaseAddressSpace(region, k64K);
}

TEST(Memory, MapFileAtPlacesAFileRangeOverAReservationAndRefusesOnePastItsEnd) {
  char name[] = "/tmp/map_file_at_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  std::vector<uint8_t> contents(2 * k64K);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));

  const uintptr_t region = platform::reserveAddressSpace(0, 2 * k64K);
  ASSERT_NE(region, 0u);
  ASSERT_TRUE(platform::mapFileAt(region, k64K, fd, k64K));
  auto* mapped = reinterpret_cast<uint8_t*>(region);
  EXPECT_EQ(std::memcmp(mapped, contents.data() + k64K, k64K), 0);
  mapped[0] ^= 0xff;  // copy-on-write: the file keeps its byte
  uint8_t inFile = 0;
  ASSERT_EQ(pread(fd, &inFile, 1, k64K), 1);
  EXPECT_EQ(inFile, contents[k64K]);

  EXPECT_FALSE(platform::mapFileAt(region + k64K, k64K, fd, 2 * k64K)) << "past the end";
  EXPECT_FALSE(platform::mapFileAt(region + k64K, 2 * k64K, fd, k64K)) << "reaching past the end";
  EXPECT_FALSE(platform::mapFileAt(region + k64K, k64K, fd, 100)) << "unaligned offset";
  platform::releaseAddressSpace(region, 2 * k64K);
  close(fd);
}

}  // namespace
