#include "launcher/console_queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/waitable.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using console::ByteQueue;
using console::QueuePair;
using testing_support::Watchdog;

bool signalled(platform::Handle event) {
  // Takes the automatic-reset event when it is set; callers look once.
  const platform::Handle handles[] = {event};
  return platform::waitForAny(handles, 0) == 0;
}

std::string pattern(size_t n, char first) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(first + i % 23);
  return bytes;
}

// One queue with its own mutex, as a pair's queue has.
class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mutex_ = platform::createMutex(false);
    queue_ = console::makeQueue(mutex_);
    ASSERT_NE(queue_, nullptr);
  }
  void TearDown() override {
    console::destroyQueue(queue_);
    platform::closeHandle(mutex_);
  }
  std::string contents() const { return std::string(queue_->buffer, queue_->length); }

  platform::Handle mutex_ = platform::kNoHandle;
  ByteQueue* queue_ = nullptr;
};

TEST_F(QueueTest, GrowsToLengthPlusPutPlusSlackAndKeepsOrder) {
  EXPECT_EQ(queue_->capacity, 200);
  const std::string first = pattern(150, 'a');
  const std::string second = pattern(100, 'A');
  ASSERT_TRUE(console::putBytes(queue_, first.data(), 150));
  EXPECT_EQ(queue_->capacity, 200);
  ASSERT_TRUE(console::putBytes(queue_, second.data(), 100));
  EXPECT_EQ(queue_->capacity, 450);
  EXPECT_EQ(contents(), first + second);
}

TEST_F(QueueTest, PartialGetLeavesTheRestAtTheFrontWithTheEventSet) {
  const std::string bytes = pattern(25, 'a');
  ASSERT_TRUE(console::putBytes(queue_, bytes.data(), 25));
  platform::resetEvent(queue_->event);
  char taken[10];
  EXPECT_EQ(console::getBytes(queue_, taken, 10), 10);
  EXPECT_EQ(std::string(taken, 10), bytes.substr(0, 10));
  EXPECT_EQ(contents(), bytes.substr(10));
  EXPECT_TRUE(signalled(queue_->event));

  char rest[64];
  EXPECT_EQ(console::getBytes(queue_, rest, 64), 15);
  EXPECT_EQ(std::string(rest, 15), bytes.substr(10));
  EXPECT_FALSE(console::hasBytes(queue_));
}

TEST_F(QueueTest, GetFromEmptyLeavesTheEventAsItWas) {
  char buffer[8];
  for (bool set : {false, true}) {
    if (set) platform::setEvent(queue_->event);
    EXPECT_EQ(console::getBytes(queue_, buffer, 8), 0);
    EXPECT_EQ(signalled(queue_->event), set);
  }
}

TEST_F(QueueTest, SyncedEventIsSetExactlyWhenBytesAreHeld) {
  platform::setEvent(queue_->event);
  EXPECT_FALSE(signalled(console::syncEvent(queue_)));
  ASSERT_TRUE(console::putBytes(queue_, "x", 1));
  platform::resetEvent(queue_->event);
  EXPECT_TRUE(signalled(console::syncEvent(queue_)));
  EXPECT_TRUE(console::hasBytes(queue_));
}

TEST_F(QueueTest, RefusesAPutWhoseGrownSizeWouldPassTheLargestInt) {
  const std::string bytes = pattern(150, 'a');
  ASSERT_TRUE(console::putBytes(queue_, bytes.data(), 150));
  // Refused before a byte is read, so the source may be short.
  for (int32_t n : {INT32_MAX, INT32_MAX - 200, INT32_MAX - 349, -1})
    EXPECT_FALSE(console::putBytes(queue_, bytes.data(), n)) << n;
  EXPECT_EQ(queue_->capacity, 200);
  EXPECT_EQ(contents(), bytes);
}

// ---- the pair across threads ----

class PairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mutex_ = platform::createMutex(false);
    ASSERT_TRUE(console::makePair(&pair_, mutex_));
  }
  void TearDown() override {
    console::freePair(&pair_);
    platform::closeHandle(mutex_);
  }
  platform::Handle mutex_ = platform::kNoHandle;
  QueuePair pair_{};
};

TEST_F(PairTest, MakePairTwiceKeepsTheQueuesAndFreeEmptiesIt) {
  ByteQueue* input = pair_.input;
  ASSERT_TRUE(console::makePair(&pair_, mutex_));
  EXPECT_EQ(pair_.input, input);
  EXPECT_EQ(pair_.input->mutex, mutex_);
  EXPECT_EQ(pair_.output->mutex, mutex_);
  console::writeInput(&pair_, "typed\n");
  EXPECT_EQ(console::waitForInput(&pair_, false), console::kInputReady);

  console::freePair(&pair_);
  EXPECT_FALSE(console::pairExists(&pair_));
  char buffer[8];
  EXPECT_EQ(console::readInput(&pair_, buffer, 8), -1);
  EXPECT_EQ(console::readOutput(&pair_, buffer, 8), -1);
  EXPECT_TRUE(console::writeOutput(&pair_, "dropped", 7));
  EXPECT_EQ(console::outputEvent(&pair_), platform::kNoHandle);
  EXPECT_EQ(console::waitForInput(&pair_, false), console::kNoInput);
}

// The end of the typed input: a waiting reader wakes, the bytes still
// queued come first, then every read gives 0 at once.
TEST_F(PairTest, AtTheInputsEndQueuedBytesComeFirstThenReadsGiveNothing) {
  Watchdog watchdog("a reader at the input's end", 10s);
  console::writeInput(&pair_, "ab");
  char buffer[8];
  ASSERT_EQ(console::readInput(&pair_, buffer, 8), 2);
  EXPECT_EQ(console::waitForInput(&pair_, false), console::kNoInput);
  std::atomic<int32_t> woke{-99};
  std::thread reader([&] { woke = console::waitForInput(&pair_, true); });
  std::this_thread::sleep_for(50ms);  // the reader is in its wait
  console::writeInput(&pair_, "c");
  console::endInput(&pair_);
  reader.join();
  EXPECT_EQ(woke.load(), console::kInputReady);
  EXPECT_EQ(console::readInput(&pair_, buffer, 8), 1);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(console::waitForInput(&pair_, false), console::kInputReady);
    EXPECT_EQ(console::waitForInput(&pair_, true), console::kInputReady);
    EXPECT_EQ(console::readInput(&pair_, buffer, 8), 0);
  }
}

TEST_F(PairTest, AMegabyteInRandomChunksArrivesIdentical) {
  // Generous: the AddressSanitizer build on a loaded two-core machine is slow.
  Watchdog watchdog("1 MB through the output queue", 60s);
  constexpr size_t kTotal = 1 << 20;
  std::string sent(kTotal, '\0');
  std::mt19937 random(76);
  for (char& byte : sent) byte = static_cast<char>(random());

  std::thread writer([&] {
    std::mt19937 chunks(1);
    for (size_t at = 0; at < kTotal;) {
      const size_t n = std::min<size_t>(1 + chunks() % 5000, kTotal - at);
      ASSERT_TRUE(console::writeOutput(&pair_, sent.data() + at, static_cast<int32_t>(n)));
      at += n;
    }
  });
  std::string received;
  received.reserve(kTotal);
  char chunk[1024];
  while (received.size() < kTotal) {
    const platform::Handle event = console::outputEvent(&pair_);
    ASSERT_NE(event, platform::kNoHandle);
    const platform::Handle handles[] = {event};
    ASSERT_EQ(platform::waitForAny(handles, platform::kWaitForever), 0);
    platform::closeHandle(event);
    const int32_t got = console::readOutput(&pair_, chunk, sizeof chunk);
    ASSERT_GE(got, 0);
    received.append(chunk, got);
  }
  writer.join();
  EXPECT_TRUE(received == sent);
}

// A waiter on either queue wakes when the pair is freed and then finds it gone.
TEST_F(PairTest, FreeingThePairWakesWaitersOnBothQueues) {
  Watchdog watchdog("waiters on a freed pair", 5s);
  std::atomic<int32_t> inputWake{-99}, inputRead{-99}, outputWait{-99}, outputRead{-99};
  std::atomic<int> waiting{0};
  std::thread inputReader([&] {
    ++waiting;
    inputWake = console::waitForInput(&pair_, true);
    char buffer[8];
    inputRead = console::readInput(&pair_, buffer, 8);
  });
  std::thread outputReader([&] {
    const platform::Handle event = console::outputEvent(&pair_);
    ++waiting;
    const platform::Handle handles[] = {event};
    outputWait = platform::waitForAny(handles, platform::kWaitForever);
    platform::closeHandle(event);
    char buffer[8];
    outputRead = console::readOutput(&pair_, buffer, 8);
  });
  while (waiting < 2) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);  // both are in their waits
  const auto freed = std::chrono::steady_clock::now();
  console::freePair(&pair_);
  inputReader.join();
  outputReader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - freed, 1s);
  EXPECT_EQ(inputWake, console::kInputReady);
  EXPECT_EQ(inputRead, -1);
  EXPECT_EQ(outputWait, 0);
  EXPECT_EQ(outputRead, -1);
}

}  // namespace
