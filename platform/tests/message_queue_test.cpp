#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/threads.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using platform::Handle;
using platform::Message;
using testing_support::Watchdog;

void drainQueue() {
  Message message;
  while (platform::peekMessage(&message, true)) {
  }
}

TEST(MessageQueue, APostFromAnotherThreadEndsAMessageAwareWait) {
  Watchdog watchdog("message-aware wait", 10s);
  drainQueue();
  const Handle event = platform::createEvent(false, false);
  const uint32_t me = platform::currentThreadId();
  std::thread poster([&] {
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(platform::postThreadMessage(me, platform::kUserMessage + 5, 11, 22));
  });
  EXPECT_EQ(platform::waitForAnyOrMessage({&event, 1}, platform::kWaitForever), 1);
  poster.join();

  Message message{};
  ASSERT_TRUE(platform::peekMessage(&message, false));
  EXPECT_EQ(message.window, platform::kNoHandle);
  EXPECT_EQ(message.message, platform::kUserMessage + 5);
  EXPECT_EQ(message.wParam, 11u);
  EXPECT_EQ(message.lParam, 22u);
  EXPECT_NE(message.time, 0u);
  EXPECT_EQ(platform::waitForAnyOrMessage({&event, 1}, 20), platform::kWaitTimedOut)
      << "input already looked at does not end a wait again";
  ASSERT_TRUE(platform::peekMessage(&message, true)) << "peeking left it in place";
  EXPECT_FALSE(platform::peekMessage(&message, false));
  platform::closeHandle(event);
}

TEST(MessageQueue, MessagesComeOutInOrderAndQuitEndsGetMessage) {
  drainQueue();
  const uint32_t me = platform::currentThreadId();
  ASSERT_TRUE(platform::postThreadMessage(me, 100, 1, 0));
  ASSERT_TRUE(platform::postThreadMessage(me, platform::kQuitMessage, 2, 0));
  Message message{};
  EXPECT_TRUE(platform::getMessage(&message));
  EXPECT_EQ(message.message, 100u);
  EXPECT_FALSE(platform::getMessage(&message));
  EXPECT_EQ(message.wParam, 2u);
  EXPECT_FALSE(platform::translateMessage(&message));
  EXPECT_EQ(platform::dispatchMessage(&message), 0u);
}

TEST(MessageQueue, PostingToAThreadWithoutAQueueFails) {
  std::atomic<uint32_t> id{0};
  std::atomic<bool> done{false};
  std::thread plain([&] {
    id = platform::currentThreadId();
    while (!done) std::this_thread::sleep_for(1ms);
  });
  while (id == 0) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(platform::postThreadMessage(id, 1, 0, 0));
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidThreadId);
  done = true;
  plain.join();
}

struct DispatchLog {
  static inline std::vector<std::vector<uint32_t>> calls;
  static uint32_t procedure(Handle window, uint32_t message, uint32_t wParam, uint32_t lParam) {
    calls.push_back({window, message, wParam, lParam});
    return 77;
  }
};

TEST(MessageQueue, WindowMessagesGoToTheOwnersQueueAndDispatchToTheProcedure) {
  Watchdog watchdog("window messages", 10s);
  DispatchLog::calls.clear();
  struct Shared {
    std::atomic<Handle> window{platform::kNoHandle};
    std::atomic<uint32_t> result{0};
  } shared;
  const Handle owner = platform::createThread(
      [](void* raw) -> uint32_t {
        auto* s = static_cast<Shared*>(raw);
        s->window = platform::createWindow(DispatchLog::procedure);
        Message message{};
        while (platform::getMessage(&message)) {
          platform::translateMessage(&message);
          s->result = platform::dispatchMessage(&message);
        }
        return 0;
      },
      &shared, 0, nullptr);
  while (shared.window == platform::kNoHandle) std::this_thread::sleep_for(1ms);
  const Handle window = shared.window;
  ASSERT_TRUE(platform::postWindowMessage(window, 300, 4, 5));
  ASSERT_TRUE(
      platform::postThreadMessage(platform::threadIdOf(owner), platform::kQuitMessage, 0, 0));
  ASSERT_EQ(platform::waitForAny({&owner, 1}, 5000), 0);

  ASSERT_EQ(DispatchLog::calls.size(), 1u);
  EXPECT_EQ(DispatchLog::calls[0], (std::vector<uint32_t>{window, 300, 4, 5}));
  EXPECT_EQ(shared.result, 77u);
  EXPECT_FALSE(platform::postWindowMessage(window, 300, 0, 0)) << "its owner has ended";
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidWindowHandle);
  platform::closeHandle(window);
  platform::closeHandle(owner);
}

}  // namespace
