// A Lisp built from scratch, dumped and started again from its image, end to
// end in real processes (x1_host). The tests make the start-up bundle: one
// fasl with two hand-assembled functions.
//
// F1 runs during the build (funcallit): it stores F2 into the global word
// that names the function a restored world starts in, dumps the image to the
// path the host placed at kNamePage, and exits with 42 when the dump gave 0
// (else 50 + the dump's result). F2 runs in the restored world: it checks
// that its constant (1 . 2) came back whole and exits with its constant 43
// (else 99). A variant of F2 dumps again before its checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "runtime/load/image_file.h"
#include "runtime/rs/entry_table.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/fasl_writer.h"
#include "testing/run_program.h"
#include "testing/temp_path.h"

namespace {

namespace fs = std::filesystem;
namespace frame = lisp::nil_block::frame;
using lisp::makeFixnum;
using testing_support::ProgramRun;

// ---- what the host and the runtime agree on ----

constexpr uint32_t kNamePage = 0x10000000;  // x1_host writes the image path here
constexpr char kImagePathVariable[] = "LISP_DUMP_PATH";
constexpr char kStartupDebugVariable[] = "VXM_STARTUP_DEBUG";
// The global word (globreg index) holding the function a restored world runs.
constexpr int32_t kRebornFunctionWord = -313;
constexpr uint32_t kTimestamp = 0x5f3a1c07;
constexpr char kStartupFaslName[] = "sys/startup.fasl";
constexpr int kBuildStatus = 42, kRebornStatus = 43, kWrongConstant = 99, kDumpFailedBase = 50;
constexpr int kImageFailure = 255;  // lisp_exit(-1)
constexpr char kNotAvailable[] = "not available";  // what a missing service says

// The global at nil+d is globreg word (d - kThreadSlotIndex) / 4.
constexpr int32_t globalWordOffset(int32_t word) {
  return lisp::nil_block::global::kThreadSlotIndex + 4 * word;
}
static_assert(globalWordOffset(kRebornFunctionWord) == -0x4f9);

int32_t entryOffset(const char* routine) {
  for (const auto& slot : lisp::entry_table::kRoutineSlots)
    if (std::strcmp(slot.name, routine) == 0) return slot.offset;
  ADD_FAILURE() << "no entry-table row for " << routine;
  return 0;
}

// Byte offset of constant i from a function's tagged word.
int32_t functionConstant(uint32_t i) {
  return lisp::offsetFromWord(offsetof(lisp::FunctionObject, constants), lisp::Tag::Other) +
         4 * static_cast<int32_t>(i);
}

// ---- hand assembly ----

class Assembler {
 public:
  Assembler& op(std::initializer_list<uint8_t> bytes) {
    code_.insert(code_.end(), bytes);
    return *this;
  }
  Assembler& disp8(int32_t value) {
    EXPECT_TRUE(value >= -128 && value <= 127) << value;
    code_.push_back(static_cast<uint8_t>(value));
    return *this;
  }
  Assembler& imm32(uint32_t value) {
    for (int i = 0; i < 4; ++i) code_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  // A short jump's displacement byte, to be landed later.
  size_t jump8(uint8_t opcode) {
    code_.push_back(opcode);
    code_.push_back(0);
    return code_.size() - 1;
  }
  void land(size_t displacement) {
    const size_t distance = code_.size() - (displacement + 1);
    EXPECT_LE(distance, 127u);
    code_[displacement] = static_cast<uint8_t>(distance);
  }
  // Code vectors hold whole 32-bit words of code here.
  std::vector<uint8_t> finish() {
    while (code_.size() % 4 != 0) code_.push_back(0x90);  // nop
    return code_;
  }

 private:
  std::vector<uint8_t> code_;
};

// A frame as compiled code builds it (the stub at nil left esi the
// function, edi nil, ebx the thread): the collector's stack walk reads the
// function at ebp-4 and the slots at ebp-0x14..-0x1c as Lisp values, and
// moves the return address into this code when it moves the code vector.
void lispFrame(Assembler& a) {
  a.op({0x55});                               // push ebp
  a.op({0x89, 0xe5});                         // mov ebp, esp
  a.op({0x56});                               // push esi                 function at ebp-4
  a.op({0x83, 0xec}).disp8(0x1c);             // sub esp, 0x1c            rest of the 32-byte block
  a.op({0x89, 0x7d}).disp8(frame::kCount);    // mov [ebp-0x10], edi      nil
  a.op({0x89, 0x7d}).disp8(frame::kClosure);  // mov [ebp-0x14], edi      no closure
  a.op({0x89, 0x7d}).disp8(frame::kSymbol);   // mov [ebp-0x18], edi      no symbol
  a.op({0x89, 0x5d}).disp8(frame::kThread);   // mov [ebp-0x1c], ebx      thread
}

// The stacked argument 3 and the two home slots of the calls that follow.
void callArea(Assembler& a) {
  a.op({0x57});  // push edi                 argument 3: nil
  a.op({0x57});  // push edi                 home slot 2
  a.op({0x57});  // push edi                 home slot 1
}

void callEntry(Assembler& a, const char* routine) {
  a.op({0x8b, 0x5d}).disp8(frame::kThread);  // mov ebx, [ebp-0x1c]      thread
  a.op({0xff, 0x97}).imm32(static_cast<uint32_t>(entryOffset(routine)));  // call [edi+entry]
}

// dumplisp of the name at kNamePage; the result (a fixnum) in eax, esi the
// (maybe moved) function again.
void dumpImage(Assembler& a) {
  a.op({0xb9}).imm32(3);                       // mov ecx, 3               three arguments
  a.op({0xb8}).imm32(makeFixnum(kNamePage));   // mov eax, name address    a fixnum
  a.op({0x89, 0xfa});                          // mov edx, edi             nil
  callEntry(a, "dumplisp");                    // call [edi+dumplisp]
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
}

// lispexit with the status (a fixnum) in eax.
void exitWithEax(Assembler& a) {
  a.op({0xb9}).imm32(1);     // mov ecx, 1
  callEntry(a, "lispexit");  // call [edi+lispexit]
  a.op({0x0f, 0x0b});        // ud2                      lispexit does not return
}

// When the dump's result in eax is not 0: exit with 50 + it.
void exitUnlessDumped(Assembler& a) {
  a.op({0x85, 0xc0});                               // test eax, eax
  const size_t dumped = a.jump8(0x74);              // jz dumped
  a.op({0x05}).imm32(makeFixnum(kDumpFailedBase));  // add eax, fixnum 50
  exitWithEax(a);
  a.land(dumped);
}

std::vector<uint8_t> firstFunctionCode() {
  Assembler a;
  lispFrame(a);
  a.op({0x8b, 0x46}).disp8(functionConstant(0));  // mov eax, [esi+c0]        F2
  // lea edx, [edi+global]    the reborn function's word
  a.op({0x8d, 0x97}).imm32(static_cast<uint32_t>(globalWordOffset(kRebornFunctionWord)));
  callEntry(a, "gc_setf_protect");             // call [edi+barrier]       [edx] := eax
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
  callArea(a);
  dumpImage(a);
  exitUnlessDumped(a);
  a.op({0xb8}).imm32(makeFixnum(kBuildStatus));  // mov eax, fixnum 42
  exitWithEax(a);
  return a.finish();
}

std::vector<uint8_t> rebornFunctionCode(bool dumpAgain) {
  Assembler a;
  lispFrame(a);
  callArea(a);
  if (dumpAgain) {
    dumpImage(a);
    exitUnlessDumped(a);
  }
  a.op({0x8b, 0x46}).disp8(functionConstant(1));  // mov eax, [esi+c1]        (1 . 2)
  a.op({0x8b, 0x50}).disp8(lisp::kCarOffset);     // mov edx, [eax-0x11]      car
  a.op({0x81, 0xfa}).imm32(makeFixnum(1));        // cmp edx, fixnum 1
  const size_t badCar = a.jump8(0x75);            // jne wrong
  a.op({0x8b, 0x50}).disp8(lisp::kCdrOffset);     // mov edx, [eax-0xd]       cdr
  a.op({0x81, 0xfa}).imm32(makeFixnum(2));        // cmp edx, fixnum 2
  const size_t badCdr = a.jump8(0x75);            // jne wrong
  a.op({0x8b, 0x46}).disp8(functionConstant(0));  // mov eax, [esi+c0]        fixnum 43
  exitWithEax(a);
  a.land(badCar);
  a.land(badCdr);
  a.op({0xb8}).imm32(makeFixnum(kWrongConstant));  // mov eax, fixnum 99
  exitWithEax(a);
  return a.finish();
}

constexpr uint8_t kSetcode = 11, kFuncallit = 54;

std::vector<uint8_t> startupFasl(bool dumpAgain) {
  testing_support::FaslWriter w;
  w.commentLine("start-up fasl of the end-to-end tests").segment(kTimestamp);
  w.machineId(0, 61, 31, 0x405);
  // F2: constants 43 and (1 . 2).
  w.fixnum(kRebornStatus).fixnum(1).fixnum(2).listStar(2).newBfunction(2);
  w.codeVector32(rebornFunctionCode(dumpAgain)).code(kSetcode);
  // F1: constant F2, called at once.
  w.newBfunction(1).codeVector32(firstFunctionCode()).code(kSetcode).code(kFuncallit);
  w.done();
  return w.bytes();
}

// ---- the fixture: a home with the bundle, an image directory ----

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/end_to_end_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(home());
    fs::create_directories(images());
    setenv(kImagePathVariable, image().c_str(), 1);
    unsetenv(kStartupDebugVariable);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }
  fs::path images() const { return root_ / "images"; }
  fs::path image() const { return images() / "startup.vxi"; }
  fs::path bundle() const { return home() / "files.vxb"; }

  void writeBundle(bool dumpAgain = false, const char* name = kStartupFaslName) {
    const auto bytes = testing_support::faslBundle({{name, kTimestamp, startupFasl(dumpAgain)}});
    ASSERT_TRUE(testing_support::writeFileBytes(bundle().string(), bytes));
  }

  ProgramRun host(const std::vector<std::string>& hostOptions,
                  const std::vector<std::string>& lispArguments) {
    std::vector<std::string> all = {"--home", home().string()};
    all.insert(all.end(), hostOptions.begin(), hostOptions.end());
    all.push_back("--");
    all.push_back("x1_host");
    all.insert(all.end(), lispArguments.begin(), lispArguments.end());
    testing_support::ProgramOptions options;
    options.workingDirectory = root_.string();
    return testing_support::runProgram(X1_HOST_PATH, all, options);
  }
  ProgramRun build() { return host({}, {"-build", "-B", bundle().string()}); }

  // Builds the image.
  void buildImage(bool dumpAgain = false) {
    writeBundle(dumpAgain);
    const ProgramRun run = build();
    ASSERT_EQ(run.exitStatus, kBuildStatus) << run.standardError << run.standardOutput;
  }

  static std::string everything(const ProgramRun& run) {
    return "stdout:\n" + run.standardOutput + "stderr:\n" + run.standardError;
  }

  fs::path root_;
};

TEST_F(EndToEnd, BuildLoadsTheBundleDumpsASoundImageAndExits42) {
  writeBundle();
  const ProgramRun run = build();
  EXPECT_EQ(run.exitStatus, kBuildStatus) << everything(run);
  const std::string all = run.standardOutput + run.standardError;
  EXPECT_NE(all.find("; fasl from bundle: sys/startup.fasl"), std::string::npos) << all;
  EXPECT_EQ(all.find("rror"), std::string::npos) << all;
  EXPECT_EQ(all.find(kNotAvailable), std::string::npos) << all;  // no missing service on the way

  // The image alone, no temporary file beside it.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(images()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"startup.vxi"});

  const int file = open(image().c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  image_header header{};
  auto table = std::make_unique<image_area_table>();
  EXPECT_EQ(pread(file, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
  EXPECT_EQ(pread(file, table.get(), sizeof *table, sizeof header),
            static_cast<ssize_t>(sizeof *table));
  close(file);
  const char* verdict = image_file::validateImage(header, table.get(), fs::file_size(image()));
  EXPECT_EQ(verdict, nullptr) << verdict;
}

// ---- restoring ----

enum class Damage { None, TruncatedBy64K, AreaOffsetCorrupted };

struct RestoreCase {
  const char* name;
  const char* imageOption;
  bool occupySavedHeap;
  Damage damage;
  int exitStatus;
  const char* message;  // on standard error; "" for none
};

class EndToEndRestore : public EndToEnd, public ::testing::WithParamInterface<RestoreCase> {};

void truncateBy(const fs::path& path, uintmax_t bytes) {
  fs::resize_file(path, fs::file_size(path) - bytes);
}

// The first area's file offset off its 64 KB boundary.
void corruptFirstAreaOffset(const fs::path& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::streamoff entry = sizeof(image_header) + offsetof(image_area_table, entries) +
                               offsetof(image_area_entry, file_offset);
  uint32_t offset = 0;
  file.seekg(entry);
  file.read(reinterpret_cast<char*>(&offset), sizeof offset);
  offset += 4;
  file.seekp(entry);
  file.write(reinterpret_cast<const char*>(&offset), sizeof offset);
}

TEST_P(EndToEndRestore, RestoresOrRefuses) {
  const RestoreCase& c = GetParam();
  buildImage();
  if (HasFatalFailure()) return;
  if (c.damage == Damage::TruncatedBy64K) truncateBy(image(), 0x10000);
  if (c.damage == Damage::AreaOffsetCorrupted) corruptFirstAreaOffset(image());
  std::vector<std::string> hostOptions;
  if (c.occupySavedHeap) {
    hostOptions = {"--occupy-saved-heap", image().string()};
    setenv(kStartupDebugVariable, "1", 1);  // says where the heap went
  }
  const ProgramRun run = host(hostOptions, {c.imageOption, image().string()});
  EXPECT_EQ(run.exitStatus, c.exitStatus) << everything(run);
  EXPECT_EQ(everything(run).find(kNotAvailable), std::string::npos) << everything(run);
  if (*c.message) {
    EXPECT_NE(run.standardError.find(c.message), std::string::npos) << everything(run);
  }
  if (c.occupySavedHeap) {
    EXPECT_NE(run.standardError.find("lisp heap being relocated by"), std::string::npos)
        << everything(run);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Images, EndToEndRestore,
    ::testing::Values(RestoreCase{"Mapped", "-I", false, Damage::None, kRebornStatus, ""},
                      RestoreCase{"Read", "-Im", false, Damage::None, kRebornStatus, ""},
                      RestoreCase{"MovedAndRelocated", "-I", true, Damage::None, kRebornStatus, ""},
                      RestoreCase{"Truncated", "-I", false, Damage::TruncatedBy64K, kImageFailure,
                                  "image file has been truncated\n"},
                      RestoreCase{"AreaOffsetCorrupted", "-I", false, Damage::AreaOffsetCorrupted,
                                  kImageFailure, "The image file's header is corrupted\n"}),
    [](const ::testing::TestParamInfo<RestoreCase>& info) { return info.param.name; });

// A restored world that dumps over the very image it runs from: the new
// image replaces the file by a rename, so the running process keeps its own
// pages and finishes as it should, and the new image restores in turn.
TEST_F(EndToEnd, ARestoredWorldDumpsOverItsOwnImage) {
  buildImage(/*dumpAgain=*/true);
  if (HasFatalFailure()) return;
  struct stat before {};
  ASSERT_EQ(stat(image().c_str(), &before), 0);
  const ProgramRun first = host({}, {"-I", image().string()});
  EXPECT_EQ(first.exitStatus, kRebornStatus) << everything(first);
  struct stat after {};
  ASSERT_EQ(stat(image().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "the image was written in place";
  const ProgramRun second = host({}, {"-I", image().string()});
  EXPECT_EQ(second.exitStatus, kRebornStatus) << everything(second);
}

TEST_F(EndToEnd, ABundleWithoutTheStartupFaslCannotStartTheBuild) {
  writeBundle(false, "sys/other.fasl");
  const ProgramRun run = build();
  const std::string all = run.standardOutput + run.standardError;
  const size_t skipping = all.find("; 1 fasl-bundle skipping file sys/startup.fasl...\n");
  EXPECT_NE(skipping, std::string::npos) << all;
  EXPECT_NE(all.find("Could not start lisp build!\n", skipping), std::string::npos) << all;
  EXPECT_EQ(run.exitStatus, 1) << all;
}

// Build and restore with the start-up messages on; on failure the log stays
// behind as the test's artefact.
TEST_F(EndToEnd, BuildAndRestoreWithStartupDebugMessages) {
  setenv(kStartupDebugVariable, "1", 1);
  writeBundle();
  const ProgramRun built = build();
  EXPECT_EQ(built.exitStatus, kBuildStatus);
  const ProgramRun restored = host({}, {"-I", image().string()});
  EXPECT_EQ(restored.exitStatus, kRebornStatus);
  if (HasFailure()) {
    const std::string log = testing_support::processTempPath("startup_debug.log");
    std::ofstream(log) << "== build\n"
                       << everything(built) << "== restore\n"
                       << everything(restored);
    ADD_FAILURE() << "start-up log kept in " << log;
  }
}

}  // namespace
