// The check layer end to end: writer-made files run through the model
// loader, which reads and checks every item exactly as a loader does.

#include <gtest/gtest.h>

#include <array>

#include "runtime/load/fasl_format.h"
#include "testing/fasl_malformed_cases.h"
#include "testing/fasl_model_walk.h"
#include "testing/fasl_writer.h"

namespace {

using namespace lisp::fasl;
using testing_support::FaslModelOptions;
using testing_support::FaslWriter;
using testing_support::walkFaslModel;

FaslModelOptions optionsFor(const testing_support::MalformedFaslCase& c, LoaderKind loader) {
  FaslModelOptions options;
  options.loader = loader;
  if (c.failingSymchkGlobal != 0) options.failingSymchkGlobals.insert(c.failingSymchkGlobal);
  return options;
}

TEST(MalformedFiles, AreRefusedWithResult7AndOneLine) {
  for (const testing_support::MalformedFaslCase& c : testing_support::malformedFaslCases()) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    const int result = walkFaslModel(c.bytes, optionsFor(c, LoaderKind::Runtime)).result;
    const std::string printed = testing::internal::GetCapturedStderr();
    if (c.nativeLoaderOnly) continue;
    EXPECT_EQ(printed, c.message());
    EXPECT_EQ(result, kMalformed);
  }
}

TEST(MalformedFiles, TheNativeLoaderRefusesAllButTheRuntimeLoadersOwn) {
  for (const testing_support::MalformedFaslCase& c : testing_support::malformedFaslCases()) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    const int result = walkFaslModel(c.bytes, optionsFor(c, LoaderKind::Native)).result;
    const std::string printed = testing::internal::GetCapturedStderr();
    if (c.runtimeLoaderOnly) {
      EXPECT_EQ(result, kClean);
      EXPECT_EQ(printed, "");
    } else {
      EXPECT_EQ(result, kMalformed);
      EXPECT_EQ(printed, c.message());
    }
  }
}

// The same items with their operands in order load cleanly: the checks do
// not refuse well-formed files.
TEST(WellFormedFiles, PassEveryCheck) {
  const std::array<uint8_t, 4> code = {0x90, 0x90, 0xc3, 0x90};
  const std::array<uint8_t, 4> rawBytes = {1, 2, 3, 4};
  FaslWriter w;
  w.commentLine("a compiled file").segment(0x1234).machineId(0, 61, 31, 0x405);
  w.tableOfContents(3).package(u"P").symbol(u"S", -1).code(78);
  // A function: symbol, function with a code vector, set as its definition.
  w.symbol(u"F", 0).newBfunction(0).codeVector16(code).code(11).code(12);
  // wf function with one constant and its code vector.
  w.codeVector32(code).fixnum(1).fixnum(0).fixnum(0).symbol(u"G", 0).prewfunction(1);
  w.postwfunction(1).fcnflags(0x10).code(77).symget(0).code(78).code(78);
  // Lists, vectors, closures, macros, conses, numbers.
  w.nil().fixnum(1).list(2).fixnum(3).listStar(1).code(29);
  // Objects filled after their elements: the object is picked back to the top.
  w.fixnum(1).fixnum(2).vector(2, 112).preLispVector(1, 96).fixnum(5).pick(1);
  w.postLispVector(1).code(78);
  w.fixnum(0).fixnum(9).code(82).word(1).fixnum(0).fixnum(0).code(84).word(2).code(83).word(1);
  w.code(39).fixnum(0).pick(1).code(75).code(78).code(78);
  for (int i = 0; i < 7; ++i) w.fixnum(i);
  w.code(36).fixnum(0).pick(1).code(74).code(78);
  w.code(69).fixnum(1).fixnum(2).code(84).word(2).code(70).code(78);
  const std::array<uint16_t, 2> digits = {1, 2};
  w.bignum(2, 0, digits).integer(1, digits).rawVector(98, 4, rawBytes).code(25).code(71);
  w.gensymSymbol(u"G1", 0).code(78).gensymget(1).code(76).code(78).code(78);
  w.character(32, 0, 'a').code(78).string(u"\u00e9t\u00e9", 0).code(78);
  w.ffPatch(rawBytes).cversion(u"x").done();
  w.commentLine("trailing").endByte();
  testing::internal::CaptureStderr();
  const testing_support::FaslModelRun run = walkFaslModel(w.bytes());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(run.result, kClean);
  EXPECT_EQ(run.segments, 1u);
}

// ---- results of whole files ----

struct FileCase {
  const char* name;
  std::function<void(FaslWriter&)> write;
  int result;
  FaslModelOptions options = {};
};

std::vector<FileCase> fileCases() {
  FaslModelOptions runtime;
  runtime.loader = LoaderKind::Runtime;
  FaslModelOptions skip124;
  skip124.failingSymchkGlobals = {124};
  FaslModelOptions skip5;
  skip5.failingSymchkGlobals = {5};
  return {
      {"empty file", [](FaslWriter&) {}, kClean},
      {"only comment lines", [](FaslWriter& w) { w.commentLine("x").commentLine("y", 'e'); },
       kClean},
      {"0x1C first", [](FaslWriter& w) { w.endByte().byte(0x41); }, kClean},
      {"0x41 first", [](FaslWriter& w) { w.byte(0x41); }, kNotFasl},
      {"end right after the timestamp", [](FaslWriter& w) { w.segment(1); }, kTruncated},
      {"cut timestamp", [](FaslWriter& w) { w.byte(0xf3).byte(0); }, kTruncated},
      {"cut operand", [](FaslWriter& w) { w.segment().code(24).byte(1); }, kTruncated},
      {"other byte after done", [](FaslWriter& w) { w.segment().done().byte(0x41); }, kNotFasl},
      {"two segments and comments between",
       [](FaslWriter& w) { w.segment().nil().done().commentLine("c").segment().done(); }, kClean},
      {"undefined item", [](FaslWriter& w) { w.segment().code(14); }, kMalformed},
      {"item 101 in the native loader", [](FaslWriter& w) { w.segment().code(101); }, kMalformed},
      {"item 101 in the runtime loader",
       [](FaslWriter& w) { w.segment().commentItem("x", 101).done(); }, kClean, runtime},
      {"fasl release 60", [](FaslWriter& w) { w.segment().machineId(0, 60, 31, 0x405); },
       kFaslRelease},
      {"runtime release 30", [](FaslWriter& w) { w.segment().machineId(0, 61, 30, 0x405); },
       kRuntimeRelease},
      {"machine code 0x1405", [](FaslWriter& w) { w.segment().machineId(0, 61, 31, 0x1405); },
       kMachineCodeFlags},
      {"bad package number", [](FaslWriter& w) { w.segment().symbol(u"X", 3); }, kBadPackage},
      {"list of 0 pushes nil", [](FaslWriter& w) { w.segment().list(0).code(78).done(); }, kClean},
      {"list* of 0 leaves the stack", [](FaslWriter& w) { w.segment().listStar(0).done(); },
       kClean},
      {"a not-taken item is not checked",
       [](FaslWriter& w) { w.segment().icsFlags(1).list(9).icsFlags(0).done(); }, kClean},
      {"a failing symchk skips its section",
       [](FaslWriter& w) { w.segment().beginSymchk(5).list(9).code(51).done(); }, kClean, skip5},
      {"nested sections count while skipping",
       [](FaslWriter& w) {
         w.segment().beginSymchk(5).beginSymchk(6).code(51).list(9).code(51).done();
       },
       kClean, skip5},
      {"global 124 skips the rest of the segment",
       [](FaslWriter& w) {
         w.segment().tableOfContents(0).beginSymchk(124).list(9).code(14).done().segment().done();
       },
       kClean, skip124},
      {"a kind-3 file reads swapped",
       [](FaslWriter& w) {
         w.segment().machineId(3, 61, 31, 0).fixnum(1).fixnum(2).pick(1).done();
       },
       kClean},
      {"an older release ends with 8",
       [](FaslWriter& w) { w.segment().machineId(0, 60, 31, 0x405).done(); }, kCleanOlderRelease,
       [] {
         FaslModelOptions older;
         older.bounds = {60, 61, 31, 31};
         return older;
       }()},
  };
}

TEST(WholeFiles, EndWithTheirResults) {
  for (const FileCase& c : fileCases()) {
    SCOPED_TRACE(c.name);
    FaslWriter w;
    c.write(w);
    testing::internal::CaptureStderr();
    EXPECT_EQ(walkFaslModel(w.bytes(), c.options).result, c.result);
    testing::internal::GetCapturedStderr();
  }
}

}  // namespace
