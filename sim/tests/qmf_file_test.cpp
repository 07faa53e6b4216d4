// The matrix-file writer, checked through the independent reader: variables
// are built here by hand, as the logger leaves them after a run, and the file
// that stopDataLogging writes is read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "qmf_reader.h"
#include "sim/logging/data_logging.h"
#include "sim/logging/log_memory.h"
#include "sim/logging/qmf_format.h"
#include "sim/logging/qmf_writer.h"
#include "sim/logging/scratch_file.h"
#include "temp_directory.h"
#include "test_allocator.h"

namespace sim {
namespace {

using qmf_test::parseQmfFile;
using qmf_test::QmfArray;
using qmf_test::QmfFile;
using qmf_test::readFileBytes;

// ---------------------------------------------------------------------------
// Hand-made variables

struct TypeInfo {
  int32_t dataType;
  int32_t elementSize;
  int32_t classId;  // in the file
  int32_t logicalFlag;
};
constexpr TypeInfo kDouble{0, 8, 6, 0};
constexpr TypeInfo kSingle{1, 4, 7, 0};
constexpr TypeInfo kInt8{2, 1, 8, 0};
constexpr TypeInfo kUint8{3, 1, 9, 0};
constexpr TypeInfo kInt16{4, 2, 10, 0};
constexpr TypeInfo kUint16{5, 2, 11, 0};
constexpr TypeInfo kInt32{6, 4, 12, 0};
constexpr TypeInfo kUint32{7, 4, 13, 0};
constexpr TypeInfo kBoolean{8, 1, 9, 0x200};

// A variable with a buffer of `nRows` rows of one sample each, allocated
// through the logger's allocator so that the logger can free it.
LogVariable* makeVariable(const char* name, TypeInfo type, int32_t nRows,
                          const std::vector<int32_t>& dims, bool complex = false) {
  auto* v = static_cast<LogVariable*>(logAllocate(sizeof(LogVariable)));
  std::strncpy(v->name, name, sizeof v->name - 1);
  v->nRows = nRows;
  v->nCols = std::accumulate(dims.begin(), dims.end(), 1, std::multiplies<>());
  v->nDims = static_cast<int32_t>(dims.size());
  v->dims = v->nDims < 3 ? v->inlineDims : static_cast<int32_t*>(logAllocate(4 * dims.size()));
  std::copy(dims.begin(), dims.end(), v->dims);
  const std::size_t bytes = std::size_t(nRows) * v->nCols * type.elementSize;
  v->re = logAllocate(bytes);
  if (complex) v->im = logAllocate(bytes);
  v->dataType = type.dataType;
  v->elementSize = type.elementSize;
  v->classId = type.classId;
  v->logicalFlag = type.logicalFlag;
  v->complexFlag = complex ? 0x800 : 0;
  v->frameSize = 1;
  v->decimation = 1;
  v->numHits = -1;
  return v;
}

// Stores one sample in the circular buffer as the logger does.
void appendSample(LogVariable* v, const void* re, const void* im = nullptr) {
  const std::size_t rowBytes = std::size_t(v->nCols) * v->elementSize;
  std::memcpy(static_cast<char*>(v->re) + v->rowIdx * rowBytes, re, rowBytes);
  if (im != nullptr) std::memcpy(static_cast<char*>(v->im) + v->rowIdx * rowBytes, im, rowBytes);
  if (++v->rowIdx == v->nRows) {
    v->rowIdx = 0;
    ++v->wrapped;
  }
}

template <class T>
void appendValues(LogVariable* v, std::vector<T> re, std::vector<T> im = {}) {
  ASSERT_EQ(re.size(), std::size_t(v->nCols));
  appendSample(v, re.data(), im.empty() ? nullptr : im.data());
}

LogMatrix charMatrix(const char* text) {
  LogMatrix m{};
  std::strncpy(m.name, "label", sizeof m.name);
  const int32_t n = static_cast<int32_t>(std::strlen(text));
  m.nRows = n > 0 ? 1 : 0;
  m.nCols = n;
  m.nDims = 1;
  m.inlineDims[0] = n;
  m.elementSize = 2;
  m.classId = 4;
  m.re = logAllocate(2 * n);
  for (int32_t k = 0; k < n; ++k) static_cast<uint16_t*>(m.re)[k] = text[k];
  return m;
}

LogMatrix doubleRow(const char* name, std::vector<double> values) {
  LogMatrix m{};
  std::strncpy(m.name, name, sizeof m.name);
  m.nRows = 1;
  m.nCols = static_cast<int32_t>(values.size());
  m.nDims = 1;
  m.inlineDims[0] = m.nCols;
  m.elementSize = 8;
  m.classId = 6;
  m.re = logAllocate(8 * values.size());
  std::memcpy(m.re, values.data(), 8 * values.size());
  return m;
}

// Matrices made by value point their dimensions at their own inline pair
// once they sit in their array.
void settleDims(LogMatrix* array, int count) {
  for (int k = 0; k < count; ++k) array[k].dims = array[k].inlineDims;
}

// A logging state that owns the variables given to it.
class LogRun {
 public:
  LogRun() { setup_.state = static_cast<LoggingState*>(logAllocate(sizeof(LoggingState))); }
  ~LogRun() { stop("/nonexistent-dir/never.qmf"); }  // frees what a test left

  LogVariable* add(LogVariable* v) {
    LogVariable** tail = &setup_.state->logVariableList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = v;
    return v;
  }
  StructLogVariable* add(StructLogVariable* s) {
    StructLogVariable** tail = &setup_.state->structLogVariableList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = s;
    return s;
  }

  void stop(const char* fileName) {
    if (setup_.state == nullptr) return;
    ::testing::internal::CaptureStderr();
    stopDataLogging(fileName, &setup_);
    errors_ += ::testing::internal::GetCapturedStderr();
  }
  // stop() with standard output captured too.
  std::string stopCapturingOutput(const char* fileName) {
    ::testing::internal::CaptureStdout();
    stop(fileName);
    return ::testing::internal::GetCapturedStdout();
  }

  bool stopped() const { return setup_.state == nullptr; }
  const std::string& errors() const { return errors_; }

 private:
  LoggingSetup setup_{};
  std::string errors_;
};

class QmfFileTest : public TempDirectoryTest {
 protected:
  static QmfFile readBack(const char* name) { return parseQmfFile(readFileBytes(name)); }
};

std::vector<uint8_t> expectedHeader() {
  std::string text = "QUOMAX 5.0 QMF-file";
  text.resize(124, ' ');
  std::vector<uint8_t> bytes(text.begin(), text.end());
  for (uint8_t b : {0x00, 0x01, 0x49, 0x4D}) bytes.push_back(b);
  return bytes;
}

// ---------------------------------------------------------------------------
// Layout of header and elements

TEST_F(QmfFileTest, OneByOneDoubleIsTheSixtyFourByteElementAfterTheHeader) {
  LogRun run;
  appendValues<double>(run.add(makeVariable("t", kDouble, 1, {1})), {2.5});
  EXPECT_EQ(run.stopCapturingOutput("out.qmf"), "** created out.qmf **\n\n");
  EXPECT_EQ(run.errors(), "");

  const std::vector<uint8_t> bytes = readFileBytes("out.qmf");
  ASSERT_EQ(bytes.size(), 128u + 64u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 128), expectedHeader());
  uint32_t words[14];
  std::memcpy(words, &bytes[128], sizeof words);
  const uint32_t expectedWords[14] = {14, 56, 6, 8, 6, 0, 5, 8, 1, 1, 0x00010001, 't', 9, 8};
  for (int k = 0; k < 14; ++k) EXPECT_EQ(words[k], expectedWords[k]) << "word " << k;
  double value;
  std::memcpy(&value, &bytes[128 + 56], 8);
  EXPECT_EQ(value, 2.5);
}

TEST_F(QmfFileTest, HeaderWriterProducesExactlyTheHeaderBytes) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(writeQmfFileHeader(file), 0);
  std::vector<uint8_t> bytes(200);
  std::rewind(file);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  EXPECT_EQ(bytes, expectedHeader());
}

TEST_F(QmfFileTest, NamesOfFourCharactersAreSmallElementsAndOfFiveArePadded) {
  LogRun run;
  appendValues<double>(run.add(makeVariable("abcd", kDouble, 1, {1})), {1.0});
  appendValues<double>(run.add(makeVariable("abcde", kDouble, 1, {1})), {2.0});
  run.stopCapturingOutput("out.qmf");

  const std::vector<uint8_t> bytes = readFileBytes("out.qmf");
  uint32_t firstSize, secondSize;
  std::memcpy(&firstSize, &bytes[128 + 4], 4);
  std::memcpy(&secondSize, &bytes[128 + 8 + firstSize + 4], 4);
  EXPECT_EQ(firstSize, 56u);                 // name in 8 bytes
  EXPECT_EQ(secondSize, 56u + 8u);           // tag, 5 bytes, 3 zero bytes
  const QmfFile file = readBack("out.qmf");  // the reader checks both forms
  ASSERT_EQ(file.variables.size(), 2u);
  EXPECT_EQ(file.variables[0].name, "abcd");
  EXPECT_EQ(file.variables[1].name, "abcde");
}

TEST_F(QmfFileTest, TwoColumnSignalIsWrittenColumnAfterColumn) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("position", kDouble, 10, {2}));
  appendValues<double>(v, {1, 10});
  appendValues<double>(v, {2, 20});
  appendValues<double>(v, {3, 30});
  run.stopCapturingOutput("out.qmf");

  const QmfFile file = readBack("out.qmf");
  const QmfArray& a = file.variables.at(0);
  EXPECT_EQ(a.name, "position");
  EXPECT_EQ(a.classId, 6u);
  EXPECT_EQ(a.dataType, 9u);
  EXPECT_EQ(a.dims, (std::vector<int32_t>{3, 2}));  // only the rows that were logged
  EXPECT_EQ(a.realAs<double>(), (std::vector<double>{1, 2, 3, 10, 20, 30}));
}

TEST_F(QmfFileTest, MatrixSignalsGetOnePagePerSample) {
  LogRun run;
  LogVariable* matrix = run.add(makeVariable("m2x3", kDouble, 4, {2, 3}));
  appendValues<double>(matrix, {1, 2, 3, 4, 5, 6});
  appendValues<double>(matrix, {7, 8, 9, 10, 11, 12});
  LogVariable* cube = run.add(makeVariable("cube", kInt16, 1, {2, 2, 2}));
  appendValues<int16_t>(cube, {1, 2, 3, 4, 5, 6, 7, 8});
  run.stopCapturingOutput("out.qmf");

  const QmfFile file = readBack("out.qmf");
  ASSERT_EQ(file.variables.size(), 2u);
  EXPECT_EQ(file.variables[0].dims, (std::vector<int32_t>{2, 3, 2}));
  EXPECT_EQ(file.variables[0].realAs<double>(),
            (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(file.variables[1].dims, (std::vector<int32_t>{2, 2, 2, 1}));
  EXPECT_EQ(file.variables[1].classId, 10u);
  EXPECT_EQ(file.variables[1].realAs<int16_t>(), (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(QmfFileTest, ComplexDataCarriesBothPartsInColumnOrder) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("z", kDouble, 3, {2}, true));
  appendValues<double>(v, {1, 2}, {-1, -2});
  appendValues<double>(v, {3, 4}, {-3, -4});
  run.stopCapturingOutput("out.qmf");

  const QmfFile file = readBack("out.qmf");
  const QmfArray& a = file.variables.at(0);
  EXPECT_TRUE(a.complex);
  EXPECT_EQ(a.dims, (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(a.realAs<double>(), (std::vector<double>{1, 3, 2, 4}));
  EXPECT_EQ(a.imagAs<double>(), (std::vector<double>{-1, -3, -2, -4}));
}

TEST_F(QmfFileTest, EachDataTypeGetsItsClassAndElementType) {
  struct Case {
    const char* name;
    TypeInfo type;
    uint32_t classId;
    uint32_t elementType;
    bool logical;
  };
  const Case cases[] = {{"d", kDouble, 6, 9, false},   {"s", kSingle, 7, 7, false},
                        {"i8", kInt8, 8, 1, false},    {"u8", kUint8, 9, 2, false},
                        {"i16", kInt16, 10, 3, false}, {"u16", kUint16, 11, 4, false},
                        {"i32", kInt32, 12, 5, false}, {"u32", kUint32, 13, 6, false},
                        {"flag", kBoolean, 9, 2, true}};
  LogRun run;
  for (const Case& c : cases) {
    LogVariable* v = run.add(makeVariable(c.name, c.type, 1, {1}));
    const uint64_t one = c.type.dataType == 0   ? 0x3FF0000000000000ull
                         : c.type.dataType == 1 ? 0x3F800000u
                                                : 1u;
    appendSample(v, &one);
  }
  run.stopCapturingOutput("out.qmf");

  const QmfFile file = readBack("out.qmf");
  ASSERT_EQ(file.variables.size(), std::size(cases));
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const QmfArray& a = file.variables[k];
    EXPECT_EQ(a.name, cases[k].name);
    EXPECT_EQ(a.classId, cases[k].classId) << a.name;
    EXPECT_EQ(a.dataType, cases[k].elementType) << a.name;
    EXPECT_EQ(a.logical, cases[k].logical) << a.name;
    EXPECT_EQ(a.real.size(), std::size_t(cases[k].type.elementSize)) << a.name;
  }
  EXPECT_EQ(file.variables.back().real, std::vector<uint8_t>{1});
}

// ---------------------------------------------------------------------------
// Circular buffers

TEST_F(QmfFileTest, WrappedBufferComesBackOldestFirst) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("w", kDouble, 4, {2}));
  for (double k = 0; k < 5; ++k) appendValues<double>(v, {k, 100 + k});  // rowIdx 1
  const std::string output = run.stopCapturingOutput("out.qmf");

  EXPECT_EQ(output,
            "*** Log variable w has wrapped 1 times\n    using a circular buffer of size 4\n"
            "** created out.qmf **\n\n");
  const QmfFile file = readBack("out.qmf");
  const QmfArray& a = file.variables.at(0);
  EXPECT_EQ(a.dims, (std::vector<int32_t>{4, 2}));
  EXPECT_EQ(a.realAs<double>(), (std::vector<double>{1, 2, 3, 4, 101, 102, 103, 104}));
}

TEST_F(QmfFileTest, SampleCountBeyond32BitsStillWritesTheWholeBuffer) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("w", kDouble, 4, {1}));
  for (double k = 0; k < 5; ++k) appendValues<double>(v, {k});  // rowIdx 1
  v->wrapped = 1 << 30;                                         // as after more than 2^32 samples
  EXPECT_EQ(
      run.stopCapturingOutput("out.qmf"),
      "*** Log variable w has wrapped 1073741824 times\n    using a circular buffer of size 4\n"
      "** created out.qmf **\n\n");
  const QmfFile file = readBack("out.qmf");
  const QmfArray& a = file.variables.at(0);
  EXPECT_EQ(a.dims, (std::vector<int32_t>{4, 1}));
  EXPECT_EQ(a.realAs<double>(), (std::vector<double>{1, 2, 3, 4}));
}

TEST_F(QmfFileTest, WrapReportsAndRowOrderRotation) {
  struct Case {
    int samples;
    std::vector<double> expected;  // oldest first
    const char* report;
  };
  const Case cases[] = {
      {12,
       {7, 8, 9, 10, 11},
       "*** Log variable w has wrapped 2 times\n"
       "    using a circular buffer of size 5\n"},
      {5, {0, 1, 2, 3, 4}, ""},  // wrapped once onto row 0: nothing lost, nothing said
      {3, {0, 1, 2}, ""},
  };
  for (const Case& c : cases) {
    LogRun run;
    LogVariable* v = run.add(makeVariable("w", kDouble, 5, {1}));
    // A 2 x 1 matrix signal keeps row order in the buffer while it is rotated.
    LogVariable* m = run.add(makeVariable("m", kInt32, 5, {2, 1}));
    for (int k = 0; k < c.samples; ++k) {
      appendValues<double>(v, {double(k)});
      appendValues<int32_t>(m, {k, -k});
    }
    const std::string output = run.stopCapturingOutput("out.qmf");
    EXPECT_EQ(output.substr(0, std::strlen(c.report)), c.report) << c.samples;
    const QmfFile file = readBack("out.qmf");
    EXPECT_EQ(file.variables.at(0).realAs<double>(), c.expected) << c.samples;
    std::vector<int32_t> pages;
    for (double k : c.expected) {
      pages.push_back(int32_t(k));
      pages.push_back(-int32_t(k));
    }
    EXPECT_EQ(file.variables.at(1).dims, (std::vector<int32_t>{2, 1, int32_t(c.expected.size())}));
    EXPECT_EQ(file.variables.at(1).realAs<int32_t>(), pages) << c.samples;
  }
}

TEST_F(QmfFileTest, DefaultBufferSizeWrapAdvisesTheBufferSizeNeeded) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("d", kDouble, 2, {1}));
  v->usingDefaultBufferSize = 1;
  for (double k = 0; k < 3; ++k) appendValues<double>(v, {k});
  EXPECT_EQ(run.stopCapturingOutput("out.qmf"),
            "*** Log variable d has wrapped 1 times\n    using a circular buffer of size 2\n"
            "*** To avoid wrapping, explicitly specify a\n    buffer size of 3 in your Blocvane "
            "model\n    by adding OPTS=\"-DDEFAULT_BUFFER_SIZE=3\"\n    as an argument to the "
            "ConfigSet MakeCommand\n    parameter\n"
            "** created out.qmf **\n\n");
}

// ---------------------------------------------------------------------------
// Which variables are written, and when the file stays

TEST_F(QmfFileTest, EmptyVariableListLeavesNoFileAndNoMessage) {
  LogRun run;
  EXPECT_EQ(run.stopCapturingOutput("out.qmf"), "");
  EXPECT_EQ(run.errors(), "");
  EXPECT_TRUE(run.stopped());
  EXPECT_FALSE(exists("out.qmf"));
}

TEST_F(QmfFileTest, VariablesWithoutSamplesAreLeftOut) {
  LogRun run;
  run.add(makeVariable("never", kDouble, 4, {3}));
  appendValues<double>(run.add(makeVariable("once", kDouble, 4, {1})), {7});
  run.stopCapturingOutput("out.qmf");
  const QmfFile file = readBack("out.qmf");
  ASSERT_EQ(file.variables.size(), 1u);
  EXPECT_EQ(file.variables[0].name, "once");

  LogRun onlyEmpty;
  onlyEmpty.add(makeVariable("never", kDouble, 4, {3}));
  EXPECT_EQ(onlyEmpty.stopCapturingOutput("empty.qmf"), "");
  EXPECT_FALSE(exists("empty.qmf"));
}

// ---------------------------------------------------------------------------
// Structure variables

// A structure variable with logged time and two signals (values, dimensions
// and label fields), built by hand.
StructLogVariable* makeStructVariable() {
  auto* s = static_cast<StructLogVariable*>(logAllocate(sizeof(StructLogVariable)));
  std::strcpy(s->name, "sigs");
  s->numActiveFields = 2;
  s->logTime = 1;
  s->time = makeVariable("time", kDouble, 4, {1});
  SignalsStructure& signals = s->signals;
  signals.numSignals = 2;
  signals.numActiveFields = 3;
  signals.fieldNames = signalsFieldNameTable(false, false);
  LogVariable* first = makeVariable("values", kDouble, 4, {1});
  first->next = makeVariable("values", kInt16, 4, {2});
  signals.values = first;
  signals.dimensions = static_cast<LogMatrix*>(logAllocate(2 * sizeof(LogMatrix)));
  signals.dimensions[0] = doubleRow("dimensions", {1});
  signals.dimensions[1] = doubleRow("dimensions", {2});
  signals.label = static_cast<LogMatrix*>(logAllocate(2 * sizeof(LogMatrix)));
  signals.label[0] = charMatrix("speed");
  signals.label[1] = charMatrix("");
  settleDims(signals.dimensions, 2);
  settleDims(signals.label, 2);
  for (int k = 0; k < 3; ++k) {
    appendValues<double>(s->time, {0.5 * k});
    appendValues<double>(first, {10.0 * k});
    appendValues<int16_t>(first->next, {int16_t(k), int16_t(-k)});
  }
  return s;
}

TEST_F(QmfFileTest, StructureVariableHoldsTimeAndASignalsArray) {
  LogRun run;
  run.add(makeStructVariable());
  run.stopCapturingOutput("out.qmf");
  EXPECT_EQ(run.errors(), "");

  const QmfFile file = readBack("out.qmf");
  const QmfArray& s = file.variables.at(0);
  EXPECT_EQ(s.name, "sigs");
  EXPECT_EQ(s.classId, 2u);
  EXPECT_EQ(s.dims, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(s.fieldNames, (std::vector<std::string>{"time", "signals"}));
  EXPECT_EQ(s.field(0, "time").realAs<double>(), (std::vector<double>{0, 0.5, 1}));

  const QmfArray& signals = s.field(0, "signals");
  EXPECT_EQ(signals.name, "signals");
  EXPECT_EQ(signals.dims, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(signals.fieldNames, (std::vector<std::string>{"values", "dimensions", "label"}));
  EXPECT_EQ(signals.field(0, "values").realAs<double>(), (std::vector<double>{0, 10, 20}));
  EXPECT_EQ(signals.field(1, "values").dims, (std::vector<int32_t>{3, 2}));
  EXPECT_EQ(signals.field(1, "values").realAs<int16_t>(),
            (std::vector<int16_t>{0, 1, 2, 0, -1, -2}));
  EXPECT_EQ(signals.field(1, "dimensions").realAs<double>(), std::vector<double>{2});
  EXPECT_EQ(signals.field(0, "label").classId, 4u);
  EXPECT_EQ(signals.field(0, "label").realAs<uint16_t>(),
            (std::vector<uint16_t>{'s', 'p', 'e', 'e', 'd'}));
  EXPECT_EQ(signals.field(1, "label").dims, (std::vector<int32_t>{0, 0}));
}

TEST_F(QmfFileTest, InconsistentSignalsStructureIsRefusedNotReadPastItsArrays) {
  LogRun run;
  StructLogVariable* s = run.add(makeStructVariable());
  s->signals.numActiveFields = 6;  // more fields than the table has
  run.stopCapturingOutput("out.qmf");
  EXPECT_EQ(run.errors(), "*** Error writing structure log variable sigs to file out.qmf");
  EXPECT_FALSE(exists("out.qmf"));
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(QmfFileTest, StructuresAreStillPreparedAfterAMatrixVariableFails) {
  LogRun run;
  constexpr TypeInfo kNoFileClass{0, 8, 99, 0};  // a class the writer has no element type for
  appendValues<double>(run.add(makeVariable("bad", kNoFileClass, 1, {1})), {1});
  StructLogVariable* s = run.add(makeStructVariable());
  for (double t : {1.5, 2.0}) appendValues<double>(s->time, {t});  // 5 samples in 4 rows
  const std::string output = run.stopCapturingOutput("out.qmf");
  EXPECT_EQ(run.errors(), "*** Error writing log variable bad to file out.qmf");
  EXPECT_EQ(output,
            "*** Log variable time has wrapped 1 times\n    using a circular buffer of size 4\n");
  EXPECT_FALSE(exists("out.qmf"));
}

TEST_F(QmfFileTest, UnopenableFileIsReportedAndEverythingFreed) {
  LogRun run;
  appendValues<double>(run.add(makeVariable("t", kDouble, 1, {1})), {1});
  run.stop("missing-dir/out.qmf");
  EXPECT_EQ(run.errors(), "*** Error opening missing-dir/out.qmf\n");
  EXPECT_TRUE(run.stopped());
}

// The matrix file opens onto the full device (handed over as an open file,
// so the writer never has the device's name): every write fails, and the
// failed file is removed by its own name.
std::FILE* openFullDevice(const char*) {
  const int fd = open("/dev/full", O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

class FullDiskTest : public QmfFileTest {
 protected:
  void SetUp() override {
    QmfFileTest::SetUp();
    struct stat status;
    if (stat("/dev/full", &status) != 0 || !S_ISCHR(status.st_mode))
      GTEST_SKIP() << "no full device";
    setScratchFileOpener(openFullDevice);
  }
};

TEST_F(FullDiskTest, SmallFileFailingOnlyAtCloseIsReportedAndRemoved) {
  LogRun run;
  appendValues<double>(run.add(makeVariable("t", kDouble, 1, {1})), {1});
  EXPECT_EQ(run.stopCapturingOutput("out.qmf"), "");  // no "created" line
  EXPECT_EQ(run.errors(), "*** Error writing to out.qmf");
  EXPECT_EQ(filesLeft(), std::vector<std::string>{});
}

TEST_F(FullDiskTest, LargeVariableFailingMidElementIsReportedAndRemoved) {
  LogRun run;
  LogVariable* v = run.add(makeVariable("big", kDouble, 4096, {1}));
  for (int k = 0; k < 4096; ++k) appendValues<double>(v, {double(k)});
  EXPECT_EQ(run.stopCapturingOutput("out.qmf"), "");
  EXPECT_EQ(run.errors(), "*** Error writing log variable big to file out.qmf");
  EXPECT_EQ(filesLeft(), std::vector<std::string>{});
}

// A link (symbolic or hard) where the matrix file or the transposition's
// temporary file goes is replaced by a new file, never written through: the
// file it names keeps its bytes, a missing target stays missing.
TEST_F(QmfFileTest, LinksOfTheFileNamesAreReplacedNotWrittenThrough) {
  const std::string data(3893, 'k');
  std::ofstream("kept.dat") << data;
  const struct {
    const char* kind;
    int (*make)(const char* target, const char* name);
    const char* target;
  } links[] = {
      {"symbolic", symlink, "kept.dat"},
      {"symbolic", symlink, "missing.dat"},
      {"hard", link, "kept.dat"},
  };
  for (const char* linkName : {"out.qmf", "r_dpk_qzh.qzh"}) {
    for (const auto& made : links) {
      SCOPED_TRACE(std::string(made.kind) + " " + linkName + " -> " + made.target);
      ASSERT_EQ(made.make(made.target, linkName), 0);
      LogRun run;
      LogVariable* v = run.add(makeVariable("r", kDouble, 2, {2}));
      appendValues<double>(v, {1, 2});
      appendValues<double>(v, {3, 4});
      {
        test_allocator::FailingAllocator failing(0);  // the transposition goes through its file
        run.stopCapturingOutput("out.qmf");
      }
      EXPECT_EQ(run.errors(), "");
      EXPECT_EQ(readBack("out.qmf").variables.at(0).realAs<double>(),
                (std::vector<double>{1, 3, 2, 4}));
      struct stat status;
      ASSERT_EQ(lstat("out.qmf", &status), 0);
      EXPECT_TRUE(S_ISREG(status.st_mode));
      EXPECT_EQ(status.st_nlink, 1u);
      EXPECT_FALSE(exists("r_dpk_qzh.qzh"));
      EXPECT_FALSE(exists("missing.dat"));
      EXPECT_EQ(readFileBytes("kept.dat"), std::vector<uint8_t>(data.begin(), data.end()));
      std::remove("out.qmf");
    }
  }
}

// What is not a file or a link at the name is not the writer's to remove: it
// stays, and the open fails with its message.
TEST_F(QmfFileTest, ADirectoryOrFifoAtTheNameIsLeftAndReported) {
  const struct {
    const char* kind;
    int (*make)(const char* name);
    bool (*is)(mode_t mode);
  } things[] = {
      {"directory", [](const char* name) { return mkdir(name, 0700); },
       [](mode_t mode) { return S_ISDIR(mode); }},
      {"fifo", [](const char* name) { return mkfifo(name, 0600); },
       [](mode_t mode) { return S_ISFIFO(mode); }},
  };
  for (const auto& thing : things) {
    SCOPED_TRACE(thing.kind);
    ASSERT_EQ(thing.make("out.qmf"), 0);
    LogRun run;
    appendValues<double>(run.add(makeVariable("t", kDouble, 1, {1})), {1});
    EXPECT_EQ(run.stopCapturingOutput("out.qmf"), "");
    EXPECT_EQ(run.errors(), "*** Error opening out.qmf\n");
    struct stat status;
    ASSERT_EQ(lstat("out.qmf", &status), 0);
    EXPECT_TRUE(thing.is(status.st_mode));
    std::filesystem::remove("out.qmf");
  }
}

TEST_F(QmfFileTest, NoMemoryForTheTurnedCopyGoesThroughATemporaryFile) {
  LogRun run;
  LogVariable* real = run.add(makeVariable("r", kSingle, 3, {3}));
  appendValues<float>(real, {1, 2, 3});
  appendValues<float>(real, {4, 5, 6});
  LogVariable* complex = run.add(makeVariable("c", kInt32, 2, {2}, true));
  appendValues<int32_t>(complex, {1, 2}, {-1, -2});
  appendValues<int32_t>(complex, {3, 4}, {-3, -4});
  appendValues<int32_t>(complex, {5, 6}, {-5, -6});  // wraps: rows 1, 0 after the turn

  test_allocator::FailingAllocator failing(0);  // every allocation from now on fails
  run.stopCapturingOutput("out.qmf");
  EXPECT_EQ(run.errors(), "");

  const QmfFile file = readBack("out.qmf");
  EXPECT_EQ(file.variables.at(0).dims, (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(file.variables.at(0).realAs<float>(), (std::vector<float>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(file.variables.at(1).realAs<int32_t>(), (std::vector<int32_t>{3, 5, 4, 6}));
  EXPECT_EQ(file.variables.at(1).imagAs<int32_t>(), (std::vector<int32_t>{-3, -5, -4, -6}));
  EXPECT_EQ(filesLeft(), std::vector<std::string>{"out.qmf"});  // temporary files removed
}

TEST_F(QmfFileTest, TemporaryFileThatCannotBeOpenedStopsTheWriting) {
  LogRun run;
  appendValues<double>(run.add(makeVariable("no/dir", kDouble, 2, {2})), {1, 2});
  test_allocator::FailingAllocator failing(0);
  run.stopCapturingOutput("out.qmf");
  EXPECT_EQ(run.errors(),
            "*** Error opening no/dir_dpk_qzh.qzh\n"
            "*** Error writing out.qmf due to: unable to open data file\n\n");
  EXPECT_FALSE(exists("out.qmf"));
}

TEST_F(QmfFileTest, MatrixPassRejectsItemKindsItDoesNotKnow) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  QmfItem item{14, 0, nullptr};
  ::testing::internal::CaptureStderr();
  EXPECT_NE(rt_ProcessQmfItem(file, &item, 0, 0), 0);
  EXPECT_NE(rt_ProcessQmfItem(file, &item, 4, 1), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Unexpected itemKind = DATA_ITEM in rt_ProcessQmfItem @A\n"
            "Unexpected itemKind=4 in rt_ProcessQmfItem @B\n");
  std::fclose(file);
}

}  // namespace
}  // namespace sim
