// The native-variable block: its length, where each module's variables lie
// in it, the round trip, a file that ends inside the block, and write
// failures at the buffer boundary.
#include "runtime/load/native_variables.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/jetcode.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/case_mapping.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"

extern "C" {
extern lisp::lispval tval;
extern lisp::lispval UnboundValue;
extern uint32_t globreg;
extern uint32_t globs[32];
}

namespace {

// A variable of the block, at the offset the image format gives it.
struct Placed {
  const char* name;
  uint32_t offset;
  void* address;
  uint32_t bytes;
};

// Offsets worked out from the format's table of variables and sizes; the
// first and last variable of each module, and a few in between.
std::vector<Placed> placedVariables() {
  return {
      {"threadctl_available", 0, &threadctl_available, 4},
      {"dummy_thread", 8, &dummy_thread, 4},
      {"bootmode", 12, &bootmode, 4},
      {"vxm_lso", 44, &vxm_lso, 4},
      {"xvxm_cvs", 52, xvxm_cvs, 8},
      {"vxm_lsoversion", 96, &vxm_lsoversion, 2},
      {"print_lso_relocation", 98, &print_lso_relocation, 4},
      {"mixed_case_convert", 102, &mixed_case_convert, 4},
      {"nextf", 106, nextf, 120},
      {"malloc_reloc", 358, &malloc_reloc, 4},
      {"bu_fname", 362, bu_fname, 512},
      {"globreg", 878, &globreg, 4},
      {"old_sigs", 882, old_sigs, 92},
      {"reborn", 974, &reborn, 4},
      {"restart_topaddr", 978, &restart_topaddr, 4},
      {"force_full_fasl", 1074, &force_full_fasl, 4},
      {"load_real_args", 1078, &load_real_args, 4},
      {"lso_file", 1082, lso_file, 512},
      {"vpl_given_arg", 1594, vpl_given_arg, 512},
      {"UnboundValue", 2106, &UnboundValue, 4},
      {"globs", 2110, globs, 128},
      {"myname", 2238, myname, 512},
      {"jc_swapfile", 2750, jc_swapfile, 100},
      {"jc_tstamp", 2850, &jc_tstamp, 4},
      {"nilval", 2854, &nilval, 4},
      {"tval", 2858, &tval, 4},
      // The collector's record: its first word and its last.
      {"setf_protect_bmap", 2862, &setf_protect_bmap, 4},
      {"lispstatic_block_blocks", 3274, &lispstatic_block_blocks, 4},
  };
}

// Marker bytes of a variable, distinct per variable and per byte; `seed`
// tells two generations apart. Text buffers' last bytes are 0 so that the
// end a restore forces does not disturb the comparison.
std::vector<uint8_t> marker(const Placed& variable, uint8_t seed) {
  std::vector<uint8_t> bytes(variable.bytes);
  for (uint32_t i = 0; i < variable.bytes; ++i)
    bytes[i] = static_cast<uint8_t>(1 + seed + variable.offset * 7 + i * 13);
  if (variable.bytes >= 100) bytes.back() = 0;
  return bytes;
}

void fill(const Placed& variable, uint8_t seed) {
  const std::vector<uint8_t> bytes = marker(variable, seed);
  std::memcpy(variable.address, bytes.data(), bytes.size());
}

bool holds(const Placed& variable, uint8_t seed) {
  return std::memcmp(variable.address, marker(variable, seed).data(), variable.bytes) == 0;
}

marsh_context contextFor(int file, bool saving) {
  marsh_context context{};
  context.file = file;
  context.saving = saving ? 1 : 0;
  return context;
}

class NativeVariableBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep the process's own values; every test writes over them.
    snapshot_ = temporaryFile();
    marsh_context context = contextFor(snapshot_, true);
    marshall_c_data(&context);
    ASSERT_EQ(context.error, 0);
    maxheapsize_ = maxheapsize;
    newTopLV_ = GsNewTopLV;
    file_ = temporaryFile();
  }
  void TearDown() override {
    lseek(snapshot_, 0, SEEK_SET);
    marsh_context context = contextFor(snapshot_, false);
    marshall_c_data(&context);
    EXPECT_EQ(context.error, 0);
    maxheapsize = maxheapsize_;
    GsNewTopLV = newTopLV_;
    close(snapshot_);
    close(file_);
  }

  static int temporaryFile() {
    char name[] = "/tmp/native_variables_XXXXXX";
    const int file = mkstemp(name);
    unlink(name);
    return file;
  }

  // Saves every variable into file_ and returns the error flag.
  int save() {
    lseek(file_, 0, SEEK_SET);
    marsh_context context = contextFor(file_, true);
    marshall_c_data(&context);
    return context.error;
  }
  int restore() {
    lseek(file_, 0, SEEK_SET);
    marsh_context context = contextFor(file_, false);
    marshall_c_data(&context);
    return context.error;
  }
  std::vector<uint8_t> fileBytes() {
    struct stat status {};
    fstat(file_, &status);
    std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
    EXPECT_EQ(pread(file_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

  int snapshot_ = -1;
  int file_ = -1;
  uint32_t maxheapsize_ = 0;
  uint32_t newTopLV_ = 0;
};

TEST_F(NativeVariableBlock, SaveWritesTheBlockOfFixedLengthWithEachVariableInItsPlace) {
  const std::vector<Placed> variables = placedVariables();
  for (const Placed& variable : variables) fill(variable, 0);
  ASSERT_EQ(save(), 0);

  const std::vector<uint8_t> bytes = fileBytes();
  ASSERT_EQ(bytes.size(), kNativeVariableBlockBytes);
  for (const Placed& variable : variables) {
    const std::vector<uint8_t> expected = marker(variable, 0);
    EXPECT_EQ(std::memcmp(bytes.data() + variable.offset, expected.data(), variable.bytes), 0)
        << variable.name << " is not at " << variable.offset;
  }
}

TEST_F(NativeVariableBlock, RestoreBringsBackEveryVariableAndHandsTheRecordToTheCollector) {
  const std::vector<Placed> variables = placedVariables();
  for (const Placed& variable : variables) fill(variable, 0);
  setf_protect_bmap_size = 3;
  ASSERT_EQ(save(), 0);
  for (const Placed& variable : variables) std::memset(variable.address, 0, variable.bytes);
  setf_protect_bmap_size = 0;
  maxheapsize = 0;

  ASSERT_EQ(restore(), 0);
  for (const Placed& variable : variables) EXPECT_TRUE(holds(variable, 0)) << variable.name;
  EXPECT_EQ(setf_protect_bmap_size, 3u);
  EXPECT_EQ(maxheapsize, 3u * (1u << 18) - 0x80000);  // what the collector derives from the record
}

TEST_F(NativeVariableBlock, RestoredTextBuffersEndWithZeroWhateverTheFileHolds) {
  char* const buffers[] = {bu_fname, lso_file, vpl_given_arg, myname, jc_swapfile};
  const size_t sizes[] = {sizeof bu_fname, sizeof lso_file, sizeof vpl_given_arg, sizeof myname,
                          sizeof jc_swapfile};
  for (int i = 0; i < 5; ++i) std::memset(buffers[i], 'A' + i, sizes[i]);
  ASSERT_EQ(save(), 0);

  ASSERT_EQ(restore(), 0);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(std::strlen(buffers[i]), sizes[i] - 1) << i;
    EXPECT_EQ(buffers[i][0], 'A' + i) << i;
  }
}

TEST_F(NativeVariableBlock, SaveEndsTheChainOfNewSysvectorsWhereItsTailPoints) {
  uint32_t lastLink = 0x20345678;
  GsSVC_tail = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lastLink));
  ASSERT_EQ(save(), 0);
  EXPECT_EQ(lastLink, 0u);
  GsSVC_tail = 0;
}

TEST_F(NativeVariableBlock, FileEndingInsideTheBlockRestoresOnlyWhatComesBefore) {
  const std::vector<Placed> variables = placedVariables();
  for (const Placed& variable : variables) fill(variable, 0);
  ASSERT_EQ(save(), 0);
  constexpr uint32_t kCut = 1000;
  ASSERT_EQ(ftruncate(file_, kCut), 0);
  for (const Placed& variable : variables) fill(variable, 100);
  maxheapsize = 0x1234000;

  EXPECT_EQ(restore(), 1);
  for (const Placed& variable : variables) {
    if (variable.offset + variable.bytes <= kCut)
      EXPECT_TRUE(holds(variable, 0)) << variable.name << " was not restored";
    else
      EXPECT_TRUE(holds(variable, 100)) << variable.name << " changed";
  }
  EXPECT_EQ(maxheapsize, 0x1234000u) << "the collector was handed a partial record";
}

TEST_F(NativeVariableBlock, AnEmptyFileRestoresNothing) {
  const std::vector<Placed> variables = placedVariables();
  for (const Placed& variable : variables) fill(variable, 100);
  EXPECT_EQ(restore(), 1);
  for (const Placed& variable : variables) EXPECT_TRUE(holds(variable, 100)) << variable.name;
}

// A device on which every write fails.
class FullDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = open("/dev/full", O_WRONLY);
    ASSERT_GE(file_, 0);
  }
  void TearDown() override { close(file_); }
  int file_ = -1;
};

TEST_F(FullDevice, FirstFailedWriteComesWhenTheBufferFillsAndStopsEverythingAfter) {
  marsh_context context = contextFor(file_, true);
  uint8_t bytes[kMarshBufferBytes] = {};
  marsh(&context, bytes, kMarshBufferBytes);
  EXPECT_EQ(context.error, 0) << "nothing is written before the buffer is full";
  EXPECT_EQ(context.position, kMarshBufferBytes);

  uint8_t one = 7;
  marsh(&context, &one, 1);
  EXPECT_EQ(context.error, 1);
  marsh(&context, &one, 1);
  marshflush(&context);
  EXPECT_EQ(context.error, 1);
  EXPECT_EQ(context.position, kMarshBufferBytes) << "a failed context moves nothing";
}

TEST_F(FullDevice, FlushOfAPartBufferReportsTheFailedWrite) {
  marsh_context context = contextFor(file_, true);
  uint32_t word = 0x12345678;
  marsh(&context, &word, 4);
  marshflush(&context);
  EXPECT_EQ(context.error, 1);
}

TEST(NativeVariableFlush, RestoreDirectionFlushesNothing) {
  marsh_context context = contextFor(-1, false);
  context.position = 5;
  marshflush(&context);
  EXPECT_EQ(context.error, 0);
  EXPECT_EQ(context.position, 5);
}

}  // namespace
