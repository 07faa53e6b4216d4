// The runtime fasl loader through its entry slots, with writer-made files on
// real descriptors: the results at segment boundaries and inside segments,
// read errors, traces, section loading, the cell stack, the same objects as
// the native loader builds, malformed files, and start_fasl.

#include "runtime/load/runtime_fasl_loader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "platform/thread_block.h"
#include "runtime/gc/from_space.h"
#include "runtime/load/cell_load_stack.h"
#include "runtime/load/fasl_bundles.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/fasl_scanner.h"
#include "runtime/load/fasl_segment.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/load/symbol_names.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/lisp_world_services.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/system_call_dispatch.h"
#include "runtime/rs/thread_record.h"
#include "testing/console_recorder.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/fasl_malformed_cases.h"
#include "testing/fasl_writer.h"
#include "testing/lisp_binding_thread.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

// ---- a collection at every allocation ----
//
// This program links with the constructor new_lisp_obj wrapped. While a test
// turns the forcing on, each constructor call the loaders make finds new
// space hidden and the cons page used up, so the real allocation inside it
// collects; afterwards the emptied semispace is filled with fixnum words, so
// anything read through a stale pointer shows as numbers.
namespace forced_collection {
bool on = false;
uint32_t allocations = 0;

constexpr uint32_t kPoison = 0xdead0000;  // a fixnum

void hideNewSpace() {
  namespace nbg = lisp::nil_block::global;
  gc::globalWord(nbg::kConsFill) = gc::globalWord(nbg::kConsLimit);
  GsNewHidden += gc::globalWord(gc::global::kNewFree);
  gc::globalWord(gc::global::kNewFree) = 0;
}

void poisonFromSpace() {
  const uint32_t start = GsNewFromEnd - GsNewFromArea.size;
  for (uint32_t a = start; a < GsNewFromEnd; a += 4) gc_test::at(a) = kPoison;
}
}  // namespace forced_collection

extern "C" lisp::lispval __real_new_lisp_obj(uint32_t type, uint32_t a, uint32_t b);
extern "C" lisp::lispval __wrap_new_lisp_obj(uint32_t type, uint32_t a, uint32_t b) {
  if (!forced_collection::on) return __real_new_lisp_obj(type, a, b);
  ++forced_collection::allocations;
  forced_collection::hideNewSpace();
  const lisp::lispval made = __real_new_lisp_obj(type, a, b);
  forced_collection::poisonFromSpace();
  return made;
}

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
constexpr int32_t kFunctionFormalsOffset = 2;  // where setformals stores them

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
    // The package function and formatted output the Lisp world provides:
    // not yet (their symbols' functions undefined) unless a test says so.
    for (uint32_t n :
         {lisp::lisp_world::kPackageFunctionGlobal, lisp::lisp_world::kFormattedOutputGlobal})
      globalNumber(n) = objects_->makeSymbol(initial_);
    made_symbol_ = objects_->makeSymbol(nil());
    testing_support::resetRecorder(made_symbol_);
    // Stream hooks as the launcher installs them for runtime descriptors.
    table_.assign(host::kDescriptorCount, host::DescriptorEntry{});
    for (int32_t d = 0; d < 3; ++d) table_[d].kind = host::kKindConsole;
    record_.descriptorTable = table_.data();
    record_.readHook = readHook_ ? readHook_ : win_read;
    record_.closeHook = win_close;
    record_.writeHook = recordConsole;
    console().clear();
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

  // The function of the symbol in runtime global n made the recorder.
  void provide(uint32_t n) {
    lisp::objectOf<lisp::SymbolObject>(globalNumber(n))->function = recorder_;
  }

  // libfasl on the bytes, its standard output captured.
  struct NativeLoaded {
    int result;
    lispval record;
    std::string out;
  };
  NativeLoaded nativeLoad(const std::vector<uint8_t>& bytes) {
    std::FILE* stream = std::fopen(writeFile(bytes, "native.fasl").c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    lispval cell = nil();
    console().clear();
    const int result = libfasl(stream, &cell, lisp::makeFixnum(0), thread_);
    return {result, cell, takeConsole()};
  }

  // The result of the runtime loader (load_fasl) or the native one on the bytes.
  int resultOf(bool runtime, const std::vector<uint8_t>& bytes) {
    return runtime ? load(bytes).result : nativeLoad(bytes).result;
  }

  // The symbol a call through the stub at nil was made for (the calling
  // frame's word -0x18).
  static lispval calledSymbol(const testing_support::RecordedCall& call) {
    return call.callerFrame[testing_support::frameIndex(0x18)];
  }

  // What the runtime printed on its console (descriptor 1, through the host
  // record's write hook), and a hook that sends it to standard error for
  // death tests.
  static std::string& console() {
    static std::string text;
    return text;
  }
  static int32_t recordConsole(int32_t, const char* buffer, int32_t length, int32_t*) {
    console().append(buffer, static_cast<size_t>(length));
    return length;
  }
  static int32_t consoleToStandardError(int32_t, const char* buffer, int32_t length, int32_t*) {
    return static_cast<int32_t>(::write(2, buffer, static_cast<size_t>(length)));
  }
  std::string takeConsole() {
    std::string text;
    text.swap(console());
    return text;
  }

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
    console().clear();
    const testing_support::LispCallResult r = call(setup);
    Loaded loaded{-1, r.stack[0], takeConsole()};
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
  // An independent rendering of an object, read from its fields.
  std::string describe(lispval x, int depth = 0) {
    using namespace lisp;
    if (depth > 8) return "...";
    if (x == nil()) return "nil";
    if (x == tval) return "t";
    if (isFixnum(x)) return std::to_string(fixnumValue(x));
    if (isCharacter(x)) return "#\\" + std::to_string(x >> 3);
    if (isCons(x)) {
      std::string text = "(" + describe(car(x), depth + 1);
      lispval rest = cdr(x);
      for (int n = 0; isCons(rest) && n < 20; ++n, rest = cdr(rest))
        text += " " + describe(car(rest), depth + 1);
      if (rest != nil()) text += " . " + describe(rest, depth + 1);
      return text + ")";
    }
    if (isSymbolTagged(x)) {
      const SymbolObject* symbol = objectOf<SymbolObject>(x);
      return x == made_symbol_ ? "made-symbol" : "sym:" + utf8(charactersOf(symbol->name));
    }
    if (!isOther(x)) return "?";
    const uint32_t head = header(x);
    switch (head & 0xff) {
      case type_code::SimpleString:
      case 101:
        return "\"" + utf8(charactersOf(x)) + "\"";
      case type_code::DoubleFloat:
        return "d:" + std::to_string(*reinterpret_cast<double*>(x - 0xa)) +
               ((head >> 8 & 1) ? "!" : "");
      case type_code::SingleFloat:
        return "f:" + std::to_string(*reinterpret_cast<float*>(x - 0xe)) +
               ((head >> 8 & 1) ? "!" : "");
      case type_code::Bignum: {
        std::string text = "big:" + std::to_string(head >> 8 & 0xff) + "[";
        for (uint32_t i = 0; i < (head >> 16); ++i)
          text += (i ? "," : "") + std::to_string(gc_test::at<uint16_t>(x - 0xe + 2 * i));
        return text + "]";
      }
      case type_code::Ratio:
      case type_code::Complex:
        return std::to_string(head & 0xff) + ":" + describe(gc_test::at(x - 0xe), depth + 1) + "/" +
               describe(gc_test::at(x - 0xa), depth + 1);
      case type_code::SimpleVector: {
        std::string text = "#(";
        for (uint32_t i = 0; i < simpleVectorLength(x); ++i)
          text += (i ? " " : "") + describe(simpleVectorElement(x, i), depth + 1);
        return text + ")";
      }
      case type_code::Function: {
        std::string text = "fn" + std::to_string(head >> 8 & 0xff) + "[";
        for (uint32_t i = 0; i < (head >> 16); ++i)
          text += (i ? " " : "") + describe(gc_test::at(x + 0x12 + 4 * i), depth + 1);
        return text + "]";
      }
      case type_code::CodeVector:
      case kPureCodeVectorType: {
        std::string text = "code" + std::to_string(head & 0xff) + ":";
        for (uint32_t i = 0; i < 4; ++i)
          text += std::to_string(gc_test::at<uint8_t>(x - 0xe + i)) + ",";
        return text;
      }
      default:
        return "type" + std::to_string(head & 0xff);
    }
  }
  static std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
  }
  std::vector<std::string> symtabDescribed(lispval record) {
    std::vector<std::string> described;
    for (uint32_t i = 0; i < symtabCount(record); ++i)
      described.push_back(describe(simpleVectorElement(symtabOf(record), i)));
    return described;
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

// ---- sections ----

// One segment: "main" into symtab, then a section holding "sect" ended by
// end symchk. Words 2 to 4 of its table of contents give the section's
// offset for the key that selects it (0: absent).
std::vector<uint8_t> sectionedFasl(uint32_t sectionWord, bool sectionPresent) {
  const auto build = [&](uint32_t offset) {
    FaslWriter w;
    w.segment(7).machineId(0, 61, 31, 0x405);
    std::array<uint32_t, 3> more = {0, 0, 0};
    more[sectionWord - 2] = offset;
    w.tableOfContents(4, more);
    w.string(u"main").code(76).code(78);
    const uint32_t sectionStart = static_cast<uint32_t>(w.size());
    w.string(u"sect").code(76).code(78).code(51).done();
    return std::make_pair(w.bytes(), sectionStart);
  };
  if (!sectionPresent) return build(0).first;
  return build(build(0).second).first;
}

TEST_F(RuntimeFaslLoad, ASectionKeyLoadsOnlyItsSection) {
  const lispval keys[3] = {objects_->makeSymbol(nil()), objects_->makeSymbol(nil()),
                           objects_->makeSymbol(nil())};
  for (uint32_t i = 0; i < 3; ++i) globalNumber(kSectionKeyGlobals[i]) = keys[i];
  EXPECT_EQ(symtabStrings(load(sectionedFasl(3, true)).record),
            (std::vector<std::u16string>{u"main", u"sect"}));
  for (uint32_t word = 2; word <= 4; ++word) {
    SCOPED_TRACE(word);
    const lispval key = keys[word - 2];
    const Loaded present = load(sectionedFasl(word, true), key);
    EXPECT_EQ(present.result, kClean);
    EXPECT_EQ(symtabStrings(present.record), std::vector<std::u16string>{u"sect"});
    const Loaded absent = load(sectionedFasl(word, false), key);
    EXPECT_EQ(absent.result, kClean);
    EXPECT_EQ(symtabCount(absent.record), 0u);
    EXPECT_EQ(cellStackLength(), 1u);
  }
  // A key that is none of the three loads as without one.
  EXPECT_EQ(symtabStrings(load(sectionedFasl(3, true), objects_->makeSymbol(nil())).record),
            (std::vector<std::u16string>{u"main", u"sect"}));
}

TEST_F(RuntimeFaslLoad, SectionsAreSoughtFromTheBasePosition) {
  globalNumber(121) = objects_->makeSymbol(nil());
  std::vector<uint8_t> bytes(10, '#');
  bytes[9] = '\n';
  const std::vector<uint8_t> fasl = sectionedFasl(3, true);
  bytes.insert(bytes.end(), fasl.begin(), fasl.end());
  const int32_t descriptor = descriptorFor(bytes);
  char skipped[10];
  ASSERT_EQ(::read(static_cast<int>(table_[descriptor].handle), skipped, 10), 10);
  const Loaded loaded = callLoad(descriptor, globalNumber(121), lisp::makeFixnum(10));
  EXPECT_EQ(loaded.result, kClean);
  EXPECT_EQ(symtabStrings(loaded.record), std::vector<std::u16string>{u"sect"});
}

TEST_F(RuntimeFaslLoad, ATableOfContentsTooShortForTheKeyIsMalformed) {
  globalNumber(121) = objects_->makeSymbol(nil());
  FaslWriter w = segmentWriter();
  w.tableOfContents(4, std::array<uint32_t, 1>{0}).done();
  const testing_support::ConsoleRecorder console(record_);
  EXPECT_EQ(load(w.bytes(), globalNumber(121)).result, kMalformed);
  EXPECT_NE(testing_support::ConsoleRecorder::console().find("fasl: malformed item 44"),
            std::string::npos);
  FaslWriter one = segmentWriter();
  one.tableOfContentsWords(1, std::array<uint32_t, 1>{0}).done();
  EXPECT_EQ(load(one.bytes()).result, kMalformed);
}

// ---- tables ----

TEST_F(RuntimeFaslLoad, SymtabIsSizedByTheTableOfContentsAlone) {
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).fixnum(1).code(76).fixnum(2).code(76).done();
  const testing_support::ConsoleRecorder console(record_);
  EXPECT_EQ(load(w.bytes()).result, kMalformed);
  EXPECT_NE(testing_support::ConsoleRecorder::console().find("fasl: malformed item 76"),
            std::string::npos);
  EXPECT_EQ(cellStackLength(), 1u);
  FaslWriter index = segmentWriter();
  index.tableOfContents(2).fixnum(1).code(76).gensymget(1).done();
  testing::internal::CaptureStderr();
  EXPECT_EQ(load(index.bytes()).result, kMalformed);
  testing::internal::GetCapturedStderr();
}

TEST_F(RuntimeFaslLoad, FsymtabGrowsAndFillsWithGlobal2) {
  globalNumber(kFillValueGlobal) = lisp::makeFixnum(99);
  FaslWriter w = segmentWriter();
  w.tableOfContents(1);
  for (int i = 0; i < 31; ++i) w.fixnum(i).code(77).code(78);
  w.symget(30).symget(0).list(2).code(76).done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean);
  EXPECT_EQ(symtabDescribed(loaded.record), std::vector<std::string>{"(30 0)"});
  const lispval fsymtab = simpleVectorElement(loaded.record, seg::kFsymtab);
  EXPECT_EQ(simpleVectorLength(fsymtab), 60u);
  EXPECT_EQ(simpleVectorElement(fsymtab, 59), lisp::makeFixnum(99));
}

// ---- both loaders build the same objects ----

std::vector<uint8_t> everyBuildingItem() {
  const std::array<uint16_t, 2> digits = {0x1234, 0x5678};
  const std::array<uint8_t, 4> code = {0x90, 0x90, 0xc3, 0x90};
  FaslWriter w;
  w.segment(7).machineId(0, 61, 31, 0x405).tableOfContents(24);
  const auto keep = [&w] { w.code(76).code(78); };
  w.fixnum(5).fixnum(-6).nil().list(3);
  keep();
  w.fixnum(1).fixnum(2).fixnum(3).listStar(3);
  keep();
  w.string(u"Text").string(u"\u00e9", 0).list(2);
  keep();
  w.symbol(u"car", 1).symbol(u"key", 2).symbol(u"here", 0).list(3);
  keep();
  w.character(0, 0, 'A').character(40, 0, 'B').doubleFloat(1.5).doubleFloat(2.5, true);
  w.singleFloat(0.25).singleFloat(0.5, true).list(6);
  keep();
  w.fixnum(9).fixnum(8).vector(2, 112);
  keep();
  w.bignum(2, 1, digits).integer(0, std::array<uint16_t, 1>{77});
  w.integer(1, std::array<uint16_t, 3>{0, 0x2000, 1}).list(3);
  keep();
  w.fixnum(1).fixnum(2).code(25).fixnum(3).fixnum(4).code(26).list(2);
  keep();
  w.codeVector16(code).codeVector32(code).codeVector32(code, 0, true).fixnum(5).newBfunction(4);
  keep();
  w.code(69).fixnum(1).fixnum(2).pick(2).code(70).code(78).fixnum(3).fixnum(4).code(71).list(2);
  keep();
  w.fixnum(6).fixnum(7).preLispVector(2, 112).postLispVector(2);
  keep();
  w.fixnum(10).fixnum(11).pick(1).list(3);
  keep();
  w.gensymSymbol(u"g1", 0).code(78);
  // Sections that are not taken: the package item keeps its slot with nil
  // in both loaders; gensym and wf_defglobal keep theirs with nil in the
  // native loader only, and the runtime loader's count does not advance.
  w.beginSymchk(121).package(u"pkg").code(51);
  w.icsFlags(1).gensymSymbol(u"g2", 0).fixnum(1).code(76).code(78);
  w.icsFlags(0).gensymget(13).code(78).fixnum(12).code(76).code(78);
  w.done();
  return w.bytes();
}

TEST_F(RuntimeFaslLoad, BothLoadersBuildTheSameObjects) {
  const lispval unbound = objects_->makeSymbol(nil());
  lisp::objectOf<lisp::SymbolObject>(unbound)->globalValue = nil();
  globalNumber(121) = unbound;
  const std::vector<uint8_t> bytes = everyBuildingItem();
  std::FILE* stream = std::fopen(writeFile(bytes, "native.fasl").c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  lispval cell = nil();
  testing::internal::CaptureStdout();
  const int nativeResult = libfasl(stream, &cell, lisp::makeFixnum(0), thread_);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(nativeResult, kClean);
  const std::vector<std::string> native = symtabDescribed(cell);
  const Loaded runtime = load(bytes);
  ASSERT_EQ(runtime.result, kClean) << runtime.out;
  ASSERT_EQ(native.size(), 17u);
  EXPECT_EQ(native[3], "(made-symbol made-symbol made-symbol)");
  EXPECT_EQ(native[12], "sym:g1");
  EXPECT_EQ(native[13], "nil");  // package not taken
  EXPECT_EQ(native[14], "nil");  // gensym not taken
  EXPECT_EQ(native[15], "nil");  // wf_defglobal not taken
  EXPECT_EQ(native[16], "12");
  // The runtime loader: the same objects without the two slots of the items
  // not taken, so the last defglobal lands right after the package's slot.
  std::vector<std::string> expected = native;
  expected.erase(expected.begin() + 14, expected.begin() + 16);
  EXPECT_EQ(symtabDescribed(runtime.record), expected);
}

// ---- malformed files ----

TEST_F(RuntimeFaslLoad, MalformedFilesEndWithResult7AndTheStackRestored) {
  provide(lisp::lisp_world::kPackageFunctionGlobal);  // a package item gets to its fault
  ASSERT_EQ(load({}).result, kClean);
  for (const testing_support::MalformedFaslCase& c : testing_support::malformedFaslCases()) {
    if (c.nativeLoaderOnly) continue;
    SCOPED_TRACE(c.name);
    lispval symbol = 0;
    if (c.failingSymchkGlobal != 0) {
      symbol = objects_->makeSymbol(nil());
      lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = nil();
    }
    globalNumber(c.failingSymchkGlobal == 0 ? kSkipSegmentGlobal : c.failingSymchkGlobal) = symbol;
    const testing_support::ConsoleRecorder console(record_);
    const Loaded loaded = load(c.bytes);
    EXPECT_EQ(testing_support::ConsoleRecorder::console(), c.message());
    EXPECT_EQ(loaded.result, kMalformed);
    EXPECT_EQ(cellStackLength(), 1u);
  }
}

// ---- the cell stack ----

TEST_F(RuntimeFaslLoad, TheScratchStringStaysAndGrowsAndPoppedCellsAreReused) {
  FaslWriter w = segmentWriter();
  w.fixnum(1).fixnum(2).code(78).code(78).done();
  ASSERT_EQ(load(w.bytes()).result, kClean);
  ASSERT_EQ(cellStackLength(), 1u);
  const lispval bottom = threadWord(tr::kFaslCellStack);
  const lispval scratch = lisp::car(bottom);
  EXPECT_EQ(charactersOf(scratch).size(), kScratchCharacters);
  uint32_t freeCells = 0;
  for (lispval c = threadWord(tr::kFaslFreeCells); lisp::isCons(c); c = lisp::cdr(c)) ++freeCells;
  // A second load reuses the free cells and keeps the scratch string.
  const size_t before = made_.size();
  ASSERT_EQ(load(w.bytes()).result, kClean);
  EXPECT_EQ(lisp::car(threadWord(tr::kFaslCellStack)), scratch);
  uint32_t after = 0;
  for (lispval c = threadWord(tr::kFaslFreeCells); lisp::isCons(c); c = lisp::cdr(c)) ++after;
  EXPECT_EQ(after, freeCells);
  (void)before;
  // A name longer than the scratch string replaces it, in the same bottom cell.
  FaslWriter longer = segmentWriter();
  longer.string(std::u16string(200, u'n')).code(78).done();
  ASSERT_EQ(load(longer.bytes()).result, kClean);
  EXPECT_EQ(threadWord(tr::kFaslCellStack), bottom);
  EXPECT_EQ(charactersOf(lisp::car(bottom)).size(), 200u);
}

// The first load on a thread makes its scratch string and the cell that
// holds it; a collection at the cell's allocation must leave the cell
// holding the string where the collection moved it.
TEST_F(RuntimeFaslLoad, TheFirstScratchStringSurvivesACollectionAtItsCell) {
  namespace nbg = lisp::nil_block::global;
  // The cons area used up and new space short of a page: the next cons
  // needs a fresh page, which only a collection gives, while an other
  // object of a few hundred bytes still fits.
  global(nbg::kConsFill) = global(nbg::kConsLimit);
  global(gc::global::kNewFree) = gc::kPageBytes - 8;
  constexpr uint32_t kScavengeCount = 64;  // runtime global: a fixnum
  const lispval scavenges = globalNumber(kScavengeCount);
  ASSERT_EQ(load({}).result, kClean);
  EXPECT_EQ(globalNumber(kScavengeCount), scavenges + lisp::makeFixnum(1));
  ASSERT_EQ(cellStackLength(), 1u);
  const lispval scratch = lisp::car(threadWord(tr::kFaslCellStack));
  EXPECT_GE(scratch, GsNewOther1);
  EXPECT_LT(scratch, global(gc::global::kNewOtherTop));
  EXPECT_EQ(header(scratch) & 0xff, lisp::type_code::SimpleString);
  EXPECT_EQ(charactersOf(scratch).size(), kScratchCharacters);
}

TEST_F(RuntimeFaslLoad, PushAndPopGoThroughTheFreeList) {
  const lispval a = lisp::makeFixnum(1), b = lisp::makeFixnum(2);
  do_fasl_push(thread_, a);
  do_fasl_push(thread_, b);
  const lispval top = threadWord(tr::kFaslCellStack);
  EXPECT_EQ(do_fasl_pop(thread_), b);
  EXPECT_EQ(threadWord(tr::kFaslFreeCells), top);
  do_fasl_push(thread_, a);
  EXPECT_EQ(threadWord(tr::kFaslCellStack), top);  // the freed cell, reused
  EXPECT_EQ(threadWord(tr::kFaslFreeCells), nil());
  EXPECT_EQ(cellStackLength(), 2u);
}

// ---- by name ----

TEST_F(RuntimeFaslLoad, LoadFaslNameOpensLoadsAndCloses) {
  record_.closeHook = win_close;
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).fixnum(3).code(76).done();
  const std::string path = writeFile(w.bytes(), "named.fasl");
  const std::string missing = path + ".missing";
  const auto callName = [&](const std::string& name) {
    testing_support::LispCallSetup setup =
        setupFor(kLoadFaslName,
                 lisp::makeFixnum(static_cast<int32_t>(reinterpret_cast<uintptr_t>(name.c_str()))),
                 nil(), 4);
    setup.stack[0] = setup.stack[1] = nil();
    setup.stack[2] = setup.stack[3] = nil();
    return call(setup);
  };
  const testing_support::LispCallResult loaded = callName(path);
  EXPECT_EQ(loaded.eax, lisp::makeFixnum(kClean));
  EXPECT_EQ(symtabDescribed(loaded.stack[0]), std::vector<std::string>{"3"});
  EXPECT_EQ(callName(missing).eax, lisp::makeFixnum(kNotFasl));
  // Every descriptor it opened is closed again.
  for (int32_t d = host::kFirstAllocatedDescriptor; d < kFirstTestDescriptor; ++d)
    EXPECT_EQ(table_[d].kind, host::kKindFree) << d;
}

// ---- start_fasl ----

class StartFasl : public RuntimeFaslLoad {
 protected:
  void SetUp() override {
    RuntimeFaslLoad::SetUp();
    bootmode = 1;
    table_.assign(61, 0);
    oblist = table_.data();
    ob_size = 61;
    savedGcCount_ = auto_gc_count;
    auto_gc_count = 0;
    std::memcpy(savedHome_, home_location, sizeof savedHome_);
    std::memcpy(savedBundle_, bu_fname, sizeof savedBundle_);
    root_ = testing_support::processTempPath("start-fasl");
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ + "/home/sys");
    std::snprintf(home_location, sizeof home_location, "%s/home", root_.c_str());
    std::snprintf(bu_fname, sizeof bu_fname, "%s/files.vxb", root_.c_str());
    bundlename = bu_fname;
  }
  void TearDown() override {
    oblist = nullptr;
    ob_size = 0;
    auto_gc_count = savedGcCount_;
    std::memcpy(home_location, savedHome_, sizeof savedHome_);
    std::memcpy(bu_fname, savedBundle_, sizeof savedBundle_);
    std::filesystem::remove_all(root_);
    RuntimeFaslLoad::TearDown();
  }

  std::vector<lispval> table_;
  std::string root_;
  int32_t savedGcCount_ = 0;
  char savedHome_[sizeof home_location] = {};
  char savedBundle_[sizeof bu_fname] = {};
};

TEST_F(StartFasl, LoadsSysStartupFromTheBundle) {
  FaslWriter w = segmentWriter();
  w.symbol(u"started", 0).code(76).code(78).done();
  ASSERT_TRUE(testing_support::writeFileBytes(
      bu_fname, testing_support::faslBundle({{"sys/startup.fasl", 7, w.bytes()}})));
  lispval cell = nil();
  raz_fasl_noisy = 0;
  console().clear();
  EXPECT_EQ(start_fasl(&cell), 0);
  EXPECT_EQ(takeConsole(), ";");
  EXPECT_EQ(raz_fasl, 0u);
  ASSERT_TRUE(lisp::isOther(cell));
  EXPECT_EQ(describe(simpleVectorElement(symtabOf(cell), 0)), "sym:started");
}

TEST_F(StartFasl, AFailedStartEndsTheProcessWithStatus1) {
  lispval cell = nil();
  record_.writeHook = consoleToStandardError;
  EXPECT_EXIT(
      {
        ::dup2(2, 1);  // bundfasl's own lines
        start_fasl(&cell);
      },
      testing::ExitedWithCode(1), "Could not start lisp build!");
}

// ---- the scanner ----

class FaslScan : public RuntimeFaslLoad {
 protected:
  static constexpr int32_t kScanFasl = 0x1ff;
  static constexpr int32_t kScanFaslName = 0x15f;

  void SetUp() override {
    RuntimeFaslLoad::SetUp();
    patch_ = objects_->makeSymbol(recorder_);
    globalNumber(kPatchFunctionGlobal) = patch_;
  }

  struct Scanned {
    int32_t result;
    std::string out;
  };
  Scanned scan(const std::vector<uint8_t>& bytes, bool verbose) {
    testing_support::LispCallSetup setup =
        setupFor(kScanFasl, lisp::makeFixnum(descriptorFor(bytes)), verbose ? tval : nil(), 2);
    setup.stack[0] = setup.stack[1] = nil();
    console().clear();
    const testing_support::LispCallResult r = call(setup);
    Scanned scanned{lisp::fixnumValue(r.eax), takeConsole()};
    EXPECT_EQ(r.carry, 0u);
    return scanned;
  }

  lispval patch_ = 0;
};

// Every item the writer makes, once, in a file of two segments; in
// byte-swapped order after the machine id when `kind` is 3.
std::vector<uint8_t> everyItem(uint8_t kind) {
  const std::array<uint16_t, 2> digits = {0x1234, 0x5678};
  const std::array<uint8_t, 4> code = {0x90, 0x90, 0xc3, 0x90};
  const std::array<uint8_t, 3> blob = {7, 8, 9};
  FaslWriter w;
  w.commentLine("header \\\n line").segment(0x01020304).machineId(kind, 61, 31, 0x2405);
  w.tableOfContents(3, std::array<uint32_t, 3>{0, 0, 0});
  w.nop().nil().symbol(u"sym", -2).string(u"text").list(2).listStar(1);
  w.argumentSymbol(u"arg", 7, 3).codeVector16(code, 0x1111).icsFlags(2);
  for (uint8_t c : {10, 11, 12, 13, 15, 16}) w.code(c);
  w.character(1, 2, 0x41).doubleFloat(1.0).code(19).package(u"pkg").singleFloat(2.0f);
  w.vector(3, 112).bignum(2, 0x80, digits).fixnum(-5).code(25).code(26).casemode(0x13).code(29);
  w.rawVector(98, 4, std::array<uint8_t, 4>{1, 2, 3, 4})
      .symget(0x10000, FaslWriter::Width::Escaped);
  w.code(34).commentItem("a \\\n b").code(36).codeVector32(code, 0x2222).singleFloat(3.0f, true);
  w.code(39)
      .newBfunction(4)
      .cversion(u"1.0 [v]")
      .code(43)
      .code(45)
      .newWfunction(5)
      .fcnflags(0x1234);
  w.doubleFloat(4.0, true).beginSymchk(121).code(51).codeVector32(code, 0x3333, true);
  w.code(53).code(54).integer(0x80, digits).gensymget(2).code(63).code(64).gensymSymbol(u"g", 9);
  w.prewfunction(6).postwfunction(7);
  for (uint8_t c : {69, 70, 71}) w.code(c);
  w.preLispVector(8, 96).postLispVector(8);
  for (uint8_t c : {74, 75, 76, 77, 78, 79, 81}) w.code(c);
  w.preclosure(2).postclosure(3).pick(4).code(85).code(87).ffPatch(blob);
  w.commentItem("second", kSecondCommentCode).done();
  w.commentLine("between", 'e').segment(5).nil().done().endByte();
  return w.bytes();
}

TEST_F(FaslScan, VerbosePrintsEveryItemAsTheGoldenText) {
  testing_support::resetRecorder(nil());
  const Scanned scanned = scan(everyItem(0), true);
  EXPECT_EQ(scanned.result, kScanEnd);
  std::ifstream golden(std::string(SCANNER_GOLDEN_FILE), std::ios::binary);
  ASSERT_TRUE(golden) << SCANNER_GOLDEN_FILE;
  const std::string expected{std::istreambuf_iterator<char>(golden),
                             std::istreambuf_iterator<char>()};
  EXPECT_EQ(scanned.out, expected);
  if (std::getenv("UPDATE_SCANNER_GOLDEN"))
    std::ofstream(std::string(SCANNER_GOLDEN_FILE), std::ios::binary) << scanned.out;
  EXPECT_EQ(lisp_recorder_log.count, 1u);
}

TEST_F(FaslScan, ASwappedTwinPrintsTheSameNumbers) {
  const Scanned little = scan(everyItem(0), true);
  const Scanned swapped = scan(everyItem(3), true);
  EXPECT_EQ(swapped.result, kScanEnd);
  // Only the machine id's kind byte differs.
  const std::string kindLittle = "machine id: byte 0,", kindSwapped = "machine id: byte 3,";
  std::string expected = little.out;
  expected.replace(expected.find(kindLittle), kindLittle.size(), kindSwapped);
  EXPECT_EQ(swapped.out, expected);
}

TEST_F(FaslScan, QuietScanStillHandsEachPatchToTheFunction) {
  testing_support::resetRecorder(nil());
  FaslWriter w = segmentWriter();
  const std::array<uint8_t, 3> blob = {7, 8, 9};
  w.ffPatch(blob).done();
  const Scanned scanned = scan(w.bytes(), false);
  EXPECT_EQ(scanned.result, kScanEnd);
  EXPECT_EQ(scanned.out, "");
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const lispval vector = lisp_recorder_log.calls[0].eax;
  EXPECT_EQ(header(vector) & 0xff, 125u);
  EXPECT_EQ(lisp::wordAt(vector, -0xe), lisp::makeFixnum(3));
  EXPECT_EQ(gc_test::at<uint8_t>(vector - 0xa + 2), 9u);
  // With no patch function nothing is called.
  lisp::objectOf<lisp::SymbolObject>(patch_)->function = initial_;
  testing_support::resetRecorder(nil());
  EXPECT_EQ(scan(w.bytes(), true).out.find("calling"), std::string::npos);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(FaslScan, ResultsAndLongStrings) {
  EXPECT_EQ(scan({}, true).result, kScanEnd);
  EXPECT_EQ(scan({}, true).out, "");
  EXPECT_EQ(scan({0x41}, true).result, kScanTruncated);
  FaslWriter cut = segmentWriter();
  EXPECT_EQ(scan(cut.bytes(), false).result, kScanTruncated);
  FaslWriter undefined = segmentWriter();
  undefined.code(14);
  const Scanned u = scan(undefined.bytes(), true);
  EXPECT_EQ(u.result, kScanUndefined);
  EXPECT_EQ(u.out.back(), '\n');
  FaslWriter sixty = segmentWriter();
  sixty.string(std::u16string(60, u'x')).done();
  const std::string out = scan(sixty.bytes(), true).out;
  EXPECT_NE(out.find("string: size: 60 \"" + std::string(50, 'x') + "...\" "), std::string::npos);
  const std::string directory = testing_support::processTempPath("scan-dir");
  std::filesystem::create_directories(directory);
  testing_support::LispCallSetup setup = setupFor(
      kScanFasl, lisp::makeFixnum(registerFd(::open(directory.c_str(), O_RDONLY | O_CLOEXEC))),
      nil(), 2);
  EXPECT_EQ(call(setup).eax, lisp::makeFixnum(kScanTruncated));
}

TEST_F(FaslScan, ScanByNameOpensAndCloses) {
  record_.closeHook = win_close;
  FaslWriter w = segmentWriter();
  w.done();
  const std::string path = writeFile(w.bytes(), "scan.fasl");
  const auto callName = [&](const std::string& name) {
    testing_support::LispCallSetup setup =
        setupFor(kScanFaslName,
                 lisp::makeFixnum(static_cast<int32_t>(reinterpret_cast<uintptr_t>(name.c_str()))),
                 nil(), 2);
    return call(setup).eax;
  };
  EXPECT_EQ(callName(path), lisp::makeFixnum(kScanEnd));
  EXPECT_EQ(callName(path + ".missing"), lisp::makeFixnum(kScanTruncated));
  for (int32_t d = host::kFirstAllocatedDescriptor; d < kFirstTestDescriptor; ++d)
    EXPECT_EQ(table_[d].kind, host::kKindFree) << d;
}

// ---- the input stream and the print bridges ----

TEST_F(RuntimeFaslLoad, TheInputStreamReadsSeeksAndTellsThroughItsBuffer) {
  std::vector<uint8_t> bytes(5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  FaslInputStream stream{};
  stream.descriptor = descriptorFor(bytes);
  EXPECT_EQ(fasl_get_char(&stream), 0);
  EXPECT_EQ(stream.count, kFaslStreamBufferBytes);
  EXPECT_EQ(fasl_tell(&stream), 1);
  fasl_seek(&stream, 99);  // inside the buffer: only the position moves
  EXPECT_EQ(stream.count, kFaslStreamBufferBytes);
  EXPECT_EQ(fasl_tell(&stream), 100);
  EXPECT_EQ(fasl_get_char(&stream), (100 * 7) & 0xff);
  fasl_seek(&stream, 4500 - 101);  // past it: the descriptor moves, the buffer empties
  EXPECT_EQ(stream.count, 0);
  EXPECT_EQ(fasl_tell(&stream), 4500);
  uint8_t four[4];
  fasl_readbytes(&stream, 4, four);
  EXPECT_EQ(four[3], static_cast<uint8_t>(4503 * 7));
  fasl_seek(&stream, -4);  // back inside the buffer
  EXPECT_EQ(fasl_tell(&stream), 4500);
  EXPECT_EQ(fasl_flushbytes(&stream, 0), kStreamEnd);
  EXPECT_EQ(fasl_flushbytes(&stream, 500), static_cast<uint8_t>(4999 * 7));
  EXPECT_EQ(fasl_get_char(&stream), kStreamEnd);
}

TEST_F(RuntimeFaslLoad, PrintBridgesFormatTheirWords) {
  static const char format[] = "%s|%u-%x\n";
  static const char word[] = "w";
  const auto address = [](const char* text) {
    return lisp::makeFixnum(static_cast<int32_t>(reinterpret_cast<uintptr_t>(text)));
  };
  testing_support::LispCallSetup setup = setupForRoutine(
      vxmprint3, address(format), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(word)), 4);
  setup.stack[0] = setup.stack[1] = nil();
  setup.stack[2] = 17;
  setup.stack[3] = 0x1f;
  setup.x87Count = 1;
  console().clear();
  const testing_support::LispCallResult r = call(setup);
  const std::string out = takeConsole();
  EXPECT_EQ(out, "w|17-1f\n");
  EXPECT_EQ(r.x87Depth, 0u);  // freed before the native call
  EXPECT_EQ(r.carry, 0u);
  static const char plain[] = "plain\n";
  call(setupForRoutine(vxmprint0, address(plain), 0, 1));
  EXPECT_EQ(takeConsole(), "plain\n");
}

// ---- what the runtime loader asks of Lisp ----

TEST_F(RuntimeFaslLoad, SymbolsComeFromGlobal42AndSetdplPassesT) {
  const lispval base = objects_->makeSymbol(nil());
  globalNumber(216) = base;
  curreadmode = 1;  // names are lowered unless their package is independent
  FaslWriter w = segmentWriter();
  w.symbol(u"CAR", 1).newBfunction(0).code(45).done();
  ASSERT_EQ(load(w.bytes()).result, kClean);
  ASSERT_GE(lisp_recorder_log.count, 2u);
  const testing_support::RecordedCall& made = lisp_recorder_log.calls[0];
  EXPECT_EQ(made.ecx, 3u);
  EXPECT_EQ(charactersOf(made.eax), u"car");
  EXPECT_EQ(made.edx, lisp::makeFixnum(3));
  EXPECT_EQ(made.stack[2], base);
  const testing_support::RecordedCall& defined = lisp_recorder_log.calls[1];
  EXPECT_EQ(defined.ecx, 3u);
  EXPECT_EQ(defined.eax, made_symbol_);
  EXPECT_EQ(defined.stack[2], tval);
  // A package-independent package keeps the name as written.
  lisp::objectOf<lisp::SymbolObject>(globalNumber(kPackageIndependenceGlobal))->function =
      recorder_;
  testing_support::resetRecorder(made_symbol_);
  FaslWriter again = segmentWriter();
  again.symbol(u"CAR", 1).code(78).done();
  ASSERT_EQ(load(again.bytes()).result, kClean);
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, base);  // asked about the package
  EXPECT_EQ(charactersOf(lisp_recorder_log.calls[1].eax), u"CAR");
}

TEST_F(RuntimeFaslLoad, BootModePushesTheNameAndAPackageAborts) {
  bootmode = 1;
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).symbol(u"name", 0).code(76).done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean);
  EXPECT_EQ(symtabDescribed(loaded.record), std::vector<std::string>{"\"name\""});
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  FaslWriter package = segmentWriter();
  package.tableOfContents(1).package(u"pkg").done();
  testing_support::LispCallSetup setup =
      setupFor(kLoadFasl, lisp::makeFixnum(descriptorFor(package.bytes())), thread_, 5);
  for (int i = 0; i < 5; ++i) setup.stack[i] = nil();
  record_.writeHook = consoleToStandardError;
  EXPECT_DEATH(testing_support::callWithLispConventions(setup),
               "Can't have a new package pkg in bootmode");
}

// ---- skipping ----

TEST_F(RuntimeFaslLoad, BeginSymchkTestsGlobals121To124Only) {
  const auto unbound = [this] {
    const lispval symbol = objects_->makeSymbol(nil());
    lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = nil();
    return symbol;
  };
  for (uint32_t g : {120u, 121u, 124u}) globalNumber(g) = unbound();
  FaslWriter w = segmentWriter();
  w.tableOfContents(8);
  // Global 120 is not tested: its section loads.
  w.beginSymchk(120).fixnum(1).code(76).code(78).code(51);
  // 121 and 124 fail: their sections, nested ones included, only count depth
  // (124 does not abandon the segment here).
  w.beginSymchk(121).fixnum(2).code(76).code(78);
  w.beginSymchk(122).fixnum(3).code(76).code(78).code(51);
  w.fixnum(4).code(76).code(78).code(51);
  w.beginSymchk(124).fixnum(5).code(76).code(78).code(51);
  w.fixnum(6).code(76).code(78).done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean);
  // The defglobals of the sections not taken store nothing.
  EXPECT_EQ(symtabDescribed(loaded.record), (std::vector<std::string>{"1", "6"}));
}

// ---- constructors that refuse ----

// A type the constructor refuses (its error signalled through the error
// function) gets nothing written into what it returned, in both loaders.
// A package item (its ICS flags ignored) fills symtab with what the package
// function of the Lisp world gives for its name; a later negative package
// number resolves to that entry.
TEST_F(RuntimeFaslLoad, APackageItemFillsSymtabWithThePackageFunctionsPackage) {
  provide(lisp::lisp_world::kPackageFunctionGlobal);
  FaslWriter w = segmentWriter();
  w.tableOfContents(2).icsFlags(1).package(u"pkg").icsFlags(0).symbol(u"name", -1).code(76);
  w.done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean) << loaded.out;
  EXPECT_EQ(symtabDescribed(loaded.record),
            (std::vector<std::string>{"made-symbol", "made-symbol"}));
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  const testing_support::RecordedCall& asked = lisp_recorder_log.calls[0];
  EXPECT_EQ(calledSymbol(asked), globalNumber(lisp::lisp_world::kPackageFunctionGlobal));
  EXPECT_EQ(asked.ecx, 1u);
  EXPECT_EQ(charactersOf(asked.eax), u"pkg");
  const testing_support::RecordedCall& interned = lisp_recorder_log.calls[1];
  EXPECT_EQ(calledSymbol(interned), symbolMaker_);
  EXPECT_EQ(charactersOf(interned.eax), u"name");
  EXPECT_EQ(interned.stack[2], made_symbol_);  // the package from symtab entry 0
}

// Before the Lisp world provides its package function, a taken package item
// ends the load with result 2 and a message that names the package.
TEST_F(RuntimeFaslLoad, APackageItemWithoutAPackageFunctionNamesThePackage) {
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).package(u"my-pkg").done();
  const std::string message =
      "package my-pkg cannot be found or made yet (no package function), abort this fasl\n";
  const Loaded runtime = load(w.bytes());
  EXPECT_EQ(runtime.result, kBadPackage);
  EXPECT_EQ(runtime.out, message);
  EXPECT_EQ(cellStackLength(), 1u);
  const NativeLoaded native = nativeLoad(w.bytes());
  EXPECT_EQ(native.result, kBadPackage);
  EXPECT_EQ(native.out, message);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

// A taken evalit item calls the function of its symbol with no arguments,
// not the evaluator of global 20; an item not taken calls nothing.
TEST_F(RuntimeFaslLoad, EvalitCallsTheSymbolsFunctionWithNoArguments) {
  lisp::objectOf<lisp::SymbolObject>(made_symbol_)->function = recorder_;
  FaslWriter w = segmentWriter();
  w.symbol(u"init", 1).code(15).icsFlags(1).symbol(u"skipped", 1).code(15).done();
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    testing_support::resetRecorder(made_symbol_);
    const int result = resultOf(runtime, w.bytes());
    ASSERT_EQ(result, kClean);
    ASSERT_EQ(lisp_recorder_log.count, 2u);  // the symbol made, then its function
    const testing_support::RecordedCall& called = lisp_recorder_log.calls[1];
    EXPECT_EQ(calledSymbol(called), made_symbol_);
    EXPECT_EQ(called.ecx, 0u);
  }
}

// A setformals item stores a list as the function's formals through the
// runtime's cons sharing, which gives an equal list.
TEST_F(RuntimeFaslLoad, SetformalsStoresAnEqualListThroughConsSharing) {
  FaslWriter w = segmentWriter();
  w.tableOfContents(2).newBfunction(0).fixnum(1).fixnum(2).list(2).code(16).code(76);
  w.fixnum(3).nil().list(2).code(76).done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean);
  const lispval function = simpleVectorElement(symtabOf(loaded.record), 0);
  EXPECT_EQ(describe(lisp::wordAt(function, kFunctionFormalsOffset)), "(1 2)");
  const lispval list = simpleVectorElement(symtabOf(loaded.record), 1);
  EXPECT_EQ(describe(share_conses(list)), "(3 nil)");
}

// The loaders read the current package (global 39), the case mode (global
// 327) and the symchk test through the loading thread's bindings.
TEST_F(RuntimeFaslLoad, TheLoadersReadSpecialsThroughTheThreadsBindings) {
  constexpr uint32_t kElement = 4;
  testing_support::prepareThreadForBinding(thread_, kElement, nil());
  // Symbols made by new_symbol (their value vectors as Lisp code has them),
  // bound by bind_one_spec in a heap cell.
  const auto special = [this](lispval globalValue) {
    const lispval symbol = call(setupFor(0x127, nil(), lisp::makeFixnum(0), 2)).eax;
    lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = globalValue;
    return symbol;
  };
  const auto bind = [this](lispval symbol, lispval value) {
    testing_support::LispCallSetup setup = setupFor(0x47, value, symbol, 1);
    ASSERT_EQ(call(setup).carry, 0u);
    ASSERT_EQ(lisp::small_services::threadSymbolValue(thread_, symbol), value);
  };
  const lispval globalPackage = objects_->makeSymbol(nil());
  const lispval boundPackage = objects_->makeSymbol(nil());
  const lispval packageSymbol = special(globalPackage);
  globalNumber(kCurrentPackageGlobal) = packageSymbol;
  bind(packageSymbol, boundPackage);
  // The case mode: globally that of global 28, bound to that of global 29
  // (lower case), so an upper-case image keeps the names as written.
  for (uint32_t i = 0; i < 3; ++i) globalNumber(kCaseModeGlobals[i]) = lisp::makeFixnum(10 + i);
  const lispval caseSymbol = special(globalNumber(kCaseModeGlobals[0]));
  globalNumber(kCurrentCaseModeSymbolGlobal) = caseSymbol;
  bind(caseSymbol, globalNumber(kCaseModeGlobals[1]));
  // Symchk: globally nil (the section would be skipped), bound to t.
  const lispval symchk = special(nil());
  globalNumber(121) = symchk;
  bind(symchk, tval);
  curreadmode = 3;
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).casemode(0).symbol(u"Name", 0).code(78);
  w.beginSymchk(121).fixnum(7).code(76).code(78).code(51).done();
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    testing_support::resetRecorder(made_symbol_);
    lispval record = 0;
    if (runtime) {
      const Loaded loaded = load(w.bytes());
      ASSERT_EQ(loaded.result, kClean);
      record = loaded.record;
    } else {
      const NativeLoaded loaded = nativeLoad(w.bytes());
      ASSERT_EQ(loaded.result, kClean);
      record = loaded.record;
    }
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(charactersOf(lisp_recorder_log.calls[0].eax), u"Name");
    EXPECT_EQ(lisp_recorder_log.calls[0].stack[2], boundPackage);
    EXPECT_EQ(symtabDescribed(record), std::vector<std::string>{"7"});
  }
  curreadmode = 0;
}

// The runtime loader's conversion mode follows its own table: class 1
// reads row 0, class 2 row 3, any other class the row of the read mode; a
// required mode keeps every name.
TEST(RuntimeStrcvtMode, FollowsItsOwnTable) {
  constexpr uint32_t K = kKeepCase, L = kToLowerCase, U = kToUpperCase;
  constexpr uint32_t rows[4][4] = {{K, K, L, L}, {L, K, L, L}, {U, U, K, K}, {K, U, K, K}};
  for (uint32_t readMode = 0; readMode < 4; ++readMode)
    for (uint32_t fileMode = 0; fileMode < 4; ++fileMode) {
      SCOPED_TRACE(testing::Message() << "read mode " << readMode << ", file mode " << fileMode);
      EXPECT_EQ(fasl_strcvt_mode(readMode, fileMode, 0, 0), rows[readMode][fileMode]);
      EXPECT_EQ(fasl_strcvt_mode(readMode, fileMode, 1, 0), rows[0][fileMode]);
      EXPECT_EQ(fasl_strcvt_mode(readMode, fileMode, 2, 0), rows[3][fileMode]);
      EXPECT_EQ(fasl_strcvt_mode(readMode, fileMode, 0, 1), K);
    }
}

// An image that reads upper case (read mode 3) and a file whose names are in
// mode 0: the runtime loader keeps the names, the native loader raises them.
TEST_F(RuntimeFaslLoad, TheRuntimeLoaderConvertsNamesByItsOwnTable) {
  curreadmode = 3;
  FaslWriter w = segmentWriter();
  w.casemode(0x00).symbol(u"Name", 0).code(78).done();
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    testing_support::resetRecorder(made_symbol_);
    const int result = resultOf(runtime, w.bytes());
    ASSERT_EQ(result, kClean);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(charactersOf(lisp_recorder_log.calls[0].eax), runtime ? u"Name" : u"NAME");
  }
  curreadmode = 0;
}

// push_data pushes onto the loading thread's value of the symbol: with the
// symbol bound on the thread, the binding's list grows and the global list
// stays as it was.
TEST_F(RuntimeFaslLoad, PushDataPushesOntoTheThreadsBindingInBothLoaders) {
  constexpr uint32_t kElement = 4;
  testing_support::prepareThreadForBinding(thread_, kElement, nil());
  const lispval symbol = call(setupFor(0x127, nil(), lisp::makeFixnum(0), 2)).eax;
  const lispval globalList = call(setupFor(0x2b, lisp::makeFixnum(1), nil(), 2)).eax;  // qcons
  const lispval boundList = call(setupFor(0x2b, lisp::makeFixnum(2), nil(), 2)).eax;
  lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = globalList;
  testing_support::LispCallSetup bind = setupFor(0x47, boundList, symbol, 1);  // bind_one_spec
  ASSERT_EQ(call(bind).carry, 0u);
  ASSERT_EQ(lisp::small_services::threadSymbolValue(thread_, symbol), boundList);
  FaslWriter w = segmentWriter();
  w.symbol(u"items", 0).fixnum(3).code(79).done();
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    testing_support::resetRecorder(symbol);  // the symbol maker gives the bound symbol
    const int result = resultOf(runtime, w.bytes());
    ASSERT_EQ(result, kClean);
    const lispval pushed = lisp::small_services::threadSymbolValue(thread_, symbol);
    ASSERT_TRUE(lisp::isCons(pushed));
    EXPECT_EQ(describe(pushed), "(3 2)");
    EXPECT_EQ(lisp::cdr(pushed), boundList);
    EXPECT_EQ(lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue, globalList);
    EXPECT_EQ(describe(globalList), "(1)");
    // The next load starts from the bound list again.
    *lisp::small_services::symbolLocativeAt(kElement, symbol) = boundList;
  }
}

// One rule in both loaders: a symbol's name is converted by the file's case
// mode unless the function of global 263 calls its package independent.
TEST_F(RuntimeFaslLoad, BothLoadersKeepTheNamesOfPackageIndependentPackages) {
  const lispval base = objects_->makeSymbol(nil());
  globalNumber(216) = base;
  curreadmode = 1;  // names are lowered
  FaslWriter w = segmentWriter();
  w.symbol(u"CAR", 1).code(78).done();
  for (bool independent : {false, true}) {
    if (independent) provide(kPackageIndependenceGlobal);
    for (bool runtime : {true, false}) {
      SCOPED_TRACE(std::string(runtime ? "runtime" : "native") +
                   (independent ? ", independent" : ", converted"));
      testing_support::resetRecorder(made_symbol_);
      const int result = resultOf(runtime, w.bytes());
      ASSERT_EQ(result, kClean);
      ASSERT_EQ(lisp_recorder_log.count, independent ? 2u : 1u);
      const testing_support::RecordedCall& made = lisp_recorder_log.calls[independent ? 1 : 0];
      EXPECT_EQ(charactersOf(made.eax), independent ? u"CAR" : u"car");
      if (independent) {
        EXPECT_EQ(lisp_recorder_log.calls[0].eax, base);  // asked about the package
      }
    }
  }
  curreadmode = 0;
}

// A package's name is converted by the file's case mode in both loaders,
// whatever the package-independence test says: it names no symbol.
TEST_F(RuntimeFaslLoad, BothLoadersConvertAPackagesName) {
  provide(lisp::lisp_world::kPackageFunctionGlobal);
  provide(kPackageIndependenceGlobal);
  curreadmode = 1;  // names are lowered
  FaslWriter w = segmentWriter();
  w.tableOfContents(1).package(u"MY-PKG").done();
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    testing_support::resetRecorder(made_symbol_);
    const int result = resultOf(runtime, w.bytes());
    ASSERT_EQ(result, kClean);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(calledSymbol(lisp_recorder_log.calls[0]),
              globalNumber(lisp::lisp_world::kPackageFunctionGlobal));
    EXPECT_EQ(charactersOf(lisp_recorder_log.calls[0].eax), u"my-pkg");
  }
  curreadmode = 0;
}

// After a build (boot mode turned off through set_boot_mode) with the Lisp
// world's package function in its global: a file with a package item, a
// shared-cons item and a taken evalit item gives the package in symtab, the
// symbol interned in it, its function called, and a function whose formals
// are an equal list.
TEST_F(RuntimeFaslLoad, AFileWithAPackageSharedConsesAndEvalitLoadsAfterABuild) {
  bootmode = 1;
  lispval* const savedOblist = oblist;
  testing_support::LispCallSetup off = setupFor(0x183, lisp::makeFixnum(0), 0, 1);  // set_boot_mode
  ASSERT_EQ(call(off).carry, 0u);
  oblist = savedOblist;  // set_boot_mode dropped the boot table
  ASSERT_EQ(bootmode, 0u);
  provide(lisp::lisp_world::kPackageFunctionGlobal);
  lisp::objectOf<lisp::SymbolObject>(made_symbol_)->function = recorder_;
  FaslWriter w = segmentWriter();
  w.tableOfContents(3).package(u"app");
  w.symbol(u"start", -1).code(76).code(15);
  w.newBfunction(0).symbol(u"x", -1).symbol(u"y", -1).list(2).code(16).code(76).done();
  const Loaded loaded = load(w.bytes());
  ASSERT_EQ(loaded.result, kClean) << loaded.out;
  EXPECT_EQ(symtabDescribed(loaded.record),
            (std::vector<std::string>{"made-symbol", "made-symbol", "fn200[]"}));
  const lispval function = simpleVectorElement(symtabOf(loaded.record), 2);
  EXPECT_EQ(describe(lisp::wordAt(function, kFunctionFormalsOffset)), "(made-symbol made-symbol)");
  // The package function, "start" interned in its package, the evalit call,
  // then "x" and "y".
  ASSERT_EQ(lisp_recorder_log.count, 5u);
  const auto& calls = lisp_recorder_log.calls;
  EXPECT_EQ(calledSymbol(calls[0]), globalNumber(lisp::lisp_world::kPackageFunctionGlobal));
  EXPECT_EQ(charactersOf(calls[0].eax), u"app");
  EXPECT_EQ(charactersOf(calls[1].eax), u"start");
  EXPECT_EQ(calls[1].stack[2], made_symbol_);
  EXPECT_EQ(calledSymbol(calls[2]), made_symbol_);
  EXPECT_EQ(calls[2].ecx, 0u);
  EXPECT_EQ(charactersOf(calls[3].eax), u"x");
  EXPECT_EQ(calls[4].stack[2], made_symbol_);
}

// ---- Lisp's formatted output ----

TEST_F(RuntimeFaslLoad, LispFormatAppliesItsDirectivesUntilLispProvidesFormattedOutput) {
  lisp_format("release heap!~%");
  EXPECT_EQ(takeConsole(), "release heap!\n");
  lisp_format("a~~b ~a~");
  EXPECT_EQ(takeConsole(), "a~b ~a~");
  provide(lisp::lisp_world::kFormattedOutputGlobal);
  testing_support::resetRecorder(nil());
  lisp_format("reacquire heap!~%");
  EXPECT_EQ(takeConsole(), "");
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(calledSymbol(lisp_recorder_log.calls[0]),
            globalNumber(lisp::lisp_world::kFormattedOutputGlobal));
  EXPECT_EQ(charactersOf(lisp_recorder_log.calls[0].eax), u"reacquire heap!~%");
}

TEST_F(RuntimeFaslLoad, ARefusedRawVectorIsNotWrittenInto) {
  global(lisp::nil_block::global::kErrorSymbol) = objects_->makeSymbol(recorder_);
  global(lisp::nil_block::global::kErrorSymbolWithDatum) = objects_->makeSymbol(recorder_);
  testing_support::resetRecorder(nil());
  FaslWriter w = segmentWriter();
  const std::array<uint8_t, 4> bytes = {0xde, 0xad, 0xbe, 0xef};
  w.tableOfContents(2)
      .rawVector(229, 0, bytes)
      .code(76)
      .code(78)
      .fixnum(1)
      .code(76)
      .code(78)
      .done();
  const std::array<uint32_t, 2> nearNil = {global(-0xe), global(-0xa)};
  const Loaded runtime = load(w.bytes());
  EXPECT_EQ(runtime.result, kClean);
  EXPECT_EQ(symtabDescribed(runtime.record), (std::vector<std::string>{"nil", "1"}));
  std::FILE* stream = std::fopen(writeFile(w.bytes(), "refused.fasl").c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  lispval cell = nil();
  EXPECT_EQ(libfasl(stream, &cell, lisp::makeFixnum(0), thread_), kClean);
  EXPECT_EQ(symtabDescribed(cell), (std::vector<std::string>{"nil", "1"}));
  EXPECT_EQ(global(-0xe), nearNil[0]);
  EXPECT_EQ(global(-0xa), nearNil[1]);
}

// ---- on a registered thread: the heap release, a collection at every allocation ----

// The calls run on the thread record the registry made for the calling
// thread, as every Lisp thread's is: it owns the heap, and the collector
// scans it, its binding stack and the native loader's stack through the
// registry.
class RegisteredThread : public RuntimeFaslLoad {
 protected:
  void SetUp() override {
    RuntimeFaslLoad::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    testRecord_ = thread_;
    thread_ = first_thread;
    for (int32_t word : {tr::kFaslCellStack, tr::kFaslFreeCells, tr::kFaslStack,
                         tr::kAnnotatingConsing, tr::kLeafCallStack})
      threadWord(word) = nil();
    threadWord(tr::kFaslStackWords) = 0;
    threadWord(tr::kSpecialFill) = 0;
    savedDebugFlags_ = cl_debug_flags;
  }
  void TearDown() override {
    forced_collection::on = false;
    lisp_recorder_observer = nullptr;
    cl_debug_flags = savedDebugFlags_;
    lisp::registry::forgetRegistry();
    thread_ = testRecord_;
    platform::setThreadSlot(slot_, thread_);
    RuntimeFaslLoad::TearDown();
  }

  // A loader's runtime routine called from a Lisp frame that native code
  // entered, as Lisp code calls it: the collector walks that frame, the
  // routine's home slots (where the loader keeps its segment record) and
  // arguments included. (Without a record ending the thread's chain above
  // it, the walk would stop at the routine's own foreign call and leave the
  // home slot holding a moved record.)
  Loaded routineLoad(testing_support::LispCallSetup setup) {
    setup.stack[0] = setup.stack[1] = nil();
    setup.frame[testing_support::frameIndex(4)] = lisp::nil_block::marker::kRuntimeRoutine;
    const testing_support::LispCallResult r =
        testing_support::callFromNativeEntry(setup, threadWord(tr::kClinkHead));
    EXPECT_EQ(r.carry, 0u);
    EXPECT_EQ(r.espDelta, 0);
    EXPECT_TRUE(lisp::isFixnum(r.eax));
    return {lisp::fixnumValue(r.eax), r.stack[0], takeConsole()};
  }
  // The runtime loader through load_fasl.
  Loaded runtimeRoutineLoad(const std::vector<uint8_t>& bytes) {
    testing_support::LispCallSetup setup =
        setupFor(kLoadFasl, lisp::makeFixnum(descriptorFor(bytes)), thread_, 5);
    setup.stack[2] = setup.stack[3] = setup.stack[4] = nil();
    return routineLoad(setup);
  }
  // The native loader through fasldesc, on a descriptor it closes itself.
  Loaded nativeRoutineLoad(const std::vector<uint8_t>& bytes) {
    constexpr int32_t kFasldesc = 0x157;
    constexpr int32_t kNativeDescriptor = kFirstTestDescriptor - 1;
    const int fd = ::open(writeFile(bytes, "native.fasl").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    table_[kNativeDescriptor].handle = static_cast<uint32_t>(fd);
    table_[kNativeDescriptor].kind = host::kKindRuntimeDescriptor;
    testing_support::LispCallSetup setup = setupFor(kFasldesc, nil(), lisp::makeFixnum(0), 4);
    setup.stack[2] = nil();
    setup.stack[3] = lisp::makeFixnum(kNativeDescriptor);
    return routineLoad(setup);
  }

  lispval testRecord_ = 0;
  uint32_t savedDebugFlags_ = 0;
};

// The debug messages around a foreign call that runs without the heap go
// to Lisp's formatted output while the thread holds the heap: before the
// release and after the retake.
int32_t g_heapOwnerAtOutput[2];
uint32_t g_outputs;
__attribute__((force_align_arg_pointer)) void noteHeapOwner() {
  if (g_outputs < 2) g_heapOwnerAtOutput[g_outputs] = vxm_thread_control.heapOwnerIndex;
  ++g_outputs;
}

TEST_F(RegisteredThread, HeapWrapDebugMessagesAreFormattedWhileTheHeapIsHeld) {
  const int32_t owner = vxm_thread_control.heapOwnerIndex;
  ASSERT_GE(owner, 0);
  const lispval observer = objects_->makeFunction(testing_support::observingRecorderAddress());
  lisp::objectOf<lisp::SymbolObject>(globalNumber(lisp::lisp_world::kFormattedOutputGlobal))
      ->function = observer;
  lisp_recorder_observer = noteHeapOwner;
  g_outputs = 0;
  testing_support::resetRecorder(nil());
  cl_debug_flags = 1;
  vxm_wrap_release_heap(0);
  EXPECT_LT(vxm_thread_control.heapOwnerIndex, 0);  // released for the foreign call
  vxm_wrap_reacquire_heap();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, owner);
  ASSERT_EQ(g_outputs, 2u);
  EXPECT_EQ(g_heapOwnerAtOutput[0], owner);
  EXPECT_EQ(g_heapOwnerAtOutput[1], owner);
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  EXPECT_EQ(charactersOf(lisp_recorder_log.calls[0].eax), u"release heap!~%");
  EXPECT_EQ(charactersOf(lisp_recorder_log.calls[1].eax), u"reacquire heap!~%");
}

// A file of many item groups (lists, dotted lists, vectors, a gensym, conses
// and vectors built in two steps, table entries read back, joined lists,
// numbers), kept in symtab and fsymtab, loaded by both loaders while every
// allocation collects: the values each loader keeps across its allocations
// must be where the collector moved them.
TEST_F(RegisteredThread, BothLoadersBuildEveryGroupWhileEachAllocationCollects) {
  const uint16_t digits[] = {1, 2, 3};
  FaslWriter w = segmentWriter();
  w.tableOfContents(8);
  // symtab 0 to 3: a list, a dotted list, a vector, nested lists.
  w.string(u"s0").fixnum(0).string(u"s1").fixnum(1).string(u"s2").fixnum(2).list(6);
  w.code(76).code(78);
  w.fixnum(3).string(u"s3").doubleFloat(0.5).string(u"s4").fixnum(4).listStar(5);
  w.code(76).code(78);
  w.string(u"s5").string(u"s6").fixnum(5).string(u"s7").vector(4, lisp::type_code::SimpleVector);
  w.code(76).code(78);
  w.string(u"s8").fixnum(6).list(2).string(u"s9").list(2).code(76).code(78);
  // symtab 4: a gensym symbol.
  w.gensymSymbol(u"g0", 0).code(78);
  // fsymtab 0 and 1: a cons built in two steps, a vector filled after it is made.
  w.string(u"car").string(u"cdr").code(69).code(70).code(77).code(78);
  w.string(u"e0").string(u"e1").string(u"e2").preLispVector(3, lisp::type_code::SimpleVector);
  w.postLispVector(3).code(77).code(78);
  // symtab 5 to 7: both fsymtab entries and the gensym in a list, two lists
  // joined, and numbers that allocate.
  w.symget(0).symget(1).gensymget(4).list(3).code(76).code(78);
  w.string(u"a").list(1).string(u"b").string(u"c").list(2).code(29).code(76).code(78);
  w.integer(0, digits).singleFloat(1.5f).fixnum(7).code(25).list(2).code(76).code(78).done();
  const std::vector<std::string> expected = {R"(("s0" 0 "s1" 1 "s2" 2))",
                                             R"((3 "s3" d:0.500000 "s4" . 4))",
                                             R"(#("s5" "s6" 5 "s7"))",
                                             R"((("s8" 6) "s9"))",
                                             "sym:g0",
                                             R"((("car" . "cdr") #("e0" "e1" "e2") sym:g0))",
                                             R"(("a" "b" "c"))",
                                             "(big:0[3,2,1] 19:f:1.500000/7)"};
  constexpr uint32_t kScavengeCount = 64;  // runtime global: a fixnum
  for (bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "runtime loader" : "native loader");
    const lispval scavenges = globalNumber(kScavengeCount);
    forced_collection::allocations = 0;
    forced_collection::on = true;
    const Loaded loaded = runtime ? runtimeRoutineLoad(w.bytes()) : nativeRoutineLoad(w.bytes());
    forced_collection::on = false;
    ASSERT_EQ(loaded.result, kClean);
    // Every allocation collected.
    EXPECT_GT(forced_collection::allocations, 20u);
    EXPECT_EQ(globalNumber(kScavengeCount),
              scavenges + lisp::makeFixnum(static_cast<int32_t>(forced_collection::allocations)));
    EXPECT_EQ(symtabDescribed(loaded.record), expected);
  }
}

}  // namespace
