// The pipe threads and their buffers alone, built with AddressSanitizer: a
// pipe that ends or is detached while the other side still uses the buffer
// must free it exactly once, after both sides have let go.
//
// The Lisp side is played here as the stream operations play it: it touches
// the data only while the Lisp-side event is signalled and hands the buffer
// back through the thread's event.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "launcher/host_record.h"
#include "platform/waitable.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/pipe_threads.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::os::ChildPipeBuffer;

void waitFor(uint32_t event) {
  const platform::Handle events[] = {event};
  platform::waitForAny(events, platform::kWaitForever);
}

bool ended(const host::DescriptorEntry& entry) {
  return (__atomic_load_n(&entry.flags, __ATOMIC_ACQUIRE) & host::kFlagPipeEnded) != 0;
}

class PipeThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe2(ends_, O_CLOEXEC), 0);
    liveBefore_ = lisp::os::liveChildPipeBuffers();
  }
  void TearDown() override {
    for (int end : ends_)
      if (end >= 0) ::close(end);
  }

  // A buffer for our end of the pipe, linked to `entry_` as the start links it.
  ChildPipeBuffer* serve(bool lispWrites) {
    const int lispEnd = lispWrites ? ends_[1] : ends_[0];
    (lispWrites ? ends_[1] : ends_[0]) = -1;  // the buffer owns it now
    ChildPipeBuffer* buffer = lisp::os::newPipeBuffer(lispEnd, 0, lispWrites);
    entry_.kind = host::kKindChildPipe;
    entry_.words[0] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer));
    buffer->entry = &entry_;
    lisp::os::startPipeThread(buffer, lispWrites);
    return buffer;
  }

  // What a read of the whole buffer does; empty when the pipe has ended.
  std::string take(ChildPipeBuffer* buffer) {
    waitFor(buffer->lispEvent);
    if (ended(entry_)) return {};
    std::string data(buffer->data + buffer->readOffset, buffer->endOffset - buffer->readOffset);
    buffer->readOffset = buffer->endOffset;
    platform::resetEvent(buffer->lispEvent);
    platform::setEvent(buffer->threadEvent);
    return data;
  }

  // What a write does once the buffer is the Lisp side's.
  void give(ChildPipeBuffer* buffer, const std::string& data) {
    waitFor(buffer->lispEvent);
    ASSERT_FALSE(ended(entry_));
    data.copy(buffer->data, data.size());
    buffer->readOffset = 0;
    buffer->endOffset = static_cast<uint32_t>(data.size());
    platform::resetEvent(buffer->lispEvent);
    platform::setEvent(buffer->threadEvent);
  }

  // What closing the entry does.
  void close(ChildPipeBuffer* buffer) {
    lisp::os::detachEntry(buffer);
    if (!ended(entry_) &&
        __atomic_load_n(&buffer->state, __ATOMIC_ACQUIRE) != lisp::os::kChildPipeDetached) {
      __atomic_store_n(&buffer->state, lisp::os::kChildPipeDetached, __ATOMIC_RELEASE);
      platform::setEvent(buffer->threadEvent);
    }
    entry_.words[0] = 0;
    lisp::os::releaseChildPipeBuffer(buffer);
  }

  void waitUntilFreed() {
    while (lisp::os::liveChildPipeBuffers() != liveBefore_) std::this_thread::sleep_for(1ms);
  }

  testing_support::Watchdog watchdog_{"pipe threads", 10s};
  int ends_[2] = {-1, -1};
  host::DescriptorEntry entry_{};
  int32_t liveBefore_ = 0;
};

TEST_F(PipeThreads, AReaderEndingUnderAWaitingLispSideLeavesTheBufferToTheEntry) {
  ChildPipeBuffer* buffer = serve(false);
  ASSERT_EQ(::write(ends_[1], "abc", 3), 3);
  EXPECT_EQ(take(buffer), "abc");
  std::thread writerGoes([this] {
    std::this_thread::sleep_for(20ms);
    ::close(ends_[1]);
    ends_[1] = -1;
  });
  EXPECT_EQ(take(buffer), "") << "woken by the end";
  writerGoes.join();
  EXPECT_TRUE(ended(entry_));
  EXPECT_EQ(buffer->entry, nullptr);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(lisp::os::liveChildPipeBuffers(), liveBefore_ + 1) << "the entry's share remains";
  close(buffer);
  EXPECT_EQ(lisp::os::liveChildPipeBuffers(), liveBefore_);
}

TEST_F(PipeThreads, AReaderDetachedWhileBlockedFreesTheBufferWhenItWakes) {
  ChildPipeBuffer* buffer = serve(false);
  std::this_thread::sleep_for(10ms);  // the thread is in its read
  close(buffer);
  ASSERT_EQ(::write(ends_[1], "late", 4), 4);
  waitUntilFreed();
  EXPECT_FALSE(ended(entry_)) << "a detached entry is not touched";
}

TEST_F(PipeThreads, AWriterWhoseReaderWentEndsTheStreamAndTheProcessLives) {
  ChildPipeBuffer* buffer = serve(true);
  ::close(ends_[0]);
  ends_[0] = -1;
  give(buffer, "nobody reads this");
  waitFor(buffer->lispEvent);
  EXPECT_TRUE(ended(entry_));
  close(buffer);
  waitUntilFreed();
}

TEST_F(PipeThreads, AWriterDetachedRightAfterAHandOverWritesItAllFirst) {
  ChildPipeBuffer* buffer = serve(true);
  const std::string first(1024, 'a');
  const std::string second(500, 'b');
  give(buffer, first);
  give(buffer, second);
  close(buffer);
  std::string received;
  char chunk[256];
  for (ssize_t got; (got = ::read(ends_[0], chunk, sizeof chunk)) > 0;)
    received.append(chunk, static_cast<size_t>(got));
  EXPECT_EQ(received, first + second) << "then the end of the stream";
  waitUntilFreed();
}

}  // namespace
