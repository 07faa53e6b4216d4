// libfasl on a real heap: writer-made files build the objects an independent
// description expects; every exit leaves the load stack where it was and
// closes the stream; malformed files end with result 7; the boot symbol
// table and the entry by name.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/fasl_segment.h"
#include "runtime/load/load_stack.h"
#include "runtime/load/symbol_names.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/thread_record.h"
#include "testing/console_host_record.h"
#include "testing/console_recorder.h"
#include "testing/fasl_malformed_cases.h"
#include "testing/fasl_writer.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

namespace {

using namespace lisp::fasl;
using lisp::lispval;
using testing_support::ConsoleRecorder;
using testing_support::FaslWriter;
namespace tr = lisp::thread_record;

constexpr uint32_t kTableSlots = 61;

// The heap, a thread record with an empty load stack, boot mode, and a
// small boot symbol table.
class NativeFaslLoad : public loader_test::LoaderObjectHeap {
 protected:
  void SetUp() override {
    LoaderObjectHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    saved_ = {bootmode, curreadmode, faslversion, min_faslversion, rsversion, min_rsversion};
    bootmode = 1;
    curreadmode = 0;
    faslversion = min_faslversion = 61;
    rsversion = min_rsversion = 31;
    threadWord(tr::kFaslStack) = nil();
    threadWord(tr::kFaslStackWords) = 0;
    threadWord(tr::kSpecialFill) = 0;
    global(runtimeGlobalOffset(kRuntimeVersionGlobal)) = 0;
    global(runtimeGlobalOffset(kFunctionGroupSwitchGlobal)) = 0;
    // The Lisp functions the loader's native entries call: recorders.
    const lispval recorder = objects_->makeFunction(testing_support::recorderAddress());
    for (int32_t symbol : {-0x65, -0xc5, -0xe9, -0x311, -0x39d})
      global(symbol) = objects_->makeSymbol(recorder);
    savedT_ = tval;
    tval = objects_->makeSymbol(nil());
    table_.assign(kTableSlots, 0);
    oblist = table_.data();
    ob_size = kTableSlots;
    items = probes = collis = 0;
  }
  void TearDown() override {
    oblist = nullptr;
    ob_size = 0;
    tval = savedT_;
    bootmode = saved_[0];
    curreadmode = saved_[1];
    faslversion = saved_[2];
    min_faslversion = saved_[3];
    rsversion = saved_[4];
    min_rsversion = saved_[5];
    LoaderObjectHeap::TearDown();
  }

  static FaslWriter segmentWriter() {
    FaslWriter w;
    w.segment(7).machineId(0, 61, 31, 0x405);
    return w;
  }

  std::string writeFile(const std::vector<uint8_t>& bytes, const std::string& name = "file.fasl") {
    const std::string path = testing_support::processTempPath(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  int load(const std::vector<uint8_t>& bytes, lispval link = lisp::makeFixnum(0)) {
    std::FILE* stream = std::fopen(writeFile(bytes).c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    lastFd_ = fileno(stream);
    return libfasl(stream, &cell_, link, thread_);
  }

  uint32_t fill() { return threadWord(tr::kSpecialFill); }
  LoadStack stack() { return LoadStack(thread_); }

  lispval symtabEntry(uint32_t i) {
    return simpleVectorElement(simpleVectorElement(cell_, segment_record::kSymtab), i);
  }
  uint32_t symtabCount() {
    return static_cast<uint32_t>(
        lisp::fixnumValue(simpleVectorElement(cell_, segment_record::kSymtabCount)));
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
      const SymbolObject* s = objectOf<SymbolObject>(x);
      return "sym:" + utf8(charactersOf(s->name)) + "/" + std::to_string(s->zero);
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
        return "ratio:" + describe(gc_test::at(x - 0xe), depth + 1) + "/" +
               describe(gc_test::at(x - 0xa), depth + 1);
      case type_code::Complex:
        return "complex:" + describe(gc_test::at(x - 0xe), depth + 1) + "," +
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
      case type_code::CodeVector: {
        std::string text = "code:";
        for (uint32_t i = 0; i < 4; ++i) text += std::to_string(gc_test::at<uint8_t>(x - 0xe + i)) + ",";
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

  std::vector<lispval> table_;
  std::array<uint32_t, 6> saved_{};
  lispval cell_ = 0;
  lispval savedT_ = 0;
  int lastFd_ = -1;
};

// Each value left in symtab by wf_defglobal, rendered, against the
// description of what the items build.
TEST_F(NativeFaslLoad, ItemsBuildTheDescribedObjects) {
  const std::array<uint16_t, 2> digits = {0x1234, 0x5678};
  const std::array<uint8_t, 4> code = {0x90, 0x90, 0xc3, 0x90};
  const std::array<uint8_t, 4> raw = {1, 2, 3, 4};
  FaslWriter w = segmentWriter();
  w.tableOfContents(16);
  const auto keep = [&w] { w.code(76).code(78); };
  w.fixnum(5).fixnum(-6).nil().list(3);
  keep();  // (5 -6 nil)
  w.fixnum(1).fixnum(2).fixnum(3).listStar(3);
  keep();  // (1 2 . 3)
  w.string(u"Text");
  keep();
  w.symbol(u"car", 1).symbol(u"key", 2).symbol(u"nil", 1).symbol(u"t", 1).list(4);
  keep();
  w.character(0, 0, 'A').doubleFloat(1.5).doubleFloat(2.5, true).singleFloat(0.25).list(4);
  keep();
  w.fixnum(9).fixnum(8).vector(2, 112);
  keep();
  w.bignum(2, 1, digits).integer(0, std::array<uint16_t, 1>{77}).list(2);
  keep();
  // Integers beyond a fixnum become bignums of their significant digits.
  w.integer(1, std::array<uint16_t, 2>{0, 5}).integer(0, std::array<uint16_t, 2>{0x1fff, 0xffff});
  w.integer(1, std::array<uint16_t, 3>{0, 0x2000, 1}).integer(0, std::array<uint16_t, 3>{1, 2, 3});
  w.list(4);
  keep();
  w.fixnum(1).fixnum(2).code(25).fixnum(3).fixnum(4).code(26).list(2);
  keep();
  w.codeVector16(code).fixnum(4).fixnum(5).newBfunction(2).list(2);
  keep();
  w.code(69).fixnum(1).fixnum(2).pick(2).code(70).code(78).fixnum(3).fixnum(4).code(71).list(2);
  keep();
  w.fixnum(6).fixnum(7).preLispVector(2, 112).postLispVector(2);
  keep();
  w.fixnum(10).fixnum(11).pick(1).list(3);
  keep();
  w.rawVector(98, 4, raw).code(78);
  w.done();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const int result = load(w.bytes());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(result, kClean);
  const std::vector<std::string> expected = {
      "(5 -6 nil)",
      "(1 2 . 3)",
      "\"Text\"",
      "(sym:car/1 sym:key/2 nil t)",
      "(#\\65 d:1.500000 d:2.500000! f:0.250000)",
      "#(9 8)",
      "(big:1[4660,22136] 77)",
      "(-5 536870911 big:128[1,8192] big:0[3,2,1])",
      "(ratio:1/2 complex:3,4)",
      "(code:144,144,195,144, fn200[4 5])",
      "((1 . 2) (3 . 4))",
      "#(6 7)",
      "(10 11 10)",
  };
  ASSERT_EQ(symtabCount(), expected.size());
  for (uint32_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(describe(symtabEntry(i)), expected[i]) << i;
}

TEST_F(NativeFaslLoad, SymbolsFunctionsAndGensymsInBootMode) {
  FaslWriter w = segmentWriter();
  w.symbol(u"foo", 0).fixnum(1).newWfunction(1).code(12);  // setd
  w.symbol(u"foo", 0).code(76).code(78);
  w.gensymSymbol(u"g", 0).code(78);
  w.gensymget(1).code(76).code(78);
  w.done();
  ASSERT_EQ(load(w.bytes()), kClean);
  const lispval foo = symtabEntry(0);
  EXPECT_EQ(describe(foo), "sym:foo/7");
  const lispval function = lisp::objectOf<lisp::SymbolObject>(foo)->function;
  EXPECT_EQ(describe(function), "fn128[1]");
  EXPECT_EQ(gc_test::at(function - 6), foo);  // the name slot
  EXPECT_EQ(lastsym, foo);
  EXPECT_EQ(describe(symtabEntry(1)), "sym:g/3");
  EXPECT_EQ(symtabEntry(2), symtabEntry(1));
}

TEST_F(NativeFaslLoad, AFailingLoadLeavesTheStackAsItWasAndClosesTheStream) {
  bootmode = 0;
  // An outer load's items are on the stack already.
  LoadStack outer = stack();
  ASSERT_TRUE(outer.makeRoom(3));
  outer.push(nil());
  outer.push(lisp::makeFixnum(5));
  const uint32_t before = fill();
  FaslWriter w = segmentWriter();
  w.fixnum(1).fixnum(2).symbol(u"x", 3);
  const ConsoleRecorder console;
  EXPECT_EQ(load(w.bytes()), kBadPackage);
  EXPECT_EQ(ConsoleRecorder::console(), "bad package number 3, abort this fasl\n");
  EXPECT_EQ(fill(), before);
  EXPECT_EQ(stack().at(0), lisp::makeFixnum(5));
  EXPECT_EQ(fcntl(lastFd_, F_GETFD), -1);
}

TEST_F(NativeFaslLoad, AnEmptyFileIsACleanEnd) {
  EXPECT_EQ(load({}), kClean);
  EXPECT_EQ(fcntl(lastFd_, F_GETFD), -1);
  EXPECT_EQ(cell_, nil());
  // The first load pushed the string buffer; it stays with the thread.
  EXPECT_EQ(fill(), kReservedDataWords + 1);
  EXPECT_EQ(charactersOf(stack().slot(kStringBufferIndex)).size(), kStringBufferCharacters);
}

TEST_F(NativeFaslLoad, ANestedLoadPushesNoSecondBuffer) {
  ASSERT_EQ(load({}), kClean);
  const lispval buffer = stack().slot(kStringBufferIndex);
  LoadStack outer = stack();
  outer.push(lisp::makeFixnum(3));
  const uint32_t before = fill();
  const uint32_t top = next();
  FaslWriter w = segmentWriter();
  w.done();
  ASSERT_EQ(load(w.bytes()), kClean);
  EXPECT_EQ(fill(), before);
  EXPECT_EQ(stack().slot(kStringBufferIndex), buffer);
  // Only the segment record was made.
  EXPECT_EQ(next() - top, 8 + lisp::roundUpTo8(8 + 4 * segment_record::kElements));
}

TEST_F(NativeFaslLoad, ResultsOfTheBoundary) {
  struct Case {
    std::vector<uint8_t> bytes;
    int result;
  };
  FaslWriter older;
  older.segment().machineId(0, 60, 31, 0x405).done();
  min_faslversion = 60;
  FaslWriter truncated = segmentWriter();
  truncated.fixnum(1);
  const std::vector<Case> cases = {
      {{'#', 'x', '\n', 0x1c, 0x41}, kClean},
      {{0x41}, kNotFasl},
      {truncated.bytes(), kTruncated},
      {older.bytes(), kCleanOlderRelease},
      {[] {
         FaslWriter w;
         w.segment().machineId(0, 62, 31, 0x405);
         return w.bytes();
       }(),
       kFaslRelease},
      {[] {
         FaslWriter w;
         w.segment().machineId(0, 61, 30, 0x405);
         return w.bytes();
       }(),
       kRuntimeRelease},
      {[] {
         FaslWriter w;
         w.segment().machineId(0, 61, 31, 0x1405);
         return w.bytes();
       }(),
       kMachineCodeFlags},
      {[] {
         FaslWriter w;
         w.segment().code(14);
         return w.bytes();
       }(),
       kMalformed},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const uint32_t before = fill();
    EXPECT_EQ(load(cases[i].bytes), cases[i].result);
    if (before != 0) {
      EXPECT_EQ(fill(), before);
    }
    EXPECT_EQ(fcntl(lastFd_, F_GETFD), -1);
  }
}

TEST_F(NativeFaslLoad, MalformedFilesEndWithResult7AndTheirLine) {
  ASSERT_EQ(load({}), kClean);
  const uint32_t before = fill();
  for (const testing_support::MalformedFaslCase& c : testing_support::malformedFaslCases()) {
    if (c.runtimeLoaderOnly) continue;
    SCOPED_TRACE(c.name);
    // Package numbers name symtab entries outside boot mode only.
    bootmode = c.code == 3 || c.code == 7 ? 0 : 1;
    lispval symbol = 0;
    if (c.failingSymchkGlobal != 0) {
      symbol = objects_->makeSymbol(nil());
      lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = nil();
    }
    global(runtimeGlobalOffset(c.failingSymchkGlobal == 0 ? kSkipSegmentGlobal
                                                           : c.failingSymchkGlobal)) = symbol;
    testing::internal::CaptureStderr();
    const ConsoleRecorder console;
    const int result = load(c.bytes);
    EXPECT_EQ(ConsoleRecorder::console(), c.message());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(result, kMalformed);
    EXPECT_EQ(fill(), before);
  }
}

TEST_F(NativeFaslLoad, APackageInBootModeAbortsTheProcess) {
  FaslWriter w = segmentWriter();
  w.package(u"pkg").done();
  // The message goes to the console, here standard error.
  EXPECT_DEATH(
      {
        setup_redir(&testing_support::consoleOnStandardError());
        load(w.bytes());
      },
      "Can't have new package: pkg in bootmode");
}

// Item 81 hands the group on when global 155 is set: the wrap entry, then
// the group entry, which names the function by its name form.
TEST_F(NativeFaslLoad, AFunctionGroupItemRunsTheFixups) {
  global(runtimeGlobalOffset(kFunctionGroupSwitchGlobal)) = lisp::makeFixnum(1);
  global(runtimeGlobalOffset(306)) = objects_->makeFunction(testing_support::recorderAddress());
  FaslWriter w = segmentWriter();
  w.symbol(u"f", 1).fixnum(0).newBfunction(1).code(12);  // f defined
  w.symbol(u"f", 1).fixnum(42).code(71).list(1);           // ((f . 42))
  w.code(81).symbol(u"f", 1).code(76).code(78).done();
  ASSERT_EQ(load(w.bytes()), kClean);
  const lispval f = lisp::objectOf<lisp::SymbolObject>(symtabEntry(0))->function;
  EXPECT_EQ(gc_test::at(f - 6), lisp::makeFixnum(42));
}

// A closure that is its own template would send the macro maker round for ever.
TEST_F(NativeFaslLoad, AMacroOfACircularClosureIsRefused) {
  FaslWriter w = segmentWriter();
  w.fixnum(0).preclosure(0).pick(0).nil().pick(2).postclosure(0).code(39).done();
  const ConsoleRecorder console;
  EXPECT_EQ(load(w.bytes()), kMalformed);
  EXPECT_THAT(ConsoleRecorder::console(), testing::StartsWith("fasl: malformed item 39 at "));
}

TEST_F(NativeFaslLoad, TheTraceShowsEachItemAndTheStackTop) {
  FaslWriter w = segmentWriter();
  w.icsFlags(2).fixnum(3).list(1).done();
  dbg = 1;
  const ConsoleRecorder console;
  vxmprintf("before\n");
  EXPECT_EQ(load(w.bytes()), kClean);
  const std::string printed = ConsoleRecorder::console();
  dbg = 0;
  // In the console, after what was written to it before the load.
  EXPECT_THAT(printed, testing::StartsWith("before\n"));
  EXPECT_THAT(printed, testing::HasSubstr("ICS flags x02\n"));
  EXPECT_THAT(printed, testing::HasSubstr("List of size 1\n"));
  EXPECT_THAT(printed, testing::ContainsRegex("[0-9a-f]+ @ [0-9]+: code  5 \\+\\[3\\] \\[c,[0-9a-f]+\\]\n"));
}

TEST_F(NativeFaslLoad, ValidationReadsTheFirstSegmentsTimestamp) {
  FaslWriter w;
  w.commentLine("a \\\n b").commentLine("x", 'e').segment(0x12345678).done();
  const std::string path = writeFile(w.bytes());
  uint32_t timestamp = 1;
  fasl_validation(path.c_str(), &timestamp, 1);
  EXPECT_EQ(timestamp, 0x12345678u);
  // A missing file is not readable: it is not opened, and nothing is printed.
  testing::internal::CaptureStderr();
  fasl_validation((path + ".missing").c_str(), &timestamp, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(timestamp, 0u);
}

TEST_F(NativeFaslLoad, APseudoDescriptorWithoutAFileGivesResult9) {
  EXPECT_EQ(rtfasldesc(4000, &cell_, nil(), 2, thread_), kMachineCodeFlags);
  EXPECT_EQ(curreadmode, 2u);
  EXPECT_EQ(fd_open_p, 0u);
}

TEST_F(NativeFaslLoad, RfunCallsAFunctionWithNoArguments) {
  const lispval function = objects_->makeFunction(testing_support::recorderAddress());
  testing_support::resetRecorder(lisp::makeFixnum(5));
  EXPECT_EQ(rfun(function), lisp::makeFixnum(5));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 0u);
  EXPECT_EQ(lisp_recorder_log.calls[0].esi, function);
}

// ---- the boot symbol table ----

class BootSymbols : public NativeFaslLoad {
 protected:
  lispval name(const std::string& text) {
    const DecodedString made = buftostr(reinterpret_cast<const uint8_t*>(text.data()),
                                        static_cast<uint32_t>(text.size()), 1, false, kKeepCase,
                                        new_lisp_obj);
    return made.string;
  }
  lispval add(const std::string& text, uint32_t package) {
    return addob(name(text), static_cast<uint32_t>(text.size()), package);
  }
};

TEST_F(BootSymbols, PackagesDecideWhatIsFound) {
  const lispval first = add("gensym", 3);
  const lispval second = add("gensym", 3);
  EXPECT_NE(first, second);
  const lispval base = add("list", 1);
  EXPECT_EQ(add("list", 5), base);
  EXPECT_NE(add("list", 2), base);  // keywords never take the base package's symbol
  const lispval keyword = add("test", 2);
  EXPECT_EQ(lisp::objectOf<lisp::SymbolObject>(keyword)->globalValue, keyword);
  EXPECT_EQ(add("test", 2), keyword);
  EXPECT_EQ(add("nil", 5), nil());
  EXPECT_EQ(items, 5u);
}

TEST_F(BootSymbols, AFullTableAbortsWithItsMessage) {
  EXPECT_DEATH(
      {
        for (uint32_t i = 0; i <= kTableSlots; ++i) add("s" + std::to_string(i), 5);
      },
      "boot symbol table full \\(61 entries\\)");
}

TEST_F(BootSymbols, BogusNameBytesAreReportedOnceEach) {
  testing::internal::CaptureStderr();
  const lispval symbol = make_spec_sym("a\tb\t", "A\tB\t", 4, 1);
  const std::string printed = testing::internal::GetCapturedStderr();
  const std::string lower = "make_spec_sym given bogus lname: \"a\tb\t\"\n";
  const std::string upper = "make_spec_sym given bogus uname: \"A\tB\t\"\n";
  EXPECT_EQ(printed, lower + lower + upper + upper);
  EXPECT_EQ(describe(symbol), "sym:a\tb\t/1");
}

// ---- loading by name ----

TEST_F(NativeFaslLoad, AStarredNameThatCannotBeReadOpensTheDName) {
  const std::filesystem::path directory = testing_support::processTempPath("dir");
  std::filesystem::create_directories(directory);
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(directory);
  std::ofstream("dx").put(0x1c);
  const ConsoleRecorder console;
  EXPECT_EQ(faslname(&cell_, "*x", thread_), kClean);
  EXPECT_EQ(ConsoleRecorder::console(), "; fasl dx\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(faslname(&cell_, "*nothing", thread_), kNotFasl);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  std::filesystem::current_path(saved);
}

}  // namespace
