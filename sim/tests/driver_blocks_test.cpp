// The driver blocks on their own: the UDP layer, the viewer senders' exact
// datagrams on loopback, and the pacer with an injected clock.
#include "sim/blocks/driver_blocks.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/blocks/real_time_delay.h"
#include "sim/blocks/udp_channel.h"
#include "sim/tests/udp_listener.h"

namespace {

using namespace std::string_literals;

int openDescriptors() {
  int count = 0;
  DIR* directory = opendir("/proc/self/fd");
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}

// A port nobody uses right now.
std::uint16_t freePort() {
  UdpListener probe;
  return probe.port();
}

// ---------------------------------------------------------------------------
// UDP layer

TEST(UdpChannelTest, SendsTheGivenBytesToTheDestination) {
  UdpListener listener;
  const int channel = sim::openUdpChannel("127.0.0.1", listener.port(), false, sim::kUdpNoBind);
  ASSERT_GE(channel, 0);
  EXPECT_EQ(sim::udpSend(channel, 4, "ab\0c"), sim::kUdpOk);
  EXPECT_EQ(listener.receive(), "ab\0c"s);
  sim::closeUdpChannel(channel);
}

TEST(UdpChannelTest, TheHundredAndTwentyNinthOpenFindsNoChannelAndMakesNoSocket) {
  std::vector<int> channels;
  for (int k = 0; k < sim::kUdpChannelCount; ++k) {
    channels.push_back(sim::openUdpChannel("127.0.0.1", 40500, false, sim::kUdpNoBind));
    ASSERT_EQ(channels.back(), k);
  }
  const int before = openDescriptors();
  EXPECT_EQ(sim::openUdpChannel("127.0.0.1", 40500, false, sim::kUdpNoBind),
            sim::kUdpNoFreeChannel);
  EXPECT_EQ(openDescriptors(), before);
  for (int channel : channels) sim::closeUdpChannel(channel);
  // Closing frees the entries: the first is taken again.
  const int again = sim::openUdpChannel("127.0.0.1", 40500, false, sim::kUdpNoBind);
  EXPECT_EQ(again, 0);
  sim::closeUdpChannel(again);
}

TEST(UdpChannelTest, ChannelsOutOfRangeOrNotOpenAreRefused) {
  EXPECT_EQ(sim::udpSend(-5, 1, "x"), sim::kUdpBadChannel);
  EXPECT_EQ(sim::udpSend(128, 1, "x"), sim::kUdpBadChannel);
  EXPECT_EQ(sim::udpSend(7, 1, "x"), sim::kUdpBadChannel);  // free entry: no socket of its own
  const int before = openDescriptors();
  sim::closeUdpChannel(7);
  sim::closeUdpChannel(-5);
  EXPECT_EQ(openDescriptors(), before);
}

TEST(UdpChannelTest, BindToAPortInUseFailsAndKeepsNoSocket) {
  UdpListener holder;  // bound without the reuse option
  const int before = openDescriptors();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(sim::openUdpChannel("127.0.0.1", 40500, false, holder.port()), sim::kUdpBindFailed);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error 98 binding socket to port " + std::to_string(holder.port()) + "\n");
  EXPECT_EQ(openDescriptors(), before);
  const int channel = sim::openUdpChannel("127.0.0.1", 40500, false, sim::kUdpNoBind);
  EXPECT_EQ(channel, 0);  // the entry stayed free
  sim::closeUdpChannel(channel);
}

TEST(UdpChannelTest, LocalPortIsTheSourcePortOnlyWhenGiven) {
  UdpListener listener;
  const std::uint16_t local = freePort();
  const int bound = sim::openUdpChannel("127.0.0.1", listener.port(), false, local);
  ASSERT_GE(bound, 0);
  sim::udpSend(bound, 1, "b");
  std::uint16_t from = 0;
  EXPECT_EQ(listener.receive(&from), "b");
  EXPECT_EQ(from, local);
  sim::closeUdpChannel(bound);

  const int unbound = sim::openUdpChannel("127.0.0.1", listener.port(), false, sim::kUdpNoBind);
  ASSERT_GE(unbound, 0);
  sim::udpSend(unbound, 1, "u");
  EXPECT_EQ(listener.receive(), "u");
  sim::closeUdpChannel(unbound);
}

// ---------------------------------------------------------------------------
// Viewer senders

// One block record with its storage, parameters and model info.
struct BlockFixture {
  sim::BlockRecord block{};
  const char* status = nullptr;
  sim::BlockSharedInfo shared{&status, nullptr, nullptr, nullptr, nullptr, nullptr};
  std::int32_t integerWork[4]{};
  double realWork[4]{};
  void* pointerWork[1]{};
  double output[3]{};
  double sampleTime = -1, offset = -1;
  std::vector<std::vector<double>> parameterArrays;
  std::vector<const double*> parameterTable;
  std::uint8_t footInput = 0;
  double rampInput = 0;

  void setParameters(std::vector<std::vector<double>> arrays) {
    parameterArrays = std::move(arrays);
    parameterTable.clear();
    for (const auto& a : parameterArrays) parameterTable.push_back(a.data());
    block.numParameters = static_cast<std::int32_t>(parameterTable.size());
    block.parameters = parameterTable.data();
  }

  BlockFixture() {
    block.integerWork = integerWork;
    block.realWork = realWork;
    block.pointerWork = pointerWork;
    block.outputSignal = output;
    block.modelInfo = &shared;
    block.sampleTime = &sampleTime;
    block.offset = &offset;
  }

  // initializeSizes, initializeSampleTimes and start, as the model calls them.
  void startUp() {
    block.initializeSizes(&block);
    block.initializeSampleTimes(&block);
    block.start(&block);
  }
};

std::vector<double> addressParameter(const std::string& text) {
  std::vector<double> p = {1, static_cast<double>(text.size())};
  for (char c : text) p.push_back(c);
  return p;
}

struct FootSender : BlockFixture {
  FootSender(std::uint16_t port, int foot, const std::string& address = "127.0.0.1") {
    setParameters({addressParameter(address),
                   {1, 1, double(port)},
                   {1, 1, -1},
                   {1, 1, double(foot)},
                   {1, 1, 0.001}});
    block.inputSignal = &footInput;
    sim::registerFootSendMethods(&block);
  }
};

struct RampSender : BlockFixture {
  explicit RampSender(std::uint16_t port) {
    setParameters({addressParameter("127.0.0.1"), {1, 1, double(port)}, {1, 1, -1}, {1, 1, 0.001}});
    block.inputSignal = &rampInput;
    sim::registerOgreSendMethods(&block);
  }
};

TEST(ViewerSenderTest, FootShowAndHideAreThirtyOneBytesWithTheirZero) {
  UdpListener listener;
  FootSender foot(listener.port(), 3);
  foot.startUp();
  ASSERT_EQ(foot.status, nullptr);
  EXPECT_EQ(foot.integerWork[1], 31);
  EXPECT_EQ(foot.sampleTime, 0.001);
  foot.footInput = 1;
  foot.block.outputs(&foot.block, 1);
  EXPECT_EQ(listener.receive(), "drelvik.0:ramp.0:foot.3 show  \0"s);
  foot.footInput = 0;
  foot.block.outputs(&foot.block, 1);
  EXPECT_EQ(listener.receive(), "drelvik.0:ramp.0:foot.3 show 0\0"s);
  foot.block.terminate(&foot.block);
  EXPECT_EQ(foot.pointerWork[0], nullptr);
}

TEST(ViewerSenderTest, RampPositionIsAlwaysTwentyFiveBytes) {
  UdpListener listener;
  RampSender ramp(listener.port());
  ramp.startUp();
  ASSERT_EQ(ramp.status, nullptr);
  EXPECT_EQ(ramp.integerWork[1], 25);
  const struct {
    double value;
    std::string datagram;
  } cases[] = {
      {12.344, "drelvik.0:ramp.0 p 12.34\0"s},  // five characters: with the zero
      {-9.99, "drelvik.0:ramp.0 p -9.99\0"s},   {0.5, "drelvik.0:ramp.0 p  0.50\0"s},
      {123.45, "drelvik.0:ramp.0 p 123.45"s},    // six: without it
      {-123.456, "drelvik.0:ramp.0 p -123.4"s},  // longer: cut to 25 bytes
      {1e300, "drelvik.0:ramp.0 p 100000"s},
  };
  for (const auto& c : cases) {
    ramp.rampInput = c.value;
    ramp.block.outputs(&ramp.block, 0);
    EXPECT_EQ(listener.receive(), c.datagram) << c.value;
  }
  ramp.block.terminate(&ramp.block);
}

TEST(ViewerSenderTest, WrongParameterCountIsABlockError) {
  FootSender foot(40500, 1);
  foot.parameterTable.pop_back();
  foot.block.numParameters = 4;
  foot.block.initializeSizes(&foot.block);
  foot.block.initializeSampleTimes(&foot.block);
  EXPECT_STREQ(foot.status, "Wrong number of input arguments passed.\n5 arguments are expected\n");
  RampSender ramp(40500);
  ramp.block.numParameters = 5;
  ramp.block.initializeSizes(&ramp.block);
  EXPECT_STREQ(ramp.status, "Wrong number of input arguments passed.\n4 arguments are expected\n");
}

TEST(ViewerSenderTest, SenderWithTheWrongParameterCountClosesNoOtherChannel) {
  UdpListener listener;
  const int other = sim::openUdpChannel("127.0.0.1", listener.port(), false, sim::kUdpNoBind);
  ASSERT_EQ(other, 0);
  FootSender foot(40500, 1);
  foot.block.numParameters = 4;
  foot.block.initializeSizes(&foot.block);
  ASSERT_NE(foot.status, nullptr);
  foot.block.terminate(&foot.block);  // the model terminates every block
  EXPECT_EQ(sim::udpSend(other, 1, "x"), sim::kUdpOk);
  EXPECT_EQ(listener.receive(), "x");
  sim::closeUdpChannel(other);
}

TEST(ViewerSenderTest, AddressLongerThanFifteenCharactersIsABlockError) {
  const int before = openDescriptors();
  FootSender foot(40500, 1, "127.000.000.0001");
  foot.startUp();
  EXPECT_STREQ(foot.status, "Error: udp address parameter must be a text of at most 15 characters");
  EXPECT_EQ(openDescriptors(), before);
  foot.block.outputs(&foot.block, 1);  // nothing to send with
  foot.block.terminate(&foot.block);
}

TEST(ViewerSenderTest, NoFreeChannelIsABlockError) {
  std::vector<int> channels;
  for (int k = 0; k < sim::kUdpChannelCount; ++k)
    channels.push_back(sim::openUdpChannel("127.0.0.1", 40500, false, sim::kUdpNoBind));
  RampSender ramp(40500);
  ramp.startUp();
  EXPECT_STREQ(ramp.status, "Error: No udp Channel free or udp error");
  EXPECT_EQ(ramp.integerWork[0], sim::kUdpNoFreeChannel);
  ramp.block.outputs(&ramp.block, 0);  // the negative channel counts as out of range
  ramp.block.terminate(&ramp.block);
  for (int channel : channels) sim::closeUdpChannel(channel);
}

// ---------------------------------------------------------------------------
// Pacer

// A counter in nanoseconds that moves by `tick` at every read and by the
// requested time at every sleep; it gives up after too many reads instead of
// letting a test hang.
struct FakeClock {
  static inline std::uint64_t now = 0;
  static inline std::uint64_t tick = 1000;
  static inline long reads = 0;
  static inline std::vector<std::uint32_t> sleeps;

  static std::uint64_t frequency() { return 1000000000ull; }
  static std::uint64_t counter() {
    if (++reads > 20000000) throw std::runtime_error("busy wait does not end");
    return now += tick;
  }
  static void sleep(std::uint32_t milliseconds) {
    sleeps.push_back(milliseconds);
    now += std::uint64_t{milliseconds} * 1000000ull;
  }
  static void reset(std::uint64_t start, std::uint64_t step) {
    now = start;
    tick = step;
    reads = 0;
    sleeps.clear();
  }
};

constexpr sim::PacerClock kFakeClock = {&FakeClock::frequency, &FakeClock::counter,
                                        &FakeClock::sleep};

struct Pacer : BlockFixture {
  explicit Pacer(double multiplier) {
    setParameters({{1, 1, 0.001}, {1, 1, multiplier}});
    sim::registerRealTimeDelayMethods(&block);
  }
  void startQuietly() {
    ::testing::internal::CaptureStdout();
    startUp();
    startText = ::testing::internal::GetCapturedStdout();
  }
  void step() { block.outputs(&block, 0); }
  int timeouts() const { return integerWork[2]; }
  std::string startText;
};

class PacerTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::setPacerClock(&kFakeClock); }
  void TearDown() override { sim::setPacerClock(nullptr); }
};

TEST_F(PacerTest, StartAnnouncesTheFrequencyAndTerminateCountsTimeouts) {
  FakeClock::reset(0, 1000);
  Pacer pacer(0);
  pacer.startQuietly();
  EXPECT_EQ(pacer.startText, "CPU Frequency 1.00e+09\n       ");
  EXPECT_EQ(pacer.realWork[3], 1e9);
  for (int k = 0; k < 5; ++k) pacer.step();
  ::testing::internal::CaptureStdout();
  pacer.block.terminate(&pacer.block);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "5 Timeouts\n");
}

TEST_F(PacerTest, MultiplierZeroNeverWaitsAndCountsEveryStep) {
  FakeClock::reset(0, 1000);
  Pacer pacer(0);
  pacer.startQuietly();
  for (int k = 0; k < 3; ++k) pacer.step();
  EXPECT_TRUE(FakeClock::sleeps.empty());
  EXPECT_EQ(FakeClock::reads, 1 + 3 * 2);  // start, then two reads per step
  EXPECT_EQ(pacer.timeouts(), 3);
  EXPECT_EQ(pacer.output[1], 0.0);
  EXPECT_DOUBLE_EQ(pacer.output[2], 2e-6);
}

TEST_F(PacerTest, LongTargetSleepsWholeMillisecondsThenWaitsBusy) {
  FakeClock::reset(0, 1000);
  Pacer pacer(5);  // 5 ms per step
  pacer.startQuietly();
  pacer.step();
  EXPECT_EQ(FakeClock::sleeps, std::vector<std::uint32_t>{4});  // 4.999 ms truncated
  EXPECT_GE(pacer.output[2], 0.005 - 1e-7);
  EXPECT_LE(pacer.output[2], 0.005 + 2e-6);
  EXPECT_EQ(pacer.timeouts(), 0);
  EXPECT_DOUBLE_EQ(pacer.output[1], 0.005);
}

TEST_F(PacerTest, ShortTargetIsSpentInTheBusyWaitOnly) {
  FakeClock::reset(0, 1000);
  Pacer pacer(0.5);  // 0.5 ms per step
  pacer.startQuietly();
  pacer.step();
  pacer.step();
  EXPECT_TRUE(FakeClock::sleeps.empty());
  EXPECT_GE(pacer.output[2], 0.0005 - 1e-7);
  EXPECT_LE(pacer.output[2], 0.0005 + 2e-6);
  EXPECT_EQ(pacer.timeouts(), 0);
  EXPECT_NEAR(pacer.output[0], 0.001, 4e-6);
  EXPECT_DOUBLE_EQ(pacer.output[1], 0.001);
}

TEST_F(PacerTest, AStepLongerThanOnePointOneTargetsIsATimeout) {
  FakeClock::reset(0, 1000);
  Pacer pacer(1);  // 1 ms per step
  pacer.startQuietly();
  FakeClock::now += 1050000;  // the model's own work took 1.05 ms
  pacer.step();
  EXPECT_EQ(pacer.timeouts(), 0);
  FakeClock::now += 2000000;  // 2 ms
  pacer.step();
  EXPECT_EQ(pacer.timeouts(), 1);
  EXPECT_TRUE(FakeClock::sleeps.empty());
}

TEST_F(PacerTest, VeryLongTargetAcrossTheCountersHighWordEnds) {
  FakeClock::reset(0xFFFFFF00ull, 1000);
  Pacer pacer(10000);  // 10 s per step: more than 2^32 ns
  pacer.startQuietly();
  pacer.step();
  EXPECT_EQ(FakeClock::sleeps, std::vector<std::uint32_t>{9999});
  EXPECT_NEAR(pacer.output[2], 10.0, 2e-6);
  EXPECT_EQ(pacer.timeouts(), 0);
}

TEST_F(PacerTest, TargetBeyondTheLongestSleepSleepsTheLongestAndWaitsTheRest) {
  // -TimeMultiplier 1e10: 1e7 s per step, more milliseconds than a sleep
  // request holds. The clock moves 1000 s per read to keep the busy wait short.
  FakeClock::reset(0, 1000000000000ull);
  Pacer pacer(1e10);
  pacer.startQuietly();
  pacer.step();
  EXPECT_EQ(FakeClock::sleeps, std::vector<std::uint32_t>{0xFFFFFFFFu});
  EXPECT_GE(pacer.output[2], 1e7);
  EXPECT_EQ(pacer.timeouts(), 0);
}

TEST_F(PacerTest, ParametersAreChecked) {
  Pacer wrongCount(0);
  wrongCount.block.numParameters = 1;
  wrongCount.block.initializeSizes(&wrongCount.block);
  EXPECT_STREQ(wrongCount.status,
               "Wrong number of input arguments passed.\n2 arguments are expected\n");
  Pacer notScalar(0);
  notScalar.parameterArrays[0] = {1, 2, 0.001, 0.001};
  notScalar.parameterTable[0] = notScalar.parameterArrays[0].data();
  notScalar.block.initializeSizes(&notScalar.block);
  EXPECT_STREQ(notScalar.status, "Sample time argument must be a scalar\n");
}

}  // namespace
