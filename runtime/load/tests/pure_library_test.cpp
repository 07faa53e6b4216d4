// The pure Lisp library: mapping a test-made file, its bounds, the checks on
// restore (validity, time stamp, version), moves, attaching from Lisp code,
// and purep called through its entry slot.
#include "runtime/load/pure_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/load/startup.h"
#include "runtime/os/profiler_timer.h"
#include "testing/console_recorder.h"
#include "testing/lisp_routine_heap.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

namespace {

using testing_support::ConsoleRecorder;

// Header fields of a library file, written at the offsets the format gives.
struct LibraryShape {
  uint32_t fileBytes = 0x200;
  uint16_t magic = 0x01FD;
  uint16_t version = 7;
  uint32_t timestamp = 0x5eed1234;
  uint32_t codeStart = 0x40, codeFill = 0x80, codeLength = 0x100;
  uint32_t stringStart = 0, stringFill = 0, stringLength = 0;
};

void put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = value & 0xff;
  bytes[at + 1] = value >> 8;
}
void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = (value >> (8 * i)) & 0xff;
}

// Writes a library file; the bytes after the header count up so that a
// mapped view can be compared with the file.
std::string writeLibrary(const std::string& name, const LibraryShape& shape) {
  std::vector<uint8_t> bytes(shape.fileBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 5);
  if (bytes.size() >= 36) {
    put16(bytes, 0, shape.magic);
    put16(bytes, 2, shape.version);
    put32(bytes, 4, shape.timestamp);
    put32(bytes, 8, 0);
    put32(bytes, 12, shape.codeStart);
    put32(bytes, 16, shape.codeFill);
    put32(bytes, 20, shape.codeLength);
    put32(bytes, 24, shape.stringStart);
    put32(bytes, 28, shape.stringFill);
    put32(bytes, 32, shape.stringLength);
  }
  const std::string path = testing_support::processTempPath(name);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  std::fclose(file);
  return path;
}

void nameLibrary(const std::string& path) {
  ASSERT_LT(path.size(), sizeof lso_file);
  std::strcpy(lso_file, path.c_str());
}

// Every test starts without a library, on the mapping-capable host family.
class PureLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    forget();
    host_os = 1;
  }
  void TearDown() override {
    unmap_lso_file();
    forget();
    verbose_startup = 0;
  }
  static void forget() {
    lso_file[0] = '\0';
    vpl_given_arg[0] = '\0';
    lsoinit();
    vxm_timestamp = 0;
    vxm_lsoversion = 0;
  }
  static constexpr uint32_t kLimit = 0x20000000;
  static constexpr uint32_t kPreferred = 0x1fff0000;  // the last 64 KB below the limit
};

TEST_F(PureLibrary, WithoutANameTheVariablesDescribeNoLibrary) {
  EXPECT_EQ(vxm_lso, 0u);
  EXPECT_EQ(vxm_lsoend, 0u);
  EXPECT_EQ(vxm_cvsh, reinterpret_cast<uintptr_t>(xvxm_cvs));
  EXPECT_EQ(vxm_cvsend, reinterpret_cast<uintptr_t>(xvxm_cvs));
  EXPECT_EQ(vxm_strp, reinterpret_cast<uintptr_t>(xvxm_str));
  EXPECT_EQ(xvxm_cvs[0], 0u);
  EXPECT_EQ(xvxm_str[0], 0u);
  EXPECT_EQ(get_lso_file(), nullptr);
  // There is no built-in library for a build without -c to take.
  lsoinit_text();
  EXPECT_EQ(vxm_lso, 0u);
  EXPECT_EQ(unmap_lso_file(), 0);
}

TEST_F(PureLibrary, FirstMappingGoesBelowTheLimitAndTakesTheHeader) {
  nameLibrary(writeLibrary("code_only.vpl", {}));
  EXPECT_EQ(map_lso_file(kLimit), 0);

  EXPECT_EQ(vxm_lso, kPreferred);
  EXPECT_EQ(vxm_cvsh, kPreferred + 0x40);
  EXPECT_EQ(vxm_cvsp, kPreferred + 0x80);
  EXPECT_EQ(vxm_cvsend, kPreferred + 0x140);
  EXPECT_EQ(vxm_lsoend, vxm_cvsend) << "without a string section the library ends with its code";
  EXPECT_EQ(vxm_strh, reinterpret_cast<uintptr_t>(xvxm_str));
  EXPECT_EQ(vxm_timestamp, 0x5eed1234u);
  EXPECT_EQ(vxm_lsoversion, 7);
  const auto* view = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(vxm_lso));
  EXPECT_EQ(view[0x1ff], static_cast<uint8_t>(0x1ff * 5));
  EXPECT_STREQ(get_lso_file(), lso_file);
}

TEST_F(PureLibrary, StringSectionEndsTheLibraryWhenThereIsOne) {
  LibraryShape shape;
  shape.stringStart = 0x140;
  shape.stringFill = 0x150;
  shape.stringLength = 0xc0;
  nameLibrary(writeLibrary("with_strings.vpl", shape));
  EXPECT_EQ(map_lso_file(kLimit), 0);
  EXPECT_EQ(vxm_strh, vxm_lso + 0x140);
  EXPECT_EQ(vxm_strp, vxm_lso + 0x150);
  EXPECT_EQ(vxm_strend, vxm_lso + 0x200);
  EXPECT_EQ(vxm_lsoend, vxm_strend);
}

TEST_F(PureLibrary, VerboseMappingNamesWhereTheLibraryWent) {
  const std::string path = writeLibrary("verbose.vpl", {});
  nameLibrary(path);
  verbose_startup = 1;
  testing::internal::CaptureStderr();
  map_lso_file(kLimit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Mapping " + path + ", lso mapped where desired: 1fff0000\n");
}

TEST_F(PureLibrary, AnOccupiedPreferredPlaceOnAFirstMappingIsNoMove) {
  ASSERT_EQ(platform::reserveAddressSpace(kPreferred, 0x10000), kPreferred);
  nameLibrary(writeLibrary("first_elsewhere.vpl", {}));
  EXPECT_EQ(map_lso_file(kLimit), 0);
  EXPECT_NE(vxm_lso, 0u);
  EXPECT_NE(vxm_lso, kPreferred);
  platform::releaseAddressSpace(kPreferred, 0x10000);
}

// An image that remembers the library at `where`, with its stamp and version.
void rememberLibraryAt(uint32_t where) {
  vxm_lso = where;
  vxm_timestamp = 0x5eed1234;
  vxm_lsoversion = 7;
}

// The permissions /proc/self/maps shows for the mapping that starts at `address`.
std::string permissionsAt(uint32_t address) {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  char line[512];
  std::string found;
  while (maps && std::fgets(line, sizeof line, maps)) {
    unsigned long start = 0;
    char permissions[8] = {};
    if (std::sscanf(line, "%lx-%*x %7s", &start, permissions) == 2 && start == address)
      found = permissions;
  }
  if (maps) std::fclose(maps);
  return found;
}

TEST_F(PureLibrary, TheViewIsPrivateAndReadOnlyOrAlsoExecutableWhenDataPagesCannotRun) {
  const std::string path = writeLibrary("protection.vpl", {});
  const struct {
    int depStyle;
    const char* permissions;
  } cases[] = {{0, "r--p"}, {1, "r-xp"}};
  for (const auto& c : cases) {
    nameLibrary(path);
    dep_style_vpl = c.depStyle;
    map_lso_file(kLimit);
    EXPECT_EQ(permissionsAt(vxm_lso), c.permissions);
    unmap_lso_file();
    forget();
  }
  dep_style_vpl = 0;
}

TEST_F(PureLibrary, VerboseRestoreTellsWhereTheLibraryWasAndWhereItWent) {
  constexpr uint32_t kOld = 0x1ff00000;
  const std::string path = writeLibrary("verbose_again.vpl", {});
  nameLibrary(path);
  rememberLibraryAt(kOld);
  verbose_startup = 1;
  testing::internal::CaptureStderr();
  map_lso_file(kLimit);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Mapping " + path + ", lso file mapped where mapped before: 1ff00000\n");
  unmap_lso_file();

  ASSERT_EQ(platform::reserveAddressSpace(kOld, 0x10000), kOld);
  rememberLibraryAt(kOld);
  testing::internal::CaptureStderr();
  const int32_t moved = map_lso_file(kLimit);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "lso file mapped at location: %x\nlso used to be at 1ff00000 - must relocate\n",
                kOld + moved);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Mapping " + path + ", " + expected);
  platform::releaseAddressSpace(kOld, 0x10000);
}

TEST_F(PureLibrary, RestoreMapsWhereTheLibraryWasBefore) {
  nameLibrary(writeLibrary("again.vpl", {}));
  rememberLibraryAt(0x1ff00000);
  EXPECT_EQ(map_lso_file(kLimit), 0);
  EXPECT_EQ(vxm_lso, 0x1ff00000u);
}

TEST_F(PureLibrary, RestoreWithTheOldPlaceTakenReturnsTheDistanceAndKeepsTheOldAddresses) {
  constexpr uint32_t kOld = 0x1ff00000;
  ASSERT_EQ(platform::reserveAddressSpace(kOld, 0x10000), kOld);
  nameLibrary(writeLibrary("moved.vpl", {}));
  rememberLibraryAt(kOld);
  const int32_t moved = map_lso_file(kLimit);
  EXPECT_NE(moved, 0);
  EXPECT_EQ(vxm_lso, kOld) << "the heap relocation moves the variables";
  const auto* header = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(kOld + moved));
  EXPECT_EQ(header[0], 0x01FD) << "the library lies at the old place plus the distance";
  platform::releaseAddressSpace(kOld, 0x10000);
}

TEST_F(PureLibrary, RestoreFromTheUpperHalfComesBelowTheLispHeap) {
  nameLibrary(writeLibrary("upper.vpl", {}));
  rememberLibraryAt(0x90000000);
  EXPECT_EQ(map_lso_file(kLimit), static_cast<int32_t>(kPreferred - 0x90000000u));
}

struct PreferredCase {
  int host;
  uint32_t limit, size, expected;
};
TEST_F(PureLibrary, PreferredAddressEndsBelowTheLimitOrIsFixedForOtherHosts) {
  const PreferredCase cases[] = {
      {1, 0x20000000, 0x12345, 0x1ffe0000},
      {1, 0x20000000, 0x10000, 0x1fff0000},
      {1, 0x1000, 0x2000, 0},  // would wrap: no preferred place
      {1, 0x20000000, 0x20000000, 0},
      {2, 0x20000000, 0x100, 0x93850000},
  };
  for (const PreferredCase& c : cases) {
    host_os = c.host;
    EXPECT_EQ(preferred_lso_addr(c.limit, c.size), c.expected)
        << std::hex << c.host << " " << c.limit << " " << c.size;
  }
}

TEST_F(PureLibrary, SetUpOfTheHeapsMapsTheNamedLibraryAndFreeingUnmapsIt) {
  nameLibrary(writeLibrary("with_heaps.vpl", {}));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ASSERT_EQ(setup_heaps(0, 0, 0, 0, 0, 1), 1);
  const std::string said =
      testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  EXPECT_EQ(vxm_lso, kPreferred);
  EXPECT_LE(vxm_lsoend, lisp_heap.base);
  EXPECT_EQ(said.find("forced relocation"), std::string::npos) << said;
  EXPECT_EQ(free_heaps(1), 1);
  EXPECT_EQ(vxm_lso, 0u);
  EXPECT_EQ(vxm_lsoend, 0u);
}

// ---- refusals that end the process ----

struct InvalidCase {
  const char* what;
  LibraryShape shape;
};

TEST_F(PureLibrary, InvalidFilesAreRefusedBeforeAnythingReadsThem) {
  auto shape = [](auto change) {
    LibraryShape s;
    change(s);
    return s;
  };
  const InvalidCase cases[] = {
      {"bad magic", shape([](LibraryShape& s) { s.magic = 0x01FE; })},
      {"code past the end", shape([](LibraryShape& s) { s.codeLength = 0x1c1; })},
      {"code length wraps", shape([](LibraryShape& s) { s.codeLength = 0xfffffff0; })},
      {"code fill before its start", shape([](LibraryShape& s) { s.codeFill = 0x3f; })},
      {"code fill past its end", shape([](LibraryShape& s) { s.codeFill = 0x141; })},
      {"strings past the end", shape([](LibraryShape& s) {
         s.stringStart = 0x180;
         s.stringFill = 0x180;
         s.stringLength = 0x81;
       })},
      {"string fill outside", shape([](LibraryShape& s) {
         s.stringStart = 0x180;
         s.stringFill = 0x10;
         s.stringLength = 0x20;
       })},
      {"shorter than a header", shape([](LibraryShape& s) { s.fileBytes = 35; })},
  };
  for (const InvalidCase& c : cases) {
    const std::string path = writeLibrary("invalid.vpl", c.shape);
    nameLibrary(path);
    EXPECT_EXIT(map_lso_file(kLimit), ::testing::ExitedWithCode(255),
                "^" + path + " is not a valid lso file\n$")
        << c.what;
    rememberLibraryAt(0x1ff00000);
    EXPECT_EXIT(map_lso_file(kLimit), ::testing::ExitedWithCode(255),
                "^" + path + " is not a valid lso file\n$")
        << c.what << " on restore";
    forget();
  }
}

TEST_F(PureLibrary, TimestampMismatchIsReportedBeforeVersionMismatch) {
  const std::string path = writeLibrary("stamped.vpl", {});
  nameLibrary(path);
  rememberLibraryAt(0x1ff00000);
  vxm_timestamp = 0xabc;
  vxm_lsoversion = 9;
  EXPECT_EXIT(map_lso_file(kLimit), ::testing::ExitedWithCode(255),
              "^Timestamp mismatch on " + path + " \\(abc vs 5eed1234\\)\\.\n$");
  vxm_timestamp = 0x5eed1234;
  EXPECT_EXIT(map_lso_file(kLimit), ::testing::ExitedWithCode(255),
              "^Version mismatch \\(9!=7\\), lisp shared-library " + path + "\\.\n$");
}

TEST_F(PureLibrary, AMissingFileEndsTheProcessWithItsName) {
  const std::string path = testing_support::processTempPath("no_such_library.vpl");
  nameLibrary(path);
  EXPECT_EXIT(map_lso_file(kLimit), ::testing::ExitedWithCode(255),
              "^Can't open lso file " + path + " \\(error: 2\\) \n$");
}

TEST_F(PureLibrary, RestoreSearchesTheGivenNameWithTheLibraryExtension) {
  const std::string path = writeLibrary("searched.vpl", {});
  const std::string given = path.substr(0, path.size() - 4);
  std::strcpy(vpl_given_arg, given.c_str());
  reborn_find_lso_file(0);
  EXPECT_STREQ(lso_file, path.c_str());

  lso_file[0] = '\0';
  std::strcpy(vpl_given_arg, (given + "_missing").c_str());
  EXPECT_EXIT(reborn_find_lso_file(0), ::testing::ExitedWithCode(255),
              "^The required vpl file, " + given + "_missing,\ncould not be found\\.\n$");
}

TEST_F(PureLibrary, WithoutAGivenNameTheRestoreSearchesNothing) {
  reborn_find_lso_file(0);
  EXPECT_EQ(lso_file[0], '\0');
}

// ---- attaching from Lisp code ----

TEST_F(PureLibrary, SecondAttachIsRefusedAndTheFirstLibraryStays) {
  const std::string first = writeLibrary("first.vpl", {});
  const std::string second = writeLibrary("second.vpl", {});
  ConsoleRecorder console;
  set_lso_file(first.c_str());
  EXPECT_EQ(ConsoleRecorder::console(), "");
  const uint32_t mappedAt = vxm_lso;
  EXPECT_NE(mappedAt, 0u);

  ConsoleRecorder::clear();
  set_lso_file(second.c_str());
  set_lso_file(nullptr);
  EXPECT_EQ(ConsoleRecorder::console(),
            "Unlinking of lso files not supported\nUnlinking of lso files not supported\n");
  EXPECT_STREQ(get_lso_file(), first.c_str());
  EXPECT_EQ(vxm_lso, mappedAt);
}

TEST_F(PureLibrary, AttachWithANameTooLongIsRefused) {
  const std::string name(600, 'n');
  ConsoleRecorder console;
  set_lso_file(name.c_str());
  EXPECT_EQ(ConsoleRecorder::console(), "File name too long: " + name + "\n");
  EXPECT_EQ(get_lso_file(), nullptr);
}

TEST_F(PureLibrary, VerboseAttachFramesTheLinking) {
  const std::string path = writeLibrary("framed.vpl", {});
  verbose_startup = 1;
  ConsoleRecorder console;
  testing::internal::CaptureStderr();
  set_lso_file(path.c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ConsoleRecorder::console(), "Linking " + path + ", done.\n");
}

// While a console is up the library's progress is told there, in order with
// the linking that frames it, and nothing goes to standard error.
TEST_F(PureLibrary, WithAConsoleUpTheWholeVerboseAttachIsInTheConsole) {
  const std::string path = writeLibrary("console.vpl", {});
  verbose_startup = 1;
  host::HostRecord record{};
  record.consoleWindow = 1;
  uint32_t* const saved = redir;
  redir = reinterpret_cast<uint32_t*>(&record);
  std::string told, onStandardError;
  {
    const ConsoleRecorder console(record);
    testing::internal::CaptureStderr();
    set_lso_file(path.c_str());
    onStandardError = testing::internal::GetCapturedStderr();
    told = ConsoleRecorder::console();
  }
  redir = saved;
  EXPECT_EQ(told.rfind("Mapping " + path + ", lso ", 0), 0u) << told;
  const std::string linking = "\nLinking " + path + ", done.\n";
  ASSERT_GE(told.size(), linking.size()) << told;
  EXPECT_EQ(told.substr(told.size() - linking.size()), linking) << told;
  EXPECT_EQ(onStandardError, "");
}

// ---- purep, through its entry slot ----

class Purep : public gc_test::LispRoutineHeap {
 protected:
  static constexpr int32_t kPurepSlot = 0x1a3;
  static constexpr lisp::lispval kT = 0x30000307;  // stands for the symbol t

  void SetUp() override {
    LispRoutineHeap::SetUp();
    savedT_ = tval;
    tval = kT;
    lso_file[0] = '\0';
    lsoinit();
    host_os = 1;
  }
  void TearDown() override {
    unmap_lso_file();
    lso_file[0] = '\0';
    lsoinit();
    tval = savedT_;
    LispRoutineHeap::TearDown();
  }

  lisp::lispval purep(uint32_t value) {
    testing_support::LispCallSetup setup = setupFor(kPurepSlot, value, 0x1234, 0x85);
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.edx, 0x1234u);
    EXPECT_EQ(result.ecx, 0x85u);
    EXPECT_EQ(result.ebx, setup.ebx);
    EXPECT_EQ(result.esi, setup.esi);
    return result.eax;
  }
  lisp::lispval savedT_ = 0;
};

TEST_F(Purep, OnlyValuesStrictlyInsideTheLibraryArePure) {
  nameLibrary(writeLibrary("purep.vpl", {}));
  map_lso_file(lisp_heap.base);
  ASSERT_NE(vxm_lso, 0u);
  struct Case {
    uint32_t value;
    bool pure;
  };
  const Case cases[] = {
      {vxm_lso + 16, false},  // the library's very first word
      {vxm_lso + 17, true},
      {vxm_lso + 24 + 2, true},
      {vxm_lsoend + 15, true},
      {vxm_lsoend + 16, false},
      {vxm_lso + 15, false},
      {0, false},
      {8, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(purep(c.value), c.pure ? kT : nil()) << std::hex << c.value - vxm_lso;
}

TEST_F(Purep, WithoutALibraryNothingIsPure) {
  const uint32_t values[] = {16, 17, 0x20000016, 0xfffffff7, nil()};
  for (uint32_t value : values) EXPECT_EQ(purep(value), nil()) << std::hex << value;
}

}  // namespace
