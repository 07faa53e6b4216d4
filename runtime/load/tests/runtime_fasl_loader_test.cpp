// The runtime fasl loader through its entry slots, with writer-made files on
// real descriptors: the results at segment boundaries and inside segments,
// read errors, traces, section loading, the cell stack, the same objects as
// the native loader builds, malformed files, and start_fasl.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "platform/thread_block.h"
#include "runtime/load/cell_load_stack.h"
#include "runtime/load/fasl_bundles.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/fasl_segment.h"
#include "runtime/load/runtime_fasl_loader.h"
#include "runtime/load/startup_standins.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/fasl_malformed_cases.h"
#include "testing/fasl_writer.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

namespace {

using namespace lisp::fasl;
using lisp::lispval;
using testing_support::FaslWriter;
namespace tr = lisp::thread_record;
namespace seg = lisp::fasl::segment_record;

constexpr int32_t kLoadFasl = 0x2a7;
constexpr int32_t kLoadFaslName = 0x2a3;
constexpr int32_t kInitialFunction = -0x4dd;  // runtime global 306
constexpr int32_t kFirstTestDescriptor = 100;

// The heap, a thread record whose cell stack is empty, a host record whose
// read hook is the runtime's own, and Lisp functions that record their calls.
class RuntimeFaslLoad : public loader_test::LoaderObjectHeap {
 protected:
  void SetUp() override {
    LoaderObjectHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    saved_ = {bootmode, curreadmode, faslversion, min_faslversion, rsversion, min_rsversion};
    bootmode = 0;
    curreadmode = 0;
    faslversion = min_faslversion = 61;
    rsversion = min_rsversion = 31;
    threadWord(tr::kFaslCellStack) = nil();
    threadWord(tr::kFaslFreeCells) = nil();
    threadWord(tr::kFaslStack) = nil();
    threadWord(tr::kFaslStackWords) = 0;
    threadWord(tr::kSpecialFill) = 0;
    globalNumber(kRuntimeVersionGlobal) = 0;
    globalNumber(kFunctionGroupSwitchGlobal) = 0;
    savedT_ = tval;
    tval = objects_->makeSymbol(nil());
    initial_ = objects_->makeFunction(0x30000302);
    global(kInitialFunction) = initial_;
    recorder_ = objects_->makeFunction(testing_support::recorderAddress());
    // The loaders' Lisp functions: evaluation, names, definitions, words.
    for (int32_t symbol : {-0x65, -0xc5, -0xe9, -0x311, -0x39d})
      global(symbol) = objects_->makeSymbol(recorder_);
    symbolMaker_ = objects_->makeSymbol(recorder_);
    globalNumber(kSymbolMakerGlobal) = symbolMaker_;
    globalNumber(kPackageIndependenceGlobal) = objects_->makeSymbol(initial_);
    made_symbol_ = objects_->makeSymbol(nil());
    testing_support::resetRecorder(made_symbol_);
    // Stream hooks as the launcher installs them for runtime descriptors.
    table_.assign(host::kDescriptorCount, host::DescriptorEntry{});
    for (int32_t d = 0; d < 3; ++d) table_[d].kind = host::kKindConsole;
    record_.descriptorTable = table_.data();
    record_.readHook = readHook_ ? readHook_ : win_read;
    record_.closeHook = win_close;
    savedRedir_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
  }
  void TearDown() override {
    for (int fd : openFds_) ::close(fd);
    redir = savedRedir_;
    tval = savedT_;
    bootmode = saved_[0];
    curreadmode = saved_[1];
    faslversion = saved_[2];
    min_faslversion = saved_[3];
    rsversion = saved_[4];
    min_rsversion = saved_[5];
    LoaderObjectHeap::TearDown();
  }

  uint32_t& globalNumber(uint32_t n) { return global(runtimeGlobalOffset(n)); }

  // A Lisp string (type 117) in the test arena.
  lispval lispString(std::u16string_view text) {
    const auto count = static_cast<uint32_t>(text.size());
    auto* bytes = static_cast<uint8_t*>(objects_->allocate(8 + 2 * count + 8));
    const uint32_t header = lisp::headerWord(lisp::type_code::SimpleString);
    const uint32_t length = lisp::makeFixnum(static_cast<int32_t>(count));
    std::memcpy(bytes, &header, 4);
    std::memcpy(bytes + 4, &length, 4);
    std::memcpy(bytes + 8, text.data(), 2 * count);
    return lisp::pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bytes)),
                             lisp::Tag::Other);
  }

  static FaslWriter segmentWriter() {
    FaslWriter w;
    w.segment(7).machineId(0, 61, 31, 0x405);
    return w;
  }

  std::string writeFile(const std::vector<uint8_t>& bytes, const std::string& name = "rt.fasl") {
    const std::string path = testing_support::processTempPath(name);
    EXPECT_TRUE(testing_support::writeFileBytes(path, bytes));
    return path;
  }

  // A runtime descriptor (pseudo descriptor) for an open Linux descriptor.
  int32_t registerFd(int fd) {
    EXPECT_GE(fd, 0);
    openFds_.push_back(fd);
    const int32_t descriptor = kFirstTestDescriptor + static_cast<int32_t>(openFds_.size());
    table_[descriptor].handle = static_cast<uint32_t>(fd);
    table_[descriptor].kind = host::kKindRuntimeDescriptor;
    return descriptor;
  }
  int32_t descriptorFor(const std::vector<uint8_t>& bytes) {
    return registerFd(::open(writeFile(bytes).c_str(), O_RDONLY | O_CLOEXEC));
  }

  struct Loaded {
    int result;
    lispval record;  // the call's table record, left in its home slot
    std::string out;
  };
  Loaded callLoad(int32_t descriptor, lispval key = 0, lispval base = 0, lispval trace = 0) {
    testing_support::LispCallSetup setup =
        setupFor(kLoadFasl, lisp::makeFixnum(descriptor), thread_, 5);
    setup.stack[0] = setup.stack[1] = nil();
    setup.stack[2] = key ? key : nil();
    setup.stack[3] = base ? base : nil();
    setup.stack[4] = trace ? trace : nil();
    testing::internal::CaptureStdout();
    const testing_support::LispCallResult r = call(setup);
    Loaded loaded{-1, r.stack[0], testing::internal::GetCapturedStdout()};
    EXPECT_EQ(r.carry, 0u);
    EXPECT_TRUE(lisp::isFixnum(r.eax));
    loaded.result = lisp::fixnumValue(r.eax);
    return loaded;
  }
  Loaded load(const std::vector<uint8_t>& bytes, lispval key = 0, lispval base = 0,
              lispval trace = 0) {
    return callLoad(descriptorFor(bytes), key, base, trace);
  }

  static lispval symtabOf(lispval record) { return simpleVectorElement(record, seg::kSymtab); }
  static uint32_t symtabCount(lispval record) {
    return static_cast<uint32_t>(lisp::fixnumValue(simpleVectorElement(record, seg::kSymtabCount)));
  }
  // The strings wf_defglobal left in symtab, in order.
  std::vector<std::u16string> symtabStrings(lispval record) {
    std::vector<std::u16string> strings;
    for (uint32_t i = 0; i < symtabCount(record); ++i) {
      const lispval entry = simpleVectorElement(symtabOf(record), i);
      strings.push_back(entry == nil() ? u"nil" : charactersOf(entry));
    }
    return strings;
  }
  uint32_t cellStackLength() {
    uint32_t n = 0;
    for (lispval c = threadWord(tr::kFaslCellStack); lisp::isCons(c); c = lisp::cdr(c)) ++n;
    return n;
  }

  std::array<uint32_t, 6> saved_{};
  lispval savedT_ = 0, initial_ = 0, recorder_ = 0, symbolMaker_ = 0, made_symbol_ = 0;
  std::vector<host::DescriptorEntry> table_;
  host::HostRecord record_{};
  host::ReadHook readHook_ = nullptr;
  uint32_t* savedRedir_ = nullptr;
  std::vector<int> openFds_;
};

// ---- results ----

struct ResultCase {
  const char* name;
  std::vector<uint8_t> bytes;
  int result;
};

std::vector<ResultCase> resultCases() {
  const auto seg = [] {
    FaslWriter w;
    w.segment(7);
    return w;
  };
  std::vector<ResultCase> cases;
  cases.push_back({"empty file", {}, kClean});
  cases.push_back({"0x1C first", {0x1c, 0x41}, kClean});
  cases.push_back({"0x41 first", {0x41}, kNotFasl});
  cases.push_back({"ends after the timestamp", seg().bytes(), kTruncated});
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x405).done().commentLine("after").commentLine("more", 'e');
    cases.push_back({"trailing comments", w.bytes(), kClean});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 60, 31, 0x405).done();
    cases.push_back({"fasl release 60", w.bytes(), kFaslRelease});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 30, 0x405).done();
    cases.push_back({"runtime release 30", w.bytes(), kRuntimeRelease});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x1405).done();
    cases.push_back({"0x1000 without 0x2000", w.bytes(), kMachineCodeFlags});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x405).commentItem("a comment", kSecondCommentCode).done();
    cases.push_back({"101 inside a segment", w.bytes(), kClean});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x405).code(14).done();
    cases.push_back({"undefined code 14", w.bytes(), kMalformed});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x405).code(102).done();
    cases.push_back({"code above 101", w.bytes(), kMalformed});
  }
  {
    FaslWriter w = seg();
    w.machineId(0, 61, 31, 0x405).string(u"cut");
    std::vector<uint8_t> bytes = w.bytes();
    bytes.pop_back();
    cases.push_back({"ends inside a string", bytes, kMalformed});
  }
  return cases;
}

TEST_F(RuntimeFaslLoad, ResultsAtBoundariesAndInsideSegments) {
  for (const ResultCase& c : resultCases()) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(c.bytes).result, c.result);
    testing::internal::GetCapturedStderr();
    // Only the scratch string's cell stays on the stack.
    EXPECT_EQ(cellStackLength(), 1u);
  }
}

TEST_F(RuntimeFaslLoad, AnOlderReleaseEndsWith8UnlessAnotherResultComes) {
  min_faslversion = 60;
  FaslWriter w = segmentWriter();
  w.machineId(0, 60, 31, 0x405).done();
  EXPECT_EQ(load(w.bytes()).result, kCleanOlderRelease);
  w.segment(8).code(14);
  EXPECT_EQ(load(w.bytes()).result, kMalformed);
}

// ---- read errors ----

TEST_F(RuntimeFaslLoad, AReadErrorAtABoundaryIsTruncation) {
  const std::string directory = testing_support::processTempPath("rt-dir");
  std::filesystem::create_directories(directory);
  const int32_t descriptor = registerFd(::open(directory.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(callLoad(descriptor).result, kTruncated);
}

// A read hook that fails with EISDIR from its second call on.
int32_t failingSecondRead(int32_t descriptor, char* buffer, int32_t length, int32_t* error) {
  static int calls = 0;
  if (buffer == nullptr) {
    calls = 0;
    return 0;
  }
  if (++calls == 1) return win_read(descriptor, buffer, length, error);
  *error = EISDIR;
  return -1;
}

TEST_F(RuntimeFaslLoad, AReadErrorInsideASegmentIsTruncation) {
  failingSecondRead(0, nullptr, 0, nullptr);
  record_.readHook = failingSecondRead;
  FaslWriter w = segmentWriter();
  w.string(std::u16string(5000, u'x')).code(78).done();
  EXPECT_EQ(load(w.bytes()).result, kTruncated);
}

// ---- tracing ----

TEST_F(RuntimeFaslLoad, TraceShowsOneLinePerItemAndAFinalNewline) {
  FaslWriter w = segmentWriter();
  w.nil().list(1).code(78).done();
  const Loaded loaded = load(w.bytes(), 0, 0, tval);
  EXPECT_EQ(loaded.result, kClean);
  size_t lines = 0;
  for (size_t at = loaded.out.find("code: "); at != std::string::npos;
       at = loaded.out.find("code: ", at + 1))
    ++lines;
  EXPECT_EQ(lines, 6u);  // 0xF3, machine id, nil, list, pop, done
  EXPECT_NE(loaded.out.find("code: 243 @ 1   [201"), std::string::npos) << loaded.out;
  EXPECT_NE(loaded.out.find("timestamp: 7"), std::string::npos);
  EXPECT_NE(loaded.out.find("list of size size: 1\n"), std::string::npos);
  EXPECT_EQ(loaded.out.back(), '\n');
}

// ---- version text ----

TEST_F(RuntimeFaslLoad, AVersionDifferingInItsFifthCharacterPrintsBothLinesOnce) {
  const lispval runtimeText = lispString(u"Vexm1 [1.0]");
  globalNumber(kRuntimeVersionGlobal) = runtimeText;
  FaslWriter w = segmentWriter();
  w.cversion(u"Vexm2 [1.0]").done();
  const Loaded loaded = load(w.bytes());
  EXPECT_EQ(loaded.result, kClean);
  EXPECT_EQ(loaded.out, "Mismatched fasl version: Vexm2 [1.0]...: Recompile recommended.\n");
  FaslWriter same = segmentWriter();
  same.cversion(u"Vexm1 [1.0] and more").done();
  EXPECT_EQ(load(same.bytes()).out, "");  // compared over the shorter length
}

}  // namespace
