// The remote-command list: commands come back in the order queued as Lisp
// objects, refused commands queue nothing, the Lisp thread is woken only once
// Lisp code has asked for a command, and several producers against one
// consumer lose and reorder nothing.

#include "runtime/os/remote_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "launcher/host_record.h"
#include "platform/message_queue.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/host_allocator.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using lisp::lispval;

class RemoteCommands : public gc_test::LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    savedRecord_ = redir;
    record_.lispThreadId = platform::currentThreadId();
    redir = reinterpret_cast<uint32_t*>(&record_);
    do_remote_command_interrupt = 0;
    event_ = platform::createEvent(true, false);
    remote_command_event(event_);
  }
  void TearDown() override {
    while (sy_get_next_remote_command() != nil()) {
    }
    remote_command_event(0);
    platform::closeHandle(event_);
    redir = savedRecord_;
    lisp::os::setHostAllocator({nullptr, nullptr});
    LispConstructorHeap::TearDown();
  }

  // The type code and elements of a type-125 or type-127 vector.
  static uint8_t typeOf(lispval object) { return header(object) & 0xff; }
  static uint32_t lengthOf(lispval object) {
    return lisp::fixnumValue(lisp::wordAt(object, lisp::kHeaderOffset + 4));
  }
  static const void* dataOf(lispval object) {
    return &lisp::wordAt(object, lisp::kHeaderOffset + 8);
  }
  static std::string textOf(lispval object) {
    return std::string(static_cast<const char*>(dataOf(object)), lengthOf(object));
  }
  static std::vector<uint32_t> wordsOf(lispval object) {
    const auto* words = static_cast<const uint32_t*>(dataOf(object));
    return std::vector<uint32_t>(words, words + lengthOf(object));
  }
  bool handshakeSet() {
    const platform::Handle handles[] = {event_};
    return platform::waitForAny(handles, 0) == 0;
  }

  host::HostRecord record_{};
  uint32_t* savedRecord_ = nullptr;
  platform::Handle event_ = platform::kNoHandle;
};

TEST_F(RemoteCommands, CommandsComeBackInOrderAsLispObjects) {
  const uint32_t three[] = {1, 2, 3};
  EXPECT_EQ(remote_command(0, "abc"), 1);
  EXPECT_EQ(remote_command(1, reinterpret_cast<const void*>(7)), 1);
  EXPECT_EQ(remote_command(3, three), 1);

  const lispval text = sy_get_next_remote_command();
  EXPECT_EQ(typeOf(text), 125);
  EXPECT_EQ(textOf(text), "abc");
  const lispval word = sy_get_next_remote_command();
  EXPECT_EQ(typeOf(word), 127);
  EXPECT_EQ(wordsOf(word), std::vector<uint32_t>{7});
  const lispval words = sy_get_next_remote_command();
  EXPECT_EQ(typeOf(words), 127);
  EXPECT_EQ(wordsOf(words), (std::vector<uint32_t>{1, 2, 3}));

  // The list is empty: nil, and the launcher's waiting caller is told.
  EXPECT_FALSE(handshakeSet());
  EXPECT_EQ(sy_get_next_remote_command(), nil());
  EXPECT_TRUE(handshakeSet());
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(RemoteCommands, RefusedCommandsQueueNothing) {
  const uint32_t words[21] = {};
  EXPECT_EQ(remote_command(21, words), 0);
  EXPECT_EQ(remote_command(-1, words), 0);
  EXPECT_EQ(remote_command(2, nullptr), 0);
  EXPECT_EQ(remote_command(0, nullptr), 0);
  lisp::os::setHostAllocator({[](size_t) -> void* { return nullptr; }, [](void*) {}});
  EXPECT_EQ(remote_command(0, "text"), 0);
  EXPECT_EQ(remote_command(20, words), 0);
  lisp::os::setHostAllocator({nullptr, nullptr});
  EXPECT_EQ(sy_get_next_remote_command(), nil());
}

// Before the Lisp exists a command waits for it while one is on its way
// (start-up, a restore, a build); nobody will take one while start-up asks
// for an image name, or once the Lisp has gone.
TEST_F(RemoteCommands, CommandsWaitForALispOnItsWayAndAreRefusedWhenNoneWillCome) {
  const bool wasPresent = lisp::presence::present();
  lisp::presence::depart();
  struct Case {
    const char* name;
    bool coming;
    int32_t accepted;
  };
  const Case cases[] = {
      {"on its way", true, 1},
      {"asking for an image name, or gone", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lisp::presence::setComing(c.coming);
    EXPECT_EQ(remote_command(1, reinterpret_cast<const void*>(5)), c.accepted);
  }
  lisp::presence::setComing(true);
  if (wasPresent) lisp::presence::arrive();
  // The command queued for the Lisp on its way is there when it asks.
  const lispval queued = sy_get_next_remote_command();
  ASSERT_NE(queued, nil());
  EXPECT_EQ(wordsOf(queued), std::vector<uint32_t>{5});
  EXPECT_EQ(sy_get_next_remote_command(), nil());
}

TEST_F(RemoteCommands, TheLispThreadIsWokenOnceLispCodeHasAsked) {
  platform::ensureMessageQueue();
  platform::Message message;
  while (platform::peekMessage(&message, true)) {
  }
  EXPECT_EQ(remote_command(1, reinterpret_cast<const void*>(1)), 1);
  EXPECT_FALSE(platform::peekMessage(&message, true));

  sy_get_next_remote_command();
  EXPECT_EQ(remote_command(1, reinterpret_cast<const void*>(2)), 1);
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, platform::kUserMessage);
  EXPECT_FALSE(platform::peekMessage(&message, true));
}

TEST_F(RemoteCommands, ProducersAgainstOneConsumerLoseAndReorderNothing) {
  constexpr uint32_t kProducers = 4;
  constexpr uint32_t kEach = 1000;  // the objects of a round fit the test heap's new space
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p)
      producers.emplace_back([p] {
        for (uint32_t i = 0; i < kEach; ++i) {
          const uint32_t command[] = {p, i};
          while (remote_command(2, command) != 1) {
          }
        }
      });
    std::vector<uint32_t> nextOf(kProducers, 0);
    uint32_t received = 0;
    while (received < kProducers * kEach) {
      const lispval command = sy_get_next_remote_command();
      if (command == nil()) continue;
      const std::vector<uint32_t> words = wordsOf(command);
      ASSERT_EQ(words.size(), 2u);
      ASSERT_LT(words[0], kProducers);
      ASSERT_EQ(words[1], nextOf[words[0]]) << "producer " << words[0];
      ++nextOf[words[0]];
      ++received;
    }
    for (std::thread& producer : producers) producer.join();
    EXPECT_EQ(sy_get_next_remote_command(), nil());
    // A fresh heap for the next round.
    TearDown();
    SetUp();
  }
}

}  // namespace
