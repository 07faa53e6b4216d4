// The signal logger: buffer sizing, decimation, circular buffers and growth,
// conversions, variable-size signals, structure formats, failures, and whole
// runs of small test-only models whose files are read back with the
// independent reader.
#include "sim/logging/data_logging.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "qmf_reader.h"
#include "sim/logging/log_fixup.h"
#include "sim/logging/log_update.h"
#include "sim/logging/log_variables.h"
#include "temp_directory.h"
#include "test_allocator.h"

namespace sim {
namespace {

using qmf_test::parseQmfFile;
using qmf_test::QmfArray;
using qmf_test::QmfFile;
using qmf_test::readFileBytes;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr LogRunTiming kTwentySeconds{0.0, 20.0, 0.001};
constexpr LogRunTiming kNoStepSize{0.0, 20.0, 0.0};  // buffers of unknown length grow

constexpr int32_t kScalar[] = {1};
constexpr int32_t kPair[] = {2};

LogVariableShape shapeOf(const char* name, int32_t dataType = kTypeDouble,
                         const int32_t* dims = kScalar, int32_t nDims = 1) {
  LogVariableShape shape{};
  shape.name = name;
  shape.dataType = dataType;
  shape.nDims = nDims;
  shape.dims = dims;
  shape.nCols = 1;
  for (int32_t d = 0; d < nDims; ++d) shape.nCols *= dims[d];
  shape.decimation = 1;
  shape.sampleTime = 0.001;
  return shape;
}

// A logger whose state holds only the variables a test makes.
class Logger {
 public:
  explicit Logger(LogRunTiming timing = kTwentySeconds, const char* nameModifier = "none")
      : timing_(timing) {
    setup_.nameModifier = nameModifier;
    startDataLogging(&setup_, timing.startTime, timing.finalTime, timing.stepSize, &status_);
  }
  ~Logger() { destroyLoggingState(setup_.state); }

  LogVariable* add(const LogVariableShape& shape) {
    return createLogVariable(&setup_, timing_, &status_, shape, true);
  }
  StructLogVariable* addStruct(const char* name, const LogSignalDescription* description,
                               bool logTime = true, const char* blockName = nullptr) {
    return createStructLogVariable(&setup_, timing_, &status_, name, logTime, 0, 1, 0.001,
                                   description, blockName);
  }

  // Writes "out.qmf"; returns what went to standard output.
  std::string stop() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    stopDataLogging("out.qmf", &setup_);
    errors_ = ::testing::internal::GetCapturedStderr();
    return ::testing::internal::GetCapturedStdout();
  }
  QmfFile stopAndRead() {
    stop();
    return parseQmfFile(readFileBytes("out.qmf"));
  }

  const char* status() const { return status_; }
  const std::string& errors() const { return errors_; }

 private:
  LogRunTiming timing_;
  LoggingSetup setup_{};
  const char* status_ = nullptr;
  std::string errors_;
};

class DataLoggingTest : public TempDirectoryTest {};

void logDoubles(LogVariable* v, std::initializer_list<double> values) {
  for (double value : values) updateLogVariable(v, &value, false);
}

// ---------------------------------------------------------------------------
// Buffer size

struct SizeCase {
  const char* name;
  LogRunTiming timing;
  double sampleTime;
  int32_t maxRows;
  int32_t decimation;
  int32_t frameSize;  // 0: no frame data
  LogBufferSize expected;
};

const SizeCase kSizeCases[] = {
    {"SampleTimeOfTheStep", kTwentySeconds, 0.001, 0, 1, 0, {20001, 0, 0}},
    {"SampleTimeOfTheStepLimited", kTwentySeconds, 0.001, 100, 1, 0, {100, 0, 0}},
    {"InheritedSampleTime", kTwentySeconds, -1.0, 0, 1, 0, {20001, 0, 0}},
    {"InheritedSampleTimeLimited", kTwentySeconds, -1.0, 500, 1, 0, {500, 0, 0}},
    {"ContinuousSampleTime", kTwentySeconds, 0.0, 0, 1, 0, {20001, 0, 0}},
    {"ContinuousSampleTimeLimited", kTwentySeconds, 0.0, 7, 1, 0, {7, 0, 0}},
    {"ContinuousWithoutStepGrows", kNoStepSize, 0.0, 0, 1, 0, {1, 1, 0}},
    {"ContinuousWithoutStepLimitedWraps", kNoStepSize, 0.0, 7, 1, 0, {7, 0, 0}},
    {"NegativeLimitStillGetsARow", kNoStepSize, 0.0, -5, 1, 0, {1, 1, 0}},
    {"OncePerRun", kTwentySeconds, -2.0, 0, 1, 0, {2, 0, 0}},
    {"OncePerRunLimited", kTwentySeconds, -2.0, 1, 1, 0, {1, 0, 0}},
    {"ExactDivision", kTwentySeconds, 0.5, 0, 1, 0, {41, 0, 0}},
    {"LateStart", {5.0, 20.0, 0.001}, 0.001, 0, 1, 0, {15001, 0, 0}},
    {"DecimationThree", kTwentySeconds, 0.001, 0, 3, 0, {6667, 0, 0}},
    {"DecimationFourRoundsUp", kTwentySeconds, 0.001, 0, 4, 0, {5001, 0, 0}},
    {"FrameRows", kTwentySeconds, 0.001, 0, 1, 4, {80004, 0, 0}},
    {"RowsBeyondInt32AreCapped", {0.0, 1e12, 0.001}, 0.001, 0, 1, 0, {2147483647, 0, 0}},
    {"OpenEndedDefaultBuffer", {0.0, kInf, 0.001}, 0.001, 0, 1, 0, {1024, 0, 1}},
    {"NegativeFinalTimeDefaultBuffer", {0.0, -1.0, 0.001}, 0.001, -1, 1, 0, {1024, 0, 1}},
    {"OpenEndedLimited", {0.0, kInf, 0.001}, 0.001, 300, 1, 0, {300, 0, 0}},
    {"OpenEndedWithoutStepGrows", {0.0, kInf, 0.0}, 0.0, 0, 1, 0, {1, 1, 0}},
    {"ZeroFinalTime", {0.0, 0.0, 0.001}, 0.001, 0, 1, 0, {1, 0, 0}},
    {"ZeroFinalTimeFrame", {0.0, 0.0, 0.001}, 0.001, 0, 1, 4, {4, 0, 0}},
    {"ZeroFinalTimeFrameLimited", {0.0, 0.0, 0.001}, 0.001, 2, 1, 4, {2, 0, 0}},
    {"NaNSampleTimeGetsARow",
     kTwentySeconds,
     std::numeric_limits<double>::quiet_NaN(),
     0,
     1,
     0,
     {1, 0, 0}},
    {"TinyNegativeSampleTimeGetsARow", kTwentySeconds, -1e-300, 0, 1, 0, {1, 0, 0}},
};

class LogBufferSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LogBufferSizeTest, FollowsTheRunAndTheLimits) {
  const SizeCase& c = GetParam();
  ::testing::internal::CaptureStdout();
  const LogBufferSize size = logBufferSize(c.timing, c.sampleTime, c.maxRows, c.decimation,
                                           c.frameSize > 0, c.frameSize, "v");
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(size.rows, c.expected.rows);
  EXPECT_EQ(size.okayToRealloc, c.expected.okayToRealloc);
  EXPECT_EQ(size.usingDefaultBufferSize, c.expected.usingDefaultBufferSize);
  EXPECT_EQ(output, c.expected.usingDefaultBufferSize
                        ? "*** Using a default buffer of size 1024 for logging variable v\n"
                        : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, LogBufferSizeTest, ::testing::ValuesIn(kSizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataLoggingTest, RowLimitKeepsTheLastRowsOfTheRun) {
  Logger logger;
  LogVariableShape shape = shapeOf("last");
  shape.maxRows = 5;
  LogVariable* v = logger.add(shape);
  for (int k = 0; k < 12; ++k) logDoubles(v, {double(k)});
  EXPECT_EQ(v->wrapped, 2);
  EXPECT_EQ(v->rowIdx, 2);
  EXPECT_EQ(logger.stop(),
            "*** Log variable last has wrapped 2 times\n    using a circular buffer of size 5\n"
            "** created out.qmf **\n\n");
  const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
  EXPECT_EQ(file.variables.at(0).realAs<double>(), (std::vector<double>{7, 8, 9, 10, 11}));
}

TEST_F(DataLoggingTest, BufferFilledExactlyOnceLosesNothingAndSaysNothing) {
  LoggingSetup setup{};
  const char* status = nullptr;
  LogVariableShape shape = shapeOf("five");
  shape.maxRows = 5;
  LogVariable* v = createLogVariable(&setup, kTwentySeconds, &status, shape, false);
  ASSERT_NE(v, nullptr);
  for (int k = 0; k < 5; ++k) logDoubles(v, {double(k)});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(fixupLogVariable(v), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(v->wrapped, 1);
  EXPECT_EQ(v->rowIdx, 0);
  EXPECT_EQ(v->nDataPoints, 5);
  destroyLogVariableList(v);
}

TEST_F(DataLoggingTest, TwelveSamplesInFiveRowsCountAllTwelve) {
  LoggingSetup setup{};
  const char* status = nullptr;
  LogVariableShape shape = shapeOf("twelve");
  shape.maxRows = 5;
  LogVariable* v = createLogVariable(&setup, kTwentySeconds, &status, shape, false);
  for (int k = 0; k < 12; ++k) logDoubles(v, {double(k)});
  ::testing::internal::CaptureStdout();
  fixupLogVariable(v);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(v->nDataPoints, 12);
  EXPECT_EQ(v->nRows, 5);
  destroyLogVariableList(v);
}

// ---------------------------------------------------------------------------
// Decimation, growth, frames, complex data

TEST_F(DataLoggingTest, DecimationThreeLogsHitsZeroThreeSixNine) {
  Logger logger;
  LogVariableShape shape = shapeOf("every3");
  shape.decimation = 3;
  LogVariable* v = logger.add(shape);
  for (int k = 0; k < 11; ++k) logDoubles(v, {double(k)});
  EXPECT_EQ(logger.stopAndRead().variables.at(0).realAs<double>(),
            (std::vector<double>{0, 3, 6, 9}));
}

TEST_F(DataLoggingTest, BufferOfUnknownLengthGrowsAndKeepsEverySample) {
  Logger logger(kNoStepSize);
  LogVariableShape shape = shapeOf("grow", kTypeInt32, kPair);
  shape.sampleTime = 0.0;
  LogVariable* v = logger.add(shape);
  ASSERT_EQ(v->nRows, 1);
  for (int32_t k = 0; k < 2500; ++k) {
    const int32_t sample[2] = {k, -k};
    updateLogVariable(v, sample, false);
  }
  EXPECT_EQ(v->nRows, 1 + 3 * 1024);
  EXPECT_EQ(v->wrapped, 0);
  const QmfArray a = logger.stopAndRead().variables.at(0);
  ASSERT_EQ(a.dims, (std::vector<int32_t>{2500, 2}));
  const std::vector<int32_t> values = a.realAs<int32_t>();
  for (int32_t k = 0; k < 2500; ++k) {
    ASSERT_EQ(values[k], k);
    ASSERT_EQ(values[2500 + k], -k);
  }
}

TEST_F(DataLoggingTest, FrameSamplesAddOneRowPerFrameRow) {
  Logger logger;
  constexpr int32_t kFrame[] = {3, 2};  // 3 rows of 2 channels
  LogVariableShape shape = shapeOf("frames", kTypeDouble, kFrame, 2);
  shape.frameData = true;
  shape.frameSize = 3;
  shape.decimation = 2;  // counts rows, not frames
  LogVariable* v = logger.add(shape);
  const double frame1[] = {1, 2, 3, 10, 20, 30};  // column after column
  const double frame2[] = {4, 5, 6, 40, 50, 60};
  updateLogVariable(v, frame1, false);
  updateLogVariable(v, frame2, false);
  const QmfArray a = logger.stopAndRead().variables.at(0);
  EXPECT_EQ(a.dims, (std::vector<int32_t>{3, 2}));
  EXPECT_EQ(a.realAs<double>(), (std::vector<double>{1, 3, 5, 10, 30, 50}));
}

TEST_F(DataLoggingTest, ComplexSamplesAreSplitFromInterleavedParts) {
  Logger logger;
  LogVariableShape shape = shapeOf("z", kTypeSingle, kPair);
  shape.isComplex = true;
  LogVariable* v = logger.add(shape);
  const float sample1[] = {1, -1, 2, -2};  // re, im, re, im
  const float sample2[] = {3, -3, 4, -4};
  updateLogVariable(v, sample1, false);
  updateLogVariable(v, sample2, false);
  const QmfArray a = logger.stopAndRead().variables.at(0);
  EXPECT_TRUE(a.complex);
  EXPECT_EQ(a.realAs<float>(), (std::vector<float>{1, 3, 2, 4}));
  EXPECT_EQ(a.imagAs<float>(), (std::vector<float>{-1, -3, -2, -4}));
}

// ---------------------------------------------------------------------------
// Conversions

TEST_F(DataLoggingTest, FixedPointValuesAreScaledIntoTheLoggedType) {
  Logger logger;
  // int16 stored integers v logged as 1 + 0.5 * v * 2^2.
  TypeConversion scaled{1, kTypeDouble, kTypeInt16, 0, 0, 1, 0.5, 2, 1.0};
  LogVariableShape fixed = shapeOf("fixed");
  fixed.conversion = &scaled;
  LogVariable* v = logger.add(fixed);
  for (int16_t raw : {int16_t(-3), int16_t(0), int16_t(7)}) updateLogVariable(v, &raw, false);

  // 64-bit integers in two 32-bit chunks, least significant first in memory.
  TypeConversion signedChunks{1, kTypeDouble, kTypeInt32, 32, 2, 1, 1.0, 0, 0.0};
  TypeConversion unsignedChunks{1, kTypeDouble, kTypeUint32, 32, 2, 0, 1.0, 0, 0.0};
  LogVariableShape wide = shapeOf("wide");
  wide.conversion = &signedChunks;
  LogVariable* s = logger.add(wide);
  wide.name = "uwide";
  wide.conversion = &unsignedChunks;
  LogVariable* u = logger.add(wide);
  const uint32_t chunkPairs[][2] = {{5, 0}, {0, 1}, {0xFFFFFFFF, 0xFFFFFFFF}};
  for (const auto& pair : chunkPairs) {
    updateLogVariable(s, pair, false);
    updateLogVariable(u, pair, false);
  }

  // Into narrower types: saturated, and booleans as value != 0.
  TypeConversion toInt8{1, kTypeInt8, kTypeUint8, 0, 0, 0, 1.0, 0, 0.0};
  LogVariableShape narrow = shapeOf("narrow", kTypeInt8);
  narrow.conversion = &toInt8;
  LogVariable* n = logger.add(narrow);
  TypeConversion toBoolean{1, kTypeBoolean, kTypeUint8, 0, 0, 0, 0.25, 0, 0.0};
  LogVariableShape flags = shapeOf("flags", kTypeBoolean);
  flags.conversion = &toBoolean;
  LogVariable* b = logger.add(flags);
  for (uint8_t raw : {uint8_t(0), uint8_t(1), uint8_t(200)}) {
    updateLogVariable(n, &raw, false);
    updateLogVariable(b, &raw, false);
  }

  const QmfFile file = logger.stopAndRead();
  EXPECT_EQ(file.variables.at(0).realAs<double>(), (std::vector<double>{-5, 1, 15}));
  EXPECT_EQ(file.variables.at(1).realAs<double>(), (std::vector<double>{5, 4294967296.0, -1}));
  EXPECT_EQ(file.variables.at(2).realAs<double>(),
            (std::vector<double>{5, 4294967296.0, 18446744073709551615.0}));
  EXPECT_EQ(file.variables.at(3).realAs<int8_t>(), (std::vector<int8_t>{0, 1, 127}));
  EXPECT_EQ(file.variables.at(4).realAs<uint8_t>(), (std::vector<uint8_t>{0, 1, 1}));
  EXPECT_TRUE(file.variables.at(4).logical);
}

// ---------------------------------------------------------------------------
// Structures and variable-size signals

// Three signals: a variable-size 2 x 3 double matrix, a variable-size single
// 3-vector and a fixed int16 scalar.
struct VarDimsSignals {
  int32_t matrixDims[2] = {2, 3};
  int32_t vectorDims[1] = {3};
  int32_t matrixCurrent[2] = {2, 3};
  int32_t vectorCurrent[1] = {3};
  const int32_t widths[3] = {6, 3, 1};
  const int32_t numDims[3] = {2, 1, 1};
  const int32_t* dims[3] = {matrixDims, vectorDims, kScalar};
  const int32_t types[3] = {kTypeDouble, kTypeSingle, kTypeInt16};
  const uint8_t varDims[3] = {1, 1, 0};
  const int32_t* current[3] = {matrixCurrent, vectorCurrent, nullptr};
  const char* labels[3] = {"m", "v", "s"};
  LogSignalDescription description() const {
    LogSignalDescription d{};
    d.numSignals = 3;
    d.sampleTime = 0.001;
    d.widths = widths;
    d.numDimensions = numDims;
    d.dimensions = dims;
    d.dataTypes = types;
    d.isVarDims = varDims;
    d.currentDimensions = current;
    d.labels = labels;
    return d;
  }
};

TEST_F(DataLoggingTest, VariableSizeSignalsFillMissingElementsAndLogTheirSizes) {
  Logger logger;
  VarDimsSignals signals;
  const LogSignalDescription d = signals.description();
  StructLogVariable* s = logger.addStruct("vd", &d);
  ASSERT_NE(s, nullptr);
  LogVariable* m = s->signals.values;
  LogVariable* v = m->next;
  LogVariable* i = v->next;

  const double full[6] = {1, 2, 3, 4, 5, 6};
  const float vector3[3] = {7, 8, 9};
  const int16_t scalar = 5;
  updateLogVariable(m, full, true);
  updateLogVariable(v, vector3, true);
  updateLogVariable(i, &scalar, false);
  signals.matrixCurrent[0] = 1;  // now 1 x 2: elements (0,0) and (0,1)
  signals.matrixCurrent[1] = 2;
  signals.vectorCurrent[0] = 1;
  const double small[2] = {10, 20};
  updateLogVariable(m, small, true);
  updateLogVariable(v, vector3, true);
  updateLogVariable(i, &scalar, false);

  const QmfFile file = logger.stopAndRead();
  const QmfArray& sig = file.variables.at(0).field(0, "signals");
  EXPECT_EQ(sig.fieldNames, (std::vector<std::string>{"values", "valueDimensions", "dimensions",
                                                      "label", "title", "plotStyle"}));
  const QmfArray& values = sig.field(0, "values");
  EXPECT_EQ(values.dims, (std::vector<int32_t>{2, 3, 2}));
  const std::vector<double> got = values.realAs<double>();
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(std::vector<double>(got.begin(), got.begin() + 6),
            (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(got[6], 10);
  EXPECT_EQ(got[8], 20);
  for (int k : {7, 9, 10, 11}) EXPECT_EQ(std::bit_cast<uint64_t>(got[k]), 0xFFF8000000000000ull);
  EXPECT_EQ(sig.field(0, "valueDimensions").dims, (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(sig.field(0, "valueDimensions").realAs<double>(), (std::vector<double>{2, 1, 3, 2}));

  const std::vector<float> singles = sig.field(1, "values").realAs<float>();
  ASSERT_EQ(singles.size(), 6u);
  EXPECT_EQ(singles[1], 7.0f);  // a vector's samples come column after column
  EXPECT_EQ(std::bit_cast<uint32_t>(singles[3]), 0xFFC00000u);
  EXPECT_EQ(std::bit_cast<uint32_t>(singles[5]), 0xFFC00000u);
  EXPECT_EQ(sig.field(2, "valueDimensions").dims, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(sig.field(2, "label").realAs<uint16_t>(), std::vector<uint16_t>{'s'});
}

TEST_F(DataLoggingTest, VariableSizeDimensionsFollowTheirSamplesThroughGrowthAndWrap) {
  VarDimsSignals signals;
  const LogSignalDescription d = signals.description();
  for (int32_t maxRows : {0, 4}) {  // grows without a limit; wraps with one
    LoggingSetup setup{};
    const char* status = nullptr;
    startDataLogging(&setup, 0.0, 20.0, 0.0, &status);
    StructLogVariable* s = createStructLogVariable(&setup, kNoStepSize, &status, "vd", true,
                                                   maxRows, 1, 0.0, &d, nullptr);
    ASSERT_NE(s, nullptr);
    const int samples = 1030;
    const double full[6] = {};
    for (int k = 0; k < samples; ++k) {
      signals.matrixCurrent[0] = 1 + k % 2;
      signals.matrixCurrent[1] = k % 4;
      updateLogVariable(s->signals.values, full, true);
    }
    ::testing::internal::CaptureStdout();
    stopDataLogging("out.qmf", &setup);
    ::testing::internal::GetCapturedStdout();
    const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
    const QmfArray& vd = file.variables.at(0).field(0, "signals").field(0, "valueDimensions");
    const int first = maxRows > 0 ? samples - maxRows : 0;
    const int rows = samples - first;
    ASSERT_EQ(vd.dims, (std::vector<int32_t>{rows, 2})) << maxRows;
    const std::vector<double> dims = vd.realAs<double>();
    for (int r = 0; r < rows; ++r) {
      const int k = first + r;
      ASSERT_EQ(dims[r], 1 + k % 2) << "row " << r << " limit " << maxRows;
      ASSERT_EQ(dims[rows + r], k % 4) << "row " << r << " limit " << maxRows;
    }
  }
}

TEST_F(DataLoggingTest, BlockAndStateNamesSelectTheirFieldTable) {
  Logger logger;
  const int32_t widths[] = {1, 2};
  const int32_t numDims[] = {1, 1};
  const int32_t* dims[] = {kScalar, kPair};
  const int32_t types[] = {kTypeDouble, kTypeUint8};
  const char* labels[] = {"speed", ""};
  const char* blocks[] = {"model/Gain", "model/Sum"};
  const uint8_t crossModel[] = {0, 1};
  LogSignalDescription d{};
  d.numSignals = 2;
  d.sampleTime = 0.001;
  d.widths = widths;
  d.numDimensions = numDims;
  d.dimensions = dims;
  d.dataTypes = types;
  d.labels = labels;
  d.blockNames = blocks;
  d.crossModelFlags = crossModel;
  StructLogVariable* s = logger.addStruct("named", &d, false, "model/Scope");
  ASSERT_NE(s, nullptr);
  const double speed = 2.5;
  const uint8_t pair[] = {3, 4};
  updateLogVariable(s->signals.values, &speed, false);
  updateLogVariable(s->signals.values->next, pair, false);

  const QmfFile file = logger.stopAndRead();
  const QmfArray& top = file.variables.at(0);
  EXPECT_EQ(top.fieldNames, (std::vector<std::string>{"time", "signals", "blockName"}));
  EXPECT_EQ(top.field(0, "time").dims, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(top.field(0, "blockName").realAs<uint16_t>().size(), 11u);
  const QmfArray& sig = top.field(0, "signals");
  EXPECT_EQ(sig.fieldNames, (std::vector<std::string>{"values", "dimensions", "label", "blockName",
                                                      "stateName", "inReferencedModel"}));
  EXPECT_EQ(sig.field(1, "values").realAs<uint8_t>(), (std::vector<uint8_t>{3, 4}));
  EXPECT_EQ(sig.field(1, "dimensions").realAs<double>(), std::vector<double>{2});
  EXPECT_EQ(sig.field(1, "blockName").realAs<uint16_t>().size(), 9u);
  EXPECT_EQ(sig.field(1, "stateName").dims, (std::vector<int32_t>{0, 0}));
  const QmfArray& cross = sig.field(1, "inReferencedModel");
  EXPECT_TRUE(cross.logical);
  EXPECT_EQ(cross.classId, 6u);
  EXPECT_EQ(cross.realAs<double>(), std::vector<double>{1.0});
}

TEST_F(DataLoggingTest, TitleIsCutIntoPerSignalPiecesWithinTheText) {
  Logger logger;
  const int32_t widths[] = {1, 1, 1};
  const int32_t numDims[] = {1, 1, 1};
  const int32_t* dims[] = {kScalar, kScalar, kScalar};
  const int32_t types[] = {kTypeDouble, kTypeDouble, kTypeDouble};
  const int32_t lengths[] = {5, 6, 10};  // the last piece runs past the text
  const double style0[] = {3}, style1[] = {4}, style2[] = {5};
  const double* styles[] = {style0, style1, style2};
  LogSignalDescription d{};
  d.numSignals = 3;
  d.widths = widths;
  d.numDimensions = numDims;
  d.dimensions = dims;
  d.dataTypes = types;
  d.title = "speedtorquepos";
  d.titleLengths = lengths;
  d.plotStyles = styles;
  ASSERT_NE(logger.addStruct("titled", &d), nullptr);
  LogSignalDescription whole = d;
  whole.numSignals = 1;
  whole.titleLengths = nullptr;
  ASSERT_NE(logger.addStruct("whole", &whole), nullptr);

  const QmfFile file = logger.stopAndRead();
  auto text = [](const QmfArray& a) {
    std::string s;
    for (uint16_t c : a.realAs<uint16_t>()) s += char(c);
    return s;
  };
  const QmfArray& sig = file.variables.at(0).field(0, "signals");
  EXPECT_EQ(text(sig.field(0, "title")), "speed");
  EXPECT_EQ(text(sig.field(1, "title")), "torque");
  EXPECT_EQ(text(sig.field(2, "title")), "pos");
  EXPECT_EQ(sig.field(1, "plotStyle").realAs<double>(), std::vector<double>{4});
  EXPECT_EQ(text(file.variables.at(1).field(0, "signals").field(0, "title")), "speedtorquepos");
}

// ---------------------------------------------------------------------------
// Names

TEST(LogNameModifierTest, AppendsPrependsOrLeavesTheName) {
  const std::string long63(63, 'x');
  struct Case {
    const char* modifier;
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, "yout", "yout"},         {"none", "yout", "yout"},
      {"_run2", "yout", "yout_run2"},    {"run2_", "yout", "run2_yout"},
      {"_tail", long63.c_str(), long63}, {"pre", long63.c_str(), "pre" + long63.substr(3)}};
  for (const Case& c : cases) {
    LoggingSetup setup{};
    setup.nameModifier = c.modifier;
    char out[kLogNameCapacity];
    applyLogNameModifier(&setup, out, c.name);
    EXPECT_EQ(std::string(out), c.expected) << (c.modifier ? c.modifier : "(none)");
  }
}

TEST(DataTypeSizeTest, CoversEveryBuiltInType) {
  const int32_t expected[] = {8, 4, 1, 1, 2, 2, 4, 4, 1, 0, 0};
  for (int32_t type = 0; type < 11; ++type) EXPECT_EQ(getDataTypeSize(type), expected[type]);
  EXPECT_EQ(getDataTypeSize(-1), 0);
}

// ---------------------------------------------------------------------------
// Whole runs of test-only models

// The ramp models' setup: matrix format, one row, nothing named.
TEST_F(DataLoggingTest, ModelThatLogsNothingLeavesNoFileAndNoMessage) {
  LoggingSetup setup{};
  setup.format = kLogFormatMatrix;
  setup.maxRows = 1;
  setup.decimation = 1;
  setup.nameModifier = "none";
  setup.timeName = setup.stateName = setup.finalStateName = setup.outputNames =
      setup.loggedSignalsName = "";
  const char* status = nullptr;
  startDataLogging(&setup, 0.0, 20.0, 0.001, &status);
  ASSERT_NE(setup.state, nullptr);
  EXPECT_EQ(setup.state->logVariableList, nullptr);
  const double time[3] = {0.0, 0.0, 0.0};
  EXPECT_EQ(updateDataLogging(&setup, time), 0);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  stopDataLogging("zorvath.qmf", &setup);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(status, nullptr);
  EXPECT_EQ(setup.state, nullptr);
  EXPECT_TRUE(filesLeft().empty());
}

// A small model: two continuous states (a 2-vector and a scalar) and two
// outputs (a scalar double and an int8 pair), stepped with 1 ms steps.
struct TinyModel {
  double time[3] = {};
  double position[2] = {};
  double speed = 0;
  double power = 0;
  int8_t mode[2] = {};
  const void* stateSignals[2] = {position, &speed};
  const void* outputSignals[2] = {&power, mode};

  const int32_t stateWidths[2] = {2, 1};
  const int32_t stateNumDims[2] = {1, 1};
  const int32_t* stateDims[2] = {kPair, kScalar};
  const int32_t stateTypes[2] = {kTypeDouble, kTypeDouble};
  const char* stateLabels[2] = {"position", "speed"};
  const int32_t outputWidths[2] = {1, 2};
  const int32_t outputNumDims[2] = {1, 1};
  const int32_t* outputDims[2] = {kScalar, kPair};
  const int32_t outputTypes[2] = {kTypeDouble, kTypeInt8};
  const char* outputLabels[2] = {"power", "mode"};
  const char* outputBlocks[2] = {"tiny/Power", "tiny/Mode"};
  LogSignalDescription states{};
  LogSignalDescription outputs{};
  LoggingSetup setup{};

  TinyModel(int32_t format, const char* outputNames) {
    states.numSignals = 2;
    states.widths = stateWidths;
    states.numDimensions = stateNumDims;
    states.dimensions = stateDims;
    states.dataTypes = stateTypes;
    states.labels = stateLabels;
    outputs.numSignals = 2;
    outputs.widths = outputWidths;
    outputs.numDimensions = outputNumDims;
    outputs.dimensions = outputDims;
    outputs.dataTypes = outputTypes;
    outputs.labels = outputLabels;
    outputs.blockNames = outputBlocks;
    setup.stateSignals = stateSignals;
    setup.outputSignals = outputSignals;
    setup.format = format;
    setup.decimation = 1;
    setup.nameModifier = "_run";
    setup.timeName = "tout";
    setup.stateName = "xout";
    setup.finalStateName = "xFinal";
    setup.outputNames = outputNames;
    setup.loggedSignalsName = "";
    setup.stateSignalsDescription = &states;
    setup.outputSignalsDescription = &outputs;
  }

  // Runs 0 .. 0.01 s: 11 major steps.
  std::string run(const char** status) {
    startDataLogging(&setup, 0.0, 0.01, 0.001, status);
    for (int k = 0; k <= 10; ++k) {
      time[0] = k * 0.001;
      position[0] = k;
      position[1] = 2 * k;
      speed = -k;
      power = 0.5 * k;
      mode[0] = int8_t(k);
      mode[1] = int8_t(-k);
      updateDataLogging(&setup, time);
    }
    ::testing::internal::CaptureStdout();
    stopDataLogging("out.qmf", &setup);
    return ::testing::internal::GetCapturedStdout();
  }
};

std::vector<double> series(double scale) {
  std::vector<double> out;
  for (int k = 0; k <= 10; ++k) out.push_back(scale * k);
  return out;
}

TEST_F(DataLoggingTest, MatrixFormatModelIsReadBackExactly) {
  TinyModel model(kLogFormatMatrix, "power,mode");
  const char* status = nullptr;
  // The final states keep one row, so they report wrapping.
  EXPECT_EQ(model.run(&status),
            "*** Log variable xFinal_run has wrapped 11 times\n    using a circular buffer of "
            "size 1\n** created out.qmf **\n\n");
  EXPECT_EQ(status, nullptr);

  const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
  ASSERT_EQ(file.variables.size(), 5u);
  const QmfArray& tout = file.variables[0];
  EXPECT_EQ(tout.name, "tout_run");
  EXPECT_EQ(tout.dims, (std::vector<int32_t>{11, 1}));
  EXPECT_EQ(tout.realAs<double>(), series(0.001));

  const QmfArray& xout = file.variables[1];
  EXPECT_EQ(xout.name, "xout_run");
  EXPECT_EQ(xout.dims, (std::vector<int32_t>{11, 3}));
  std::vector<double> states = series(1);
  for (double v : series(2)) states.push_back(v);
  for (double v : series(-1)) states.push_back(v);
  EXPECT_EQ(xout.realAs<double>(), states);

  const QmfArray& final = file.variables[2];
  EXPECT_EQ(final.name, "xFinal_run");
  EXPECT_EQ(final.dims, (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(final.realAs<double>(), (std::vector<double>{10, 20, -10}));

  EXPECT_EQ(file.variables[3].name, "power_run");
  EXPECT_EQ(file.variables[3].realAs<double>(), series(0.5));
  const QmfArray& mode = file.variables[4];
  EXPECT_EQ(mode.name, "mode_run");
  EXPECT_EQ(mode.classId, 8u);
  EXPECT_EQ(mode.dims, (std::vector<int32_t>{11, 2}));
  std::vector<int8_t> modes;
  for (int k = 0; k <= 10; ++k) modes.push_back(int8_t(k));
  for (int k = 0; k <= 10; ++k) modes.push_back(int8_t(-k));
  EXPECT_EQ(mode.realAs<int8_t>(), modes);
}

TEST_F(DataLoggingTest, OutputNamesSkipEmptyNamesAndOutputsWithoutSignal) {
  TinyModel model(kLogFormatMatrix, ",mode,extra");
  const char* status = nullptr;
  model.run(&status);
  const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
  ASSERT_EQ(file.variables.size(), 4u);  // tout, xout, xFinal, mode
  EXPECT_EQ(file.variables[3].name, "mode_run");

  // One name: power and mode side by side, the int8 pair read as int8 and
  // logged as double.
  TinyModel spanning(kLogFormatMatrix, "yout");
  spanning.run(&status);
  const QmfFile spanned = parseQmfFile(readFileBytes("out.qmf"));
  const QmfArray& yout = spanned.variables.at(3);
  EXPECT_EQ(yout.dims, (std::vector<int32_t>{11, 3}));
  std::vector<double> expected = series(0.5);
  for (double v : series(1)) expected.push_back(v);
  for (double v : series(-1)) expected.push_back(v);
  EXPECT_EQ(yout.realAs<double>(), expected);
}

TEST_F(DataLoggingTest, SideBySideSignalsAreReadThroughTheirOwnConversions) {
  // power is stored as an int16 fixed-point number: logged value = 0.5 x stored.
  const TypeConversion halves{1, kTypeDouble, kTypeInt16, 0, 0, 1, 0.5, 0, 0.0};
  const TypeConversion* conversions[2] = {&halves, nullptr};
  for (int32_t outputs : {2, 1}) {
    TinyModel model(kLogFormatMatrix, "yout");
    model.setup.timeName = model.setup.stateName = model.setup.finalStateName = "";
    model.outputs.numSignals = outputs;
    model.outputs.conversions = conversions;
    int16_t storedPower = 0;
    model.outputSignals[0] = &storedPower;
    const char* status = nullptr;
    startDataLogging(&model.setup, 0.0, 0.01, 0.001, &status);
    for (int k = 0; k <= 10; ++k) {
      storedPower = int16_t(k);
      model.mode[0] = int8_t(k);
      model.mode[1] = int8_t(-k);
      updateDataLogging(&model.setup, model.time);
    }
    ::testing::internal::CaptureStdout();
    stopDataLogging("out.qmf", &model.setup);
    ::testing::internal::GetCapturedStdout();

    const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
    std::vector<double> expected = series(0.5);
    if (outputs == 2) {
      for (double v : series(1)) expected.push_back(v);
      for (double v : series(-1)) expected.push_back(v);
    }
    EXPECT_EQ(file.variables.at(0).realAs<double>(), expected) << outputs << " outputs";
  }
}

TEST_F(DataLoggingTest, StructureWithTimeFormatModelIsReadBackExactly) {
  TinyModel model(kLogFormatStructureWithTime, "yout");
  const char* status = nullptr;
  model.run(&status);
  EXPECT_EQ(status, nullptr);
  const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
  ASSERT_EQ(file.variables.size(), 4u);  // tout, then the structures in creation order
  EXPECT_EQ(file.variables[0].name, "tout_run");

  const QmfArray& xout = file.variables[1];
  EXPECT_EQ(xout.name, "xout_run");
  EXPECT_EQ(xout.field(0, "time").realAs<double>(), series(0.001));
  const QmfArray& states = xout.field(0, "signals");
  EXPECT_EQ(states.dims, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(states.field(0, "values").dims, (std::vector<int32_t>{11, 2}));
  EXPECT_EQ(states.field(1, "values").realAs<double>(), series(-1));

  EXPECT_EQ(file.variables[2].name, "xFinal_run");
  EXPECT_EQ(file.variables[2].field(0, "time").realAs<double>(), std::vector<double>{0.01});

  const QmfArray& yout = file.variables[3];
  EXPECT_EQ(yout.name, "yout_run");
  const QmfArray& outputs = yout.field(0, "signals");
  EXPECT_EQ(outputs.fieldNames.at(3), "blockName");
  EXPECT_EQ(outputs.field(0, "values").realAs<double>(), series(0.5));
  EXPECT_EQ(outputs.field(1, "values").realAs<int8_t>().at(21), -10);
}

TEST_F(DataLoggingTest, StructureFormatWithoutTimeAndOneStructurePerOutput) {
  TinyModel model(kLogFormatStructure, "power,mode");
  const char* status = nullptr;
  model.run(&status);
  const QmfFile file = parseQmfFile(readFileBytes("out.qmf"));
  ASSERT_EQ(file.variables.size(), 5u);
  EXPECT_EQ(file.variables[1].field(0, "time").dims, (std::vector<int32_t>{0, 0}));
  const QmfArray& mode = file.variables[4];
  EXPECT_EQ(mode.name, "mode_run");
  EXPECT_EQ(mode.field(0, "signals").dims, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(mode.field(0, "signals").field(0, "values").realAs<int8_t>().at(10), 10);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(DataLoggingTest, DecimationBelowOneIsRefusedAtCreation) {
  TinyModel model(kLogFormatMatrix, "yout");
  model.setup.decimation = 0;
  const char* status = nullptr;
  ::testing::internal::CaptureStderr();
  startDataLogging(&model.setup, 0.0, 0.01, 0.001, &status);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "*** Decimation 0 for logging tout_run must be 1 or more\n"
            "*** Errors occurred when starting data logging.\n");
  EXPECT_STREQ(status, "Invalid logging decimation");
  EXPECT_EQ(model.setup.state, nullptr);

  // Direct creation too.
  Logger logger;
  LogVariableShape shape = shapeOf("negative");
  shape.decimation = -2;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(logger.add(shape), nullptr);
  LoggingSetup bare{};
  EXPECT_EQ(createStructLogVariable(&bare, kTwentySeconds, &status, "s", true, 0, 0, 0.001, nullptr,
                                    nullptr),
            nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "*** Decimation -2 for logging negative must be 1 or more\n"
            "*** Decimation 0 for logging s must be 1 or more\n");
}

TEST_F(DataLoggingTest, TooLargeBufferIsRefusedWithItsDetails) {
  Logger logger({0.0, 1e9, 0.001});
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(logger.add(shapeOf("huge")), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "\n*** Memory required to log variable 'huge' is too\n    big. Use the 'Limit rows to "
            "last:' and (or)\n    'Decimation:' options to reduce the required\n    memory size.\n"
            "*** Details:\n       varName         = huge\n       nRows           = 2147483647\n"
            "       nCols           = 1\n       elementSize     = 8\n"
            "       Bytes Required  = 17179869176\n\n");
  EXPECT_STREQ(logger.status(), "Memory allocation error");
}

TEST_F(DataLoggingTest, FirstAllocationFailuresReportWhatWasBeingMade) {
  struct Case {
    long successes;
    const char* expected;
  };
  const Case cases[] = {
      {0, "*** Errors occurred when starting data logging.\n"},
      {1,
       "*** Error allocating memory for logging t\n"
       "*** Errors occurred when starting data logging.\n"},
      {2,
       "*** Error allocating memory for the circular buffer\n*** Details:\n       varName    "
       "     = t\n       nRows           = 11\n       nCols           = 1\n       elementSize "
       "    = 8\n       Bytes Requested = 88\n\n"
       "*** Errors occurred when starting data logging.\n"},
  };
  for (const Case& c : cases) {
    LoggingSetup setup{};
    setup.decimation = 1;
    setup.timeName = "t";
    const char* status = nullptr;
    test_allocator::FailingAllocator failing(c.successes);
    ::testing::internal::CaptureStderr();
    startDataLogging(&setup, 0.0, 0.01, 0.001, &status);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.expected);
    EXPECT_STREQ(status, "Memory allocation error");
    EXPECT_EQ(setup.state, nullptr);
    EXPECT_EQ(test_allocator::FailingAllocator::liveBlocks(), 0);
  }
}

TEST_F(DataLoggingTest, ComplexBufferFailureNamesTheImaginaryPart) {
  Logger logger;
  LogVariableShape shape = shapeOf("z");
  shape.isComplex = true;
  shape.maxRows = 4;
  test_allocator::FailingAllocator failing(2);  // record and real part only
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(logger.add(shape), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "*** Error allocating memory for the circular buffer for logging the imaginary part "
            "of z\n*** Details:\n       varName         = z\n       nRows           = 4\n       "
            "nCols           = 1\n       elementSize     = 8\n       Bytes Requested = 32\n\n");
  EXPECT_EQ(test_allocator::FailingAllocator::liveBlocks(), 0);
}

// Every allocation of a rich start fails in turn: each failure is reported,
// leaves nothing allocated and sets the status.
TEST_F(DataLoggingTest, EveryAllocationFailureLeavesNothingHalfBuilt) {
  VarDimsSignals signals;
  const LogSignalDescription logged = signals.description();
  for (int32_t format : {kLogFormatMatrix, kLogFormatStructureWithTime}) {
    for (const char* outputNames : {"yout", "power,mode"}) {
      TinyModel model(format, outputNames);
      model.setup.loggedSignalsName = "logsout";
      model.setup.loggedSignalsDescription = &logged;
      model.setup.maxRows = 3;
      long allocations;
      {
        test_allocator::FailingAllocator counting(-1);
        const char* status = nullptr;
        startDataLogging(&model.setup, 0.0, 0.01, 0.001, &status);
        ASSERT_EQ(status, nullptr);
        allocations = test_allocator::FailingAllocator::allocationsSeen();
        destroyLoggingState(model.setup.state);
        model.setup.state = nullptr;
        ASSERT_EQ(test_allocator::FailingAllocator::liveBlocks(), 0);
      }
      ASSERT_GT(allocations, 20);
      for (long failAt = 0; failAt < allocations; ++failAt) {
        test_allocator::FailingAllocator failing(failAt);
        const char* status = nullptr;
        ::testing::internal::CaptureStderr();
        startDataLogging(&model.setup, 0.0, 0.01, 0.001, &status);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_STREQ(status, "Memory allocation error") << "allocation " << failAt;
        EXPECT_EQ(model.setup.state, nullptr) << "allocation " << failAt;
        EXPECT_EQ(test_allocator::FailingAllocator::liveBlocks(), 0) << "allocation " << failAt;
        const std::string last = "*** Errors occurred when starting data logging.\n";
        EXPECT_TRUE(errors.size() >= last.size() &&
                    errors.compare(errors.size() - last.size(), last.size(), last) == 0)
            << "allocation " << failAt << ": " << errors;
      }
    }
  }
}

TEST_F(DataLoggingTest, FailedGrowthReportsAndEndsTheProgram) {
  auto growUntilFailure = [](bool complex) {
    LoggingSetup setup{};
    const char* status = nullptr;
    LogVariableShape shape = shapeOf("g");
    shape.sampleTime = 0.0;
    shape.isComplex = complex;
    LogVariable* v = createLogVariable(&setup, kNoStepSize, &status, shape, false);
    test_allocator::FailingAllocator failing(0);
    const double sample[2] = {1, 2};
    updateLogVariable(v, sample, false);  // fills row 0, then must grow
  };
  EXPECT_EXIT(growUntilFailure(false), ::testing::ExitedWithCode(1),
              "\\*\\*\\* Memory allocation error\\.\n    varName          = g\n    nRows      "
              "      = 1\n    nCols            = 1\n    elementSize      = 8\n    Current Size  "
              "   = 8\n    Failed resize    = 8200\n\n");
  EXPECT_EXIT(growUntilFailure(true), ::testing::ExitedWithCode(1),
              "varName          = g \\(real part\\)");
}

}  // namespace
}  // namespace sim
