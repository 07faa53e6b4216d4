// The format's readers, text decoder and small records, over bytes made by
// the test-side writer (which knows the format only from its description).

#include "runtime/load/fasl_format.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <sstream>
#include <string>

#include "testing/fasl_writer.h"
#include "testing/run_program.h"

namespace {

using namespace lisp::fasl;
using testing_support::FaslWriter;
using Width = FaslWriter::Width;

// ---- readers ----

enum class Order { Little, Swapped };

struct ReaderCase {
  const char* name;
  std::function<void(FaslWriter&)> write;
  std::function<uint32_t(FaslReader&)> read;
  uint32_t expected;         // in a little-endian file
  uint32_t expectedSwapped;  // in a byte-swapped file
  size_t bytes;              // consumed
};

const ReaderCase kReaderCases[] = {
    {"byte", [](FaslWriter& w) { w.byte(0xab); }, [](FaslReader& r) { return r.getbyte(); }, 0xab,
     0xab, 1},
    {"word", [](FaslWriter& w) { w.word(0x1234); }, [](FaslReader& r) { return r.getword(); },
     0x1234, 0x1234, 2},
    {"32-bit", [](FaslWriter& w) { w.long32(0x12345678); },
     [](FaslReader& r) { return r.get32bit(); }, 0x12345678, 0x12345678, 4},
    {"nat is never swapped", [](FaslWriter& w) { w.nat(0x12345678); },
     [](FaslReader& r) { return r.getnat(); }, 0x12345678, 0x12345678, 4},
    {"word or 32-bit, short", [](FaslWriter& w) { w.wordOr32(0xfffe); },
     [](FaslReader& r) { return r.getwordor32bit(); }, 0xfffe, 0xfffe, 2},
    {"FF FF then a value below 0xFFFF", [](FaslWriter& w) { w.wordOr32(7, Width::Escaped); },
     [](FaslReader& r) { return r.getwordor32bit(); }, 7, 7, 6},
    {"FF FF then a large value", [](FaslWriter& w) { w.wordOr32(0x00123456); },
     [](FaslReader& r) { return r.getwordor32bit(); }, 0x00123456, 0x00123456, 6},
    {"0x8000 escape", [](FaslWriter& w) { w.negWordOr32(-5); },
     [](FaslReader& r) { return static_cast<uint32_t>(r.getnegwordor32bit()); },
     static_cast<uint32_t>(-5), static_cast<uint32_t>(-5), 6},
    {"0x8001 is not an escape", [](FaslWriter& w) { w.negWordOr32(0x8001); },
     [](FaslReader& r) { return static_cast<uint32_t>(r.getnegwordor32bit()); }, 0x8001, 0x8001, 2},
    {"0xFFFF is not an escape of the signed form", [](FaslWriter& w) { w.negWordOr32(0xffff); },
     [](FaslReader& r) { return static_cast<uint32_t>(r.getnegwordor32bit()); }, 0xffff, 0xffff, 2},
};

class Readers : public testing::TestWithParam<Order> {};

TEST_P(Readers, ReadWhatTheWriterWrote) {
  const bool swapped = GetParam() == Order::Swapped;
  for (const ReaderCase& c : kReaderCases) {
    SCOPED_TRACE(c.name);
    FaslWriter w;
    if (swapped) w.machineId(kSwappedMachineKind, 61, 31, 0x405);
    const size_t start = w.size();
    c.write(w);
    w.byte(0x5a);  // a marker after the operand
    MemorySource source(w.bytes());
    source.seek(static_cast<long>(start));
    FaslReader reader(source);
    reader.setSwapped(swapped);
    EXPECT_EQ(c.read(reader), swapped ? c.expectedSwapped : c.expected);
    EXPECT_EQ(static_cast<size_t>(source.tell()), start + c.bytes);
    EXPECT_EQ(reader.getbyte(), 0x5au);
    EXPECT_FALSE(reader.ended());
  }
}
INSTANTIATE_TEST_SUITE_P(BothOrders, Readers, testing::Values(Order::Little, Order::Swapped));

TEST(Readers, SwappedOperandsAreByteReversed) {
  const uint8_t bytes[] = {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78};
  MemorySource source(bytes);
  FaslReader reader(source);
  reader.setSwapped(true);
  EXPECT_EQ(reader.getword(), 0x1234u);
  EXPECT_EQ(reader.get32bit(), 0x12345678u);
  EXPECT_EQ(reader.getnat(), 0x78563412u);
}

TEST(Readers, AReadPastTheEndReportsIt) {
  const uint8_t bytes[] = {0xff, 0xff, 0x01};
  MemorySource source(bytes);
  FaslReader reader(source);
  reader.getwordor32bit();
  EXPECT_TRUE(reader.ended());
}

TEST(Readers, CodeUnitsSwapInPairs) {
  uint8_t code[] = {1, 2, 3, 4, 5};
  swapCodeUnits(code);
  EXPECT_EQ(std::vector<uint8_t>(code, code + 5), (std::vector<uint8_t>{2, 1, 4, 3, 5}));
}

TEST(StdioSource, ReadsSeeksAndKnowsItsLength) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const uint8_t bytes[] = {10, 20, 30, 40};
  std::fwrite(bytes, 1, sizeof bytes, file);
  std::rewind(file);
  StdioSource source(file);
  EXPECT_EQ(source.length(), 4);
  EXPECT_EQ(source.next(), 10);
  source.skip(2);
  EXPECT_EQ(source.remaining(), 1);
  EXPECT_EQ(source.next(), 40);
  EXPECT_EQ(source.next(), -1);
  source.seek(1);
  EXPECT_EQ(source.next(), 20);
  std::fclose(file);
}

// ---- text ----

std::vector<uint16_t> decode(const std::vector<uint8_t>& bytes) {
  const int32_t count = utf8_to_unicode(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
  if (count < 0) return {0xdead};
  std::vector<uint16_t> characters(static_cast<size_t>(count));
  EXPECT_EQ(utf8_to_unicode(bytes.data(), static_cast<uint32_t>(bytes.size()), characters.data()),
            count);
  return characters;
}

// Python encodes random BMP text; our decoder must give back its code points.
TEST(Utf8ToUnicode, AgreesWithPythonOnBmpText) {
  const char* script =
      "import random\n"
      "random.seed(47)\n"
      "ranges = [(0, 0x80), (0x80, 0x800), (0x800, 0xd800), (0xe000, 0x10000)]\n"
      "edges = [0, 0x7f, 0x80, 0x7ff, 0x800, 0xd7ff, 0xe000, 0xfffd, 0xffff]\n"
      "lines = [''.join(chr(c) for c in edges)]\n"
      "for i in range(400):\n"
      "    n = random.randrange(0, 16)\n"
      "    lines.append(''.join(chr(random.randrange(*random.choice(ranges))) for _ in range(n)))\n"
      "for s in lines:\n"
      "    print(s.encode('utf-8').hex(), ' '.join('%x' % ord(c) for c in s))\n";
  const testing_support::ProgramRun run =
      testing_support::runProgram("/usr/bin/env", {"python3", "-c", script});
  if (run.exitStatus != 0) GTEST_SKIP() << "python3 not available: " << run.standardError;
  std::istringstream lines(run.standardOutput);
  std::string line;
  int checked = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string hex;
    fields >> hex;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    std::vector<uint16_t> expected;
    std::string code;
    while (fields >> code) expected.push_back(static_cast<uint16_t>(std::stoul(code, nullptr, 16)));
    ASSERT_EQ(decode(bytes), expected) << line;
    ++checked;
  }
  EXPECT_GT(checked, 400);
}

struct DecodeCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> characters;  // {0xdead}: the decoder reports a cut form
};

const DecodeCase kDecodeCases[] = {
    {"empty", {}, {}},
    {"continuation byte as a two-byte lead", {0x85, 0x41}, {0x141}},
    {"0xbf as a lead", {0xbf, 0xbf}, {0x7ff}},
    {"two-byte lead with a plain second byte", {0xc3, 0x41}, {0xc1}},
    {"four-byte lead read as a three-byte form", {0xf0, 0x9f, 0x98}, {0x07d8}},
    {"three-byte form keeps the low 16 bits", {0xff, 0xbf, 0xbf}, {0xffff}},
    {"cut two-byte form", {0x41, 0xc3}, {0xdead}},
    {"cut three-byte form", {0xe2, 0x82}, {0xdead}},
    {"three-byte lead alone", {0xe2}, {0xdead}},
};

TEST(Utf8ToUnicode, LenientLeadsAndCutForms) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.bytes), c.characters);
  }
}

TEST(Utf8ToUnicode, TheWriterEncodingRoundTrips) {
  const std::u16string text = u"a\u00e9\u07ff\u0800\u4e2d\uffff";
  const std::vector<uint16_t> expected(text.begin(), text.end());
  EXPECT_EQ(decode(testing_support::faslUtf8(text)), expected);
}

TEST(DecodeText, RefusesCutFormsAndWideCharactersInEightBitStrings) {
  const std::vector<uint8_t> narrow = testing_support::faslUtf8(u"A\u00ff");
  const std::vector<uint8_t> wide = testing_support::faslUtf8(u"A\u0100");
  const std::vector<uint8_t> cut = {0x41, 0xc3};
  std::vector<uint16_t> characters;
  EXPECT_EQ(decodeText(cut, 1, characters), Fault::CutUtf8);
  EXPECT_EQ(decodeText(narrow, 0, characters), std::nullopt);
  EXPECT_EQ(characters, (std::vector<uint16_t>{0x41, 0xff}));
  EXPECT_EQ(decodeText(wide, 0, characters), Fault::WideCharacter);
  EXPECT_EQ(decodeText(wide, 1, characters), std::nullopt);
  EXPECT_EQ(characters, (std::vector<uint16_t>{0x41, 0x100}));
  EXPECT_EQ(stringTypeForEncoding(0), 101);
  EXPECT_EQ(stringTypeForEncoding(1), 117);
}

// ---- the segment boundary ----

TEST(Boundary, CommentLinesEndAtAnUnescapedNewline) {
  FaslWriter w;
  w.commentLine("one \\\n still one").commentLine("two", 'e').byte(0xf3);
  MemorySource source(w.bytes());
  EXPECT_EQ(classifyBoundaryByte(source.next()), BoundaryByte::Comment);
  skipCommentLine(source);
  EXPECT_EQ(classifyBoundaryByte(source.next()), BoundaryByte::Comment);
  skipCommentLine(source);
  EXPECT_EQ(classifyBoundaryByte(source.next()), BoundaryByte::SegmentStart);
}

TEST(Boundary, ACommentRunningToTheEndStops) {
  const uint8_t bytes[] = {'#', 'x', '\\'};
  MemorySource source(bytes);
  source.next();
  skipCommentLine(source);
  EXPECT_EQ(source.next(), -1);
}

TEST(Boundary, BytesAtABoundary) {
  EXPECT_EQ(classifyBoundaryByte(-1), BoundaryByte::EndOfFile);
  EXPECT_EQ(classifyBoundaryByte(0x1c), BoundaryByte::EndOfFile);
  EXPECT_EQ(classifyBoundaryByte('#'), BoundaryByte::Comment);
  EXPECT_EQ(classifyBoundaryByte('e'), BoundaryByte::Comment);
  EXPECT_EQ(classifyBoundaryByte(0xf3), BoundaryByte::SegmentStart);
  EXPECT_EQ(classifyBoundaryByte(0x41), BoundaryByte::NotFasl);
  EXPECT_EQ(classifyBoundaryByte(0), BoundaryByte::NotFasl);
}

// ---- package numbers ----

TEST(PackageNumbers, ResolveByTheTable) {
  using Kind = PackageRef::Kind;
  struct Case {
    int32_t number;
    Kind kind;
    uint32_t value;
  };
  const Case cases[] = {
      {0, Kind::CurrentPackage, 39},
      {1, Kind::Global, 216},
      {2, Kind::Global, 219},
      {5, Kind::Global, 236},
      {7, Kind::Global, 237},
      {9, Kind::Global, 249},
      {3, Kind::Bad, 3},
      {4, Kind::Bad, 4},
      {6, Kind::Bad, 6},
      {8, Kind::Bad, 8},
      {10, Kind::Bad, 10},
      {0x8000, Kind::Bad, 0x8000},
      {-1, Kind::SymtabEntry, 0},
      {-5, Kind::SymtabEntry, 4},
      {0xffff, Kind::SymtabEntry, 0},
      {0x8001, Kind::SymtabEntry, 0x7ffe},
      {INT32_MIN, Kind::SymtabEntry, 0x7fffffff},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    const PackageRef ref = decodePackageNumber(c.number, 0);
    EXPECT_EQ(ref.kind, c.kind);
    EXPECT_EQ(ref.value, c.value);
  }
}

TEST(PackageNumbers, BootModePassesTheNumber) {
  using Kind = PackageRef::Kind;
  EXPECT_EQ(decodePackageNumber(0, 1).kind, Kind::BootNumber);
  EXPECT_EQ(decodePackageNumber(0, 1).value, 7u);
  EXPECT_EQ(decodePackageNumber(3, 1).value, 3u);
  EXPECT_EQ(decodePackageNumber(3, 1).kind, Kind::BootNumber);
  EXPECT_EQ(decodePackageNumber(0, 2).kind, Kind::BootCurrent);
}

// ---- machine id ----

TEST(MachineId, ReleasesAndMachineCodes) {
  const ReleaseBounds bounds{61, 61, 31, 31};
  struct Case {
    const char* name;
    MachineId id;
    bool versionSet;
    int result;
    bool older;
  };
  const Case cases[] = {
      {"this runtime", {0, 61, 31, 0x405}, false, kClean, false},
      {"fasl release 60", {0, 60, 31, 0x405}, true, kFaslRelease, false},
      {"fasl release 62", {0, 62, 31, 0x405}, true, kFaslRelease, false},
      {"runtime release 30", {0, 61, 30, 0x405}, true, kRuntimeRelease, false},
      {"other machine code without a version text", {0, 61, 31, 0x406}, false, kFaslRelease, false},
      {"other machine code with a version text", {0, 61, 31, 0x406}, true, kClean, false},
      {"0x1000 without 0x2000", {0, 61, 31, 0x1405}, false, kMachineCodeFlags, false},
      {"0x1000 with 0x2000", {0, 61, 31, 0x3405}, false, kClean, false},
      {"kind 1 skips the machine checks", {1, 61, 31, 0x1406}, false, kClean, false},
      {"kind 3 skips them too", {3, 61, 31, 0x1000}, false, kClean, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MachineVerdict verdict = checkMachineId(c.id, bounds, c.versionSet);
    EXPECT_EQ(verdict.result, c.result);
    EXPECT_EQ(verdict.olderRelease, c.older);
    EXPECT_EQ(verdict.swapped, c.id.kind == 3);
  }
}

TEST(MachineId, AnOlderAcceptedReleaseIsMarked) {
  const MachineVerdict verdict = checkMachineId({0, 60, 31, 0x405}, {59, 61, 31, 31}, false);
  EXPECT_EQ(verdict.result, kClean);
  EXPECT_TRUE(verdict.olderRelease);
}

// ---- version text ----

std::vector<uint16_t> chars(std::u16string_view text) {
  return {text.begin(), text.end()};
}

TEST(VersionText, CutAfterTheFirstBracket) {
  struct Case {
    std::u16string_view file;
    std::u16string_view runtime;
    std::u16string_view cut;
    bool differs;
  };
  const Case cases[] = {
      {u"9.1 [Linux] (x)", u"9.1 [Linux] (y)", u"9.1 [Linux]", false},
      {u"9.1 [Linux] (x)", u"9.1 [Linu", u"9.1 [Linux]", true},
      {u"9.2 [Linux]", u"9.1 [Linux]", u"9.2 [Linux]", true},
      {u"9.1", u"9.1", u"9.1", false},
      {u"9.1", u"9.1 [Linux]", u"9.1", true},  // compared up to the terminating zero
      {u"", u"", u"", false},
      {u"a]b]", u"a]zz", u"a]", false},
  };
  for (const Case& c : cases) {
    const std::vector<uint16_t> file = chars(c.file);
    const std::vector<uint16_t> runtime = chars(c.runtime);
    const std::span<const uint16_t> cut = cutVersionText(file);
    EXPECT_EQ(std::vector<uint16_t>(cut.begin(), cut.end()), chars(c.cut));
    EXPECT_EQ(versionTextDiffers(cut, runtime), c.differs);
  }
}

// ---- character, function flags, case mode ----

TEST(SmallRecords, CharacterValue) {
  EXPECT_EQ(characterValue(0, 0, 'A'), (0x41u << 3) | 6);
  EXPECT_EQ(characterValue(1, 2, 0xffff), (2u << 24) | (1u << 19) | (0xffffu << 3) | 6);
  EXPECT_TRUE(characterFitsImage(31, 31));
  EXPECT_FALSE(characterFitsImage(32, 0));
  EXPECT_FALSE(characterFitsImage(0, 32));
}

TEST(SmallRecords, FunctionFlagsSplit) {
  EXPECT_EQ(splitFunctionFlags(0x0301).kindBits, 0x01);
  EXPECT_EQ(splitFunctionFlags(0x0301).hashBits, 0x03);
  EXPECT_EQ(splitFunctionFlags(0x0310).hashBits, 0x83);
  EXPECT_EQ(splitFunctionFlags(0x0010).hashBits, 0x80);
}

TEST(SmallRecords, CaseModeSplit) {
  EXPECT_EQ(splitCaseMode(0x23).required, 2);
  EXPECT_EQ(splitCaseMode(0x23).fileMode, 3);
  EXPECT_EQ(splitCaseMode(0x10).required, 1);
  EXPECT_EQ(splitCaseMode(0x10).fileMode, 0);
}

TEST(SmallRecords, RuntimeGlobalOffsets) {
  EXPECT_EQ(runtimeGlobalOffset(304), -0x4d5);  // the runtime error function
  EXPECT_EQ(runtimeGlobalOffset(0), -0x15);
}

// ---- shapes of real objects ----

namespace shapes {

using lisp::lispval;
using lisp::Tag;

constexpr lispval kNil = 0x1005;  // compared, never read

struct Object {
  alignas(8) std::array<uint32_t, 8> words{};
  lispval word(Tag tag) { return lisp::wordOf(words.data(), tag); }
};

TEST(Shapes, ReadFromTagsAndHeaders) {
  struct Case {
    const char* name;
    std::array<uint32_t, 2> firstWords;
    Tag tag;
    Shape shape;
    uint32_t slots;
  };
  const Case cases[] = {
      {"function with 3 constants", {8 | (3u << 16), 0}, Tag::Other, Shape::Function, 3},
      {"closure with 2 slots", {9 | (2u << 16), 0}, Tag::Other, Shape::Closure, 2},
      {"macro closure", {9 | (0x20u << 8), 0}, Tag::Other, Shape::Macro, 0},
      {"special-form closure", {9 | (0x10u << 8), 0}, Tag::Other, Shape::Closure, 0},
      {"code vector", {108 | (12u << 8), 0}, Tag::Other, Shape::CodeVector, 0},
      {"pure code vector", {99 | (12u << 8), 0}, Tag::Other, Shape::CodeVector, 0},
      {"simple vector", {112, lisp::makeFixnum(5)}, Tag::Other, Shape::ValueVector, 5},
      {"header-length vector", {96 | (4u << 8), 0}, Tag::Other, Shape::ValueVector, 4},
      {"array header", {64, 0}, Tag::Other, Shape::ArrayHeader, 0},
      {"flagged array header", {210, 0}, Tag::Other, Shape::ArrayHeader, 0},
      {"string", {117, lisp::makeFixnum(5)}, Tag::Other, Shape::Other, 0},
      {"double float", {17, 0}, Tag::Other, Shape::Other, 0},
      {"symbol", {7, 0}, Tag::Symbol, Shape::Symbol, 0},
      {"locative", {0x87, 0}, Tag::Symbol, Shape::Other, 0},
      {"cons", {1, 2}, Tag::Cons, Shape::Cons, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Object object;
    object.words[0] = c.firstWords[0];
    object.words[1] = c.firstWords[1];
    const ValueShape value = shapeOf(kNil, object.word(c.tag));
    EXPECT_EQ(value.shape, c.shape);
    EXPECT_EQ(value.slots, c.slots);
  }
  EXPECT_EQ(shapeOf(kNil, kNil).shape, Shape::Nil);
  EXPECT_EQ(shapeOf(kNil, lisp::makeFixnum(3)).shape, Shape::Other);
  EXPECT_EQ(shapeOf(kNil, lisp::makeCharacter('a')).shape, Shape::Other);
}

}  // namespace shapes

}  // namespace
