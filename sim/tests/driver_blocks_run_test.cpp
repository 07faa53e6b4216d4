// The driver blocks inside a whole run: the ramp position reaches the viewer
// at every major step, and the pacer gets the command line's multiplier.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/blocks/real_time_delay.h"
#include "sim/model/model_data.h"
#include "sim/model/zorvath_program.h"
#include "sim/tests/temp_directory.h"
#include "sim/tests/udp_listener.h"

namespace {

// Counts the datagrams that start with `prefix` until told to stop and the
// socket has gone quiet.
class DatagramCounter {
 public:
  DatagramCounter(UdpListener& listener, std::string prefix)
      : listener_(listener), prefix_(std::move(prefix)), thread_([this] { run(); }) {}
  int stopAndCount() {
    stop_ = true;
    thread_.join();
    return count_;
  }

 private:
  void run() {
    char buffer[2048];
    pollfd p{listener_.descriptor(), POLLIN, 0};
    while (true) {
      if (poll(&p, 1, 200) <= 0) {
        if (stop_) return;
        continue;
      }
      const ssize_t n = recv(listener_.descriptor(), buffer, sizeof buffer, 0);
      if (n > 0 && std::string(buffer, n).rfind(prefix_, 0) == 0) ++count_;
    }
  }
  UdpListener& listener_;
  std::string prefix_;
  std::atomic<bool> stop_{false};
  int count_ = 0;
  std::thread thread_;
};

class DriverBlocksRunTest : public TempDirectoryTest {
 protected:
  void TearDown() override {
    sim::blockParameters = sim::kDefaultBlockParameters;
    sim::parameters = sim::kDefaultParameters;
    sim::setPacerClock(nullptr);
    TempDirectoryTest::TearDown();
  }
  int run(std::vector<const char*> argv) {
    argv.insert(argv.begin(), "zorvath");
    ::testing::internal::CaptureStdout();
    const int status = sim::runZorvath(static_cast<int>(argv.size()), argv.data());
    out_ = ::testing::internal::GetCapturedStdout();
    return status;
  }
  std::string out_, err_;
};

TEST_F(DriverBlocksRunTest, EveryMajorStepSendsTheRampPosition) {
  UdpListener listener;
  listener.enlargeBuffer(64 << 20);
  sim::blockParameters.port[2] = listener.port();
  DatagramCounter counter(listener, "drelvik.0:ramp.0 p ");
  EXPECT_EQ(run({}), 0);
  EXPECT_EQ(counter.stopAndCount(), 20001);
}

int openDescriptors() {
  int count = 0;
  DIR* directory = opendir("/proc/self/fd");
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}

TEST_F(DriverBlocksRunTest, BlockThatCannotStartEndsTheRunBeforeAnyStepAndLeavesNoSocket) {
  const int before = openDescriptors();
  double* address = sim::blockParameters.address;
  address[1] = 16;  // one character more than the address can hold
  const int status = [&] {
    ::testing::internal::CaptureStderr();
    const int s = run({});
    err_ = ::testing::internal::GetCapturedStderr();
    return s;
  }();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err_, "Error: udp address parameter must be a text of at most 15 characters\n");
  EXPECT_EQ(sim::model->baseTick, 0u);
  EXPECT_THAT(out_, ::testing::EndsWith("PosErrorMax 0.000000\n0 Timeouts\n"));
  EXPECT_EQ(openDescriptors(), before);
}

// A clock that never really sleeps: it jumps by the requested time.
std::uint64_t fakeNow = 0;
std::vector<std::uint32_t> fakeSleeps;
constexpr sim::PacerClock kJumpingClock = {[] { return std::uint64_t{1000000000}; },
                                           [] { return fakeNow += 1000; },
                                           [](std::uint32_t ms) {
                                             fakeSleeps.push_back(ms);
                                             fakeNow += std::uint64_t{ms} * 1000000;
                                           }};

TEST_F(DriverBlocksRunTest, TimeMultiplierPacesEveryStep) {
  fakeSleeps.clear();
  sim::setPacerClock(&kJumpingClock);
  EXPECT_EQ(run({"-TimeMultiplier", "3"}), 0);
  // 3 ms per step: a 2 ms sleep and a busy wait in each of the 20001 steps.
  ASSERT_EQ(fakeSleeps.size(), 20001u);
  EXPECT_THAT(fakeSleeps, ::testing::Each(2u));
  EXPECT_THAT(out_, ::testing::EndsWith("\n0 Timeouts\n"));
}

}  // namespace
