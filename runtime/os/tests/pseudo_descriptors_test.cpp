#include "runtime/os/pseudo_descriptors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/waitable.h"
#include "runtime/os/child_pipe_buffer.h"
#include "runtime/os/tests/host_table_fixture.h"
#include "testing/temp_path.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::os::ChildPipeBuffer;
using testing_support::Watchdog;

constexpr int32_t kUntouched = -77;

bool signalled(uint32_t event) {
  const platform::Handle handles[] = {event};
  return platform::waitForAny(handles, 0) == 0;
}

// ---- the table ----

using DescriptorTable = os_test::HostTableTest;

TEST_F(DescriptorTable, AllocationTakesFourTo4094AndThenRefuses) {
  std::vector<int32_t> taken;
  for (int32_t i = 0; i < 4091; ++i) taken.push_back(allocate_pseudofd(100 + i, 1));
  EXPECT_EQ(taken.front(), 4);
  EXPECT_EQ(taken.back(), 4094);
  for (int32_t descriptor : taken) ASSERT_TRUE(descriptor >= 4 && descriptor <= 4094);
  EXPECT_EQ(allocate_pseudofd(1, 1), -1);
  EXPECT_EQ(entry(4095).kind, host::kKindFree);

  // A freed entry is found again, flags cleared.
  entry(700).kind = host::kKindFree;
  entry(700).flags = host::kFlagPipeEnded;
  EXPECT_EQ(allocate_pseudofd(9, 5), 700);
  EXPECT_EQ(entry(700).flags, 0);
}

TEST_F(DescriptorTable, LookupsTreatTheDescriptorAsUnsignedAndCheckTheKind) {
  const int32_t descriptor = allocate_pseudofd(42, 6);
  ASSERT_EQ(descriptor, 4);
  EXPECT_EQ(pseudofd_to_fd(static_cast<uint32_t>(-1), 0), -1);
  EXPECT_EQ(pseudofd_to_fd(4096, 0), -1);
  EXPECT_EQ(pseudofd_to_fd(4, 0), 42);
  EXPECT_EQ(pseudofd_to_fd(4, 6), 42);
  EXPECT_EQ(pseudofd_to_fd(4, 1), -1);
  EXPECT_EQ(pseudofd_kind(4), 6);
  EXPECT_EQ(pseudofd_kind(3), host::kKindNullDevice);
  EXPECT_EQ(pseudofd_kind(static_cast<uint32_t>(-1)), -1);
  EXPECT_EQ(fd_to_pseudofd(42, 6), 4);
  EXPECT_EQ(fd_to_pseudofd(42, 1), -1);
  EXPECT_EQ(fd_to_pseudofd(0, host::kKindConsole), -1) << "entries 0 to 3 are not searched";
}

TEST_F(DescriptorTable, ASocketGetsThreeUnsignalledEventsFoundByItsHandle) {
  EXPECT_EQ(fd_socket_events(77), nullptr);
  const int32_t descriptor = allocate_pseudofd(77, host::kKindSocket);
  uint32_t* events = fd_socket_events(77);
  ASSERT_EQ(events, entry(descriptor).words);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(events[i], 0u);
    EXPECT_FALSE(signalled(events[i]));
  }
  for (int i = 0; i < 3; ++i) platform::closeHandle(events[i]);
}

TEST(DescriptorTableAbsent, WithoutAHostRecordNothingIsAllocatedOrServed) {
  int32_t error = kUntouched;
  char byte;
  EXPECT_EQ(allocate_pseudofd(1, 1), -1);
  EXPECT_EQ(pseudofd_to_fd(4, 0), -1);
  EXPECT_EQ(win_read(4, &byte, 1, &error), -1);
  EXPECT_EQ(error, 9);
}

// ---- kinds 1, 4, 6 and the free kinds ----

using RuntimeDescriptors = os_test::HostTableTest;

TEST_F(RuntimeDescriptors, ReadWriteAndCloseARealFile) {
  const std::string path = testing_support::processTempPath("kind1");
  const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  const int32_t descriptor = allocate_pseudofd(static_cast<uint32_t>(file), 1);
  int32_t error = kUntouched;
  EXPECT_EQ(win_write(descriptor, "hello", 5, &error), 5);
  EXPECT_EQ(error, 0);
  ASSERT_EQ(::lseek(file, 0, SEEK_SET), 0);
  char buffer[16] = {};
  EXPECT_EQ(win_read(descriptor, buffer, sizeof buffer, &error), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(win_read(descriptor, buffer, sizeof buffer, &error), 0) << "end of file";
  EXPECT_EQ(win_no_hang(descriptor, &error, 0), 1);
  EXPECT_EQ(win_close(descriptor, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
  EXPECT_EQ(::fcntl(file, F_GETFD), -1) << "the descriptor itself is closed";
  ::unlink(path.c_str());
}

TEST_F(RuntimeDescriptors, AClosedDescriptorGivesError9AndTheEntryIsFreedAnyway) {
  const int file = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(file, 0);
  const int32_t descriptor = allocate_pseudofd(static_cast<uint32_t>(file), 1);
  ::close(file);
  int32_t error = kUntouched;
  char byte;
  EXPECT_EQ(win_read(descriptor, &byte, 1, &error), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(win_write(descriptor, "x", 1, &error), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(win_close(descriptor, &error), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
  // Now the entry is free: every operation is refused with 9.
  EXPECT_EQ(win_read(descriptor, &byte, 1, &error), -1);
  EXPECT_EQ(error, 9);
}

TEST_F(RuntimeDescriptors, ANegativeLengthIsRefusedWithoutTouchingTheBuffer) {
  const int32_t descriptor = allocate_pseudofd(0, 1);
  int32_t error = kUntouched;
  char byte = 'q';
  EXPECT_EQ(win_read(descriptor, &byte, -1, &error), -1);
  EXPECT_EQ(error, 22);
  EXPECT_EQ(win_write(host::kNullDeviceDescriptor, &byte, -5, &error), -1);
  EXPECT_EQ(error, 22);
  EXPECT_EQ(byte, 'q');
}

TEST_F(RuntimeDescriptors, NullDeviceAndOutOfRangeDescriptors) {
  int32_t error = kUntouched;
  char buffer[4];
  EXPECT_EQ(win_read(3, buffer, 4, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(win_write(3, "abcd", 4, &error), 4);
  EXPECT_EQ(win_no_hang(~3, &error, 0), 1) << "the complement asks about writing";
  EXPECT_EQ(win_no_hang(3, &error, 0), 1);
  // 5000 and -20000 both land on entry 4095, which is free.
  EXPECT_EQ(win_read(5000, buffer, 4, &error), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(win_no_hang(~5000, &error, 0), -1);
  EXPECT_EQ(error, 9);
  EXPECT_EQ(win_close(-20000, &error), 0);
  // Console entries are the launcher's: here they are refused.
  EXPECT_EQ(win_write(1, "x", 1, &error), -1);
  EXPECT_EQ(error, 9);
}

TEST_F(RuntimeDescriptors, AFileHandleClosesWithSystemErrorCodes) {
  const int file = ::open("/dev/null", O_RDONLY);
  const int32_t descriptor = allocate_pseudofd(static_cast<uint32_t>(file), 6);
  int32_t error = kUntouched;
  char byte;
  EXPECT_EQ(win_read(descriptor, &byte, 1, &error), -1) << "not served as a stream";
  EXPECT_EQ(error, 9);
  EXPECT_EQ(win_close(descriptor, &error), 0);
  const int32_t again = allocate_pseudofd(static_cast<uint32_t>(file), 6);
  EXPECT_EQ(win_close(again, &error), -1);
  EXPECT_EQ(error, 6) << "a bad handle, as system error codes number it";
  EXPECT_EQ(entry(again).kind, host::kKindFree);
}

// ---- sockets ----

class Sockets : public os_test::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    peer_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(peer_, reinterpret_cast<sockaddr*>(&address), size), 0);
    lisp_ = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(lisp_, 0);
    ::close(listener);
    descriptor_ = allocate_pseudofd(static_cast<uint32_t>(lisp_), host::kKindSocket);
    events_ = entry(descriptor_).words;
  }
  void TearDown() override {
    if (entry(descriptor_).kind == host::kKindSocket) win_close(descriptor_, nullptr);
    ::close(peer_);
    HostTableTest::TearDown();
  }

  int peer_ = -1;
  int lisp_ = -1;
  int32_t descriptor_ = -1;
  uint32_t* events_ = nullptr;
  int32_t error_ = kUntouched;
};

TEST_F(Sockets, AReadThatWouldBlockFailsWith10035OrGivesZeroWhenAsked) {
  char buffer[8];
  platform::setEvent(events_[2]);
  EXPECT_EQ(win_read(descriptor_, buffer, 8, &error_), -1);
  EXPECT_EQ(error_, 10035);
  EXPECT_FALSE(signalled(events_[2])) << "the read-ready event is reset before receiving";

  entry(descriptor_).quietReceive = 1;
  EXPECT_EQ(win_read(descriptor_, buffer, 8, &error_), 0);
  EXPECT_EQ(error_, 0);

  ASSERT_EQ(::send(peer_, "ping", 4, 0), 4);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(win_read(descriptor_, buffer, 8, &error_), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
}

TEST_F(Sockets, AWriteSetsTheWriteReadyEventAgain) {
  EXPECT_EQ(win_no_hang(~descriptor_, &error_, 0), 0) << "no watcher has said it is writable";
  EXPECT_EQ(win_write(descriptor_, "pong", 4, &error_), 4);
  EXPECT_TRUE(signalled(events_[0]));
  EXPECT_EQ(win_no_hang(~descriptor_, &error_, 0), 1);
  char buffer[8];
  EXPECT_EQ(::recv(peer_, buffer, 8, 0), 4);
}

TEST_F(Sockets, ReadinessWatchesReadReadyAndCloseEvents) {
  Watchdog watchdog("socket readiness", 10s);
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 0), 0);
  EXPECT_EQ(error_, 0);
  platform::setEvent(events_[1]);
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 0), 1) << "close-or-exception counts";
  platform::resetEvent(events_[1]);

  // With the wait flag, a watcher signalling read-ready ends the wait.
  std::thread watcher([&] {
    std::this_thread::sleep_for(30ms);
    platform::setEvent(events_[2]);
  });
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 1), 1);
  watcher.join();
}

TEST_F(Sockets, AWritingPeerThatHasGoneIsAnErrorNotASignal) {
  ::close(peer_);
  peer_ = ::socket(AF_INET, SOCK_STREAM, 0);
  std::this_thread::sleep_for(20ms);
  const std::string block(65536, 'x');
  int32_t result = 0;
  for (int i = 0; i < 64 && result >= 0; ++i)
    result = win_write(descriptor_, block.data(), static_cast<int32_t>(block.size()), &error_);
  EXPECT_EQ(result, -1);
  EXPECT_GT(error_, 10000);
  EXPECT_NE(error_, 10035) << "a gone peer, not a full buffer";
}

TEST_F(Sockets, CloseSetsAndClosesTheEventsAndTheSocket) {
  const uint32_t readReady = events_[2];
  platform::Handle kept = platform::duplicateHandle(readReady);
  EXPECT_EQ(win_close(descriptor_, &error_), 0);
  EXPECT_EQ(entry(descriptor_).kind, host::kKindFree);
  EXPECT_TRUE(signalled(kept)) << "waiters on the events are woken";
  EXPECT_EQ(fd_socket_events(static_cast<uint32_t>(lisp_)), nullptr);
  EXPECT_EQ(::fcntl(lisp_, F_GETFD), -1);
  platform::closeHandle(kept);
}

// ---- child pipes ----

class ChildPipes : public os_test::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    liveBefore_ = lisp::os::liveChildPipeBuffers();
    pipe_ = lisp::os::newChildPipeBuffer();
    descriptor_ = allocate_pseudofd(0, host::kKindChildPipe);
    entry(descriptor_).words[0] = reinterpret_cast<uintptr_t>(pipe_);
    pipe_->entry = &entry(descriptor_);
  }
  int32_t live() const { return lisp::os::liveChildPipeBuffers() - liveBefore_; }
  void fill(const char* text) {
    pipe_->readOffset = 0;
    pipe_->endOffset = static_cast<uint32_t>(std::strlen(text));
    std::memcpy(pipe_->data, text, pipe_->endOffset);
    platform::setEvent(pipe_->lispEvent);
  }

  ChildPipeBuffer* pipe_ = nullptr;
  int32_t descriptor_ = -1;
  int32_t liveBefore_ = 0;
  int32_t error_ = kUntouched;
};

TEST_F(ChildPipes, ReadsInTensAndOnlyTheLastWakesThePipeThread) {
  fill("abcdefghijklmnopqrstuvwxy");
  char buffer[10];
  const int32_t expected[] = {10, 10, 5};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(win_read(descriptor_, buffer, 10, &error_), expected[i]);
    EXPECT_EQ(std::string(buffer, 1), std::string(1, static_cast<char>('a' + 10 * i)));
    const bool last = i == 2;
    EXPECT_EQ(signalled(pipe_->threadEvent), last) << "read " << i;
    EXPECT_EQ(signalled(pipe_->lispEvent), !last) << "read " << i;
  }
  EXPECT_EQ(win_close(descriptor_, &error_), 0);
  endChildPipe(pipe_);
  EXPECT_EQ(live(), 0);
}

TEST_F(ChildPipes, AWriteTakesAtMostOneBufferAndABusyBufferWouldBlock) {
  platform::setEvent(pipe_->lispEvent);
  const std::string data(5000, 'w');
  EXPECT_EQ(win_write(descriptor_, data.data(), 5000, &error_), 1024);
  EXPECT_EQ(pipe_->endOffset, 1024u);
  EXPECT_TRUE(signalled(pipe_->threadEvent));
  EXPECT_EQ(win_write(descriptor_, data.data(), 10, &error_), -1);
  EXPECT_EQ(error_, 10035);
  EXPECT_EQ(win_no_hang(~descriptor_, &error_, 0), 0);
  lisp::os::endChildPipe(pipe_);
  EXPECT_EQ(win_write(descriptor_, data.data(), 10, &error_), -1);
  EXPECT_EQ(error_, 5);
  EXPECT_EQ(win_no_hang(~descriptor_, &error_, 0), 1) << "an ended pipe is ready";
  char byte;
  EXPECT_EQ(win_read(descriptor_, &byte, 1, &error_), 0);
  EXPECT_EQ(win_close(descriptor_, &error_), 0);
  EXPECT_EQ(live(), 0);
}

TEST_F(ChildPipes, ThePipeEndingUnderAWaitingReaderFreesTheBufferOnceAfterClose) {
  Watchdog watchdog("pipe ends under a reader", 10s);
  std::thread pipeThread([&] {
    std::this_thread::sleep_for(30ms);
    lisp::os::endChildPipe(pipe_);
  });
  char buffer[10];
  EXPECT_EQ(win_read(descriptor_, buffer, 10, &error_), 0);
  EXPECT_EQ(error_, 0);
  pipeThread.join();
  EXPECT_EQ(live(), 1) << "the entry still holds the buffer";
  EXPECT_EQ(win_close(descriptor_, &error_), 0);
  EXPECT_EQ(entry(descriptor_).words[0], 0u);
  EXPECT_EQ(live(), 0);
}

TEST_F(ChildPipes, CloseDetachesAndWakesThePipeThreadWhichFreesTheBuffer) {
  Watchdog watchdog("close detaches", 10s);
  std::thread pipeThread([pipe = pipe_] {
    const platform::Handle events[] = {pipe->threadEvent};
    platform::waitForAny(events, platform::kWaitForever);
    EXPECT_EQ(pipe->state, lisp::os::kChildPipeDetached);
    EXPECT_EQ(pipe->entry, nullptr);
    lisp::os::endChildPipe(pipe);
  });
  EXPECT_EQ(win_close(descriptor_, &error_), 0);
  EXPECT_EQ(entry(descriptor_).kind, host::kKindFree);
  pipeThread.join();
  EXPECT_EQ(entry(descriptor_).flags & host::kFlagPipeEnded, 0) << "a detached entry is not touched";
  EXPECT_EQ(live(), 0);
}

TEST_F(ChildPipes, AnEntryWithoutABufferGivesError9) {
  entry(descriptor_).words[0] = 0;
  char byte;
  EXPECT_EQ(win_read(descriptor_, &byte, 1, &error_), -1);
  EXPECT_EQ(error_, 9);
  EXPECT_EQ(win_write(descriptor_, "x", 1, &error_), -1);
  EXPECT_EQ(error_, 9);
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 0), -1);
  EXPECT_EQ(win_no_hang(~descriptor_, &error_, 0), -1);
  EXPECT_EQ(error_, 9);
  entry(descriptor_).words[0] = reinterpret_cast<uintptr_t>(pipe_);
  lisp::os::endChildPipe(pipe_);
  win_close(descriptor_, nullptr);
  EXPECT_EQ(live(), 0);
}

TEST_F(ChildPipes, ReadinessWaitsForTheLispSideEventWhenAsked) {
  Watchdog watchdog("pipe readiness", 10s);
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 0), 0);
  std::thread pipeThread([&] {
    std::this_thread::sleep_for(30ms);
    platform::setEvent(pipe_->lispEvent);
  });
  EXPECT_EQ(win_no_hang(descriptor_, &error_, 1), 1);
  pipeThread.join();
  win_close(descriptor_, nullptr);
  lisp::os::endChildPipe(pipe_);
  EXPECT_EQ(live(), 0);
}

// ---- a launcher stand-in ----

// Serves what the launcher passes on: every call goes through host record
// words 4 to 7, bound to the runtime's operations as the launcher binds them.
class LauncherStandIn : public os_test::HostTableTest {
 protected:
  void SetUp() override {
    HostTableTest::SetUp();
    record_.win_read = win_read;
    record_.win_write = win_write;
    record_.win_close = win_close;
    record_.win_no_hang = win_no_hang;
  }
  // Writes `text`, has `refill` move it to where a read finds it, reads it
  // back and closes: what a stream of each kind goes through.
  template <typename Refill>
  void roundTrip(int32_t descriptor, const std::string& text, Refill refill) {
    int32_t error = kUntouched;
    ASSERT_EQ(record_.win_write(descriptor, text.data(), static_cast<int32_t>(text.size()), &error),
              static_cast<int32_t>(text.size()))
        << error;
    refill();
    EXPECT_EQ(record_.win_no_hang(descriptor, &error, 1), 1);
    char buffer[64] = {};
    EXPECT_EQ(record_.win_read(descriptor, buffer, sizeof buffer, &error),
              static_cast<int32_t>(text.size()));
    EXPECT_EQ(std::string(buffer), text);
    EXPECT_EQ(record_.win_close(descriptor, &error), 0);
    EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
  }
};

TEST_F(LauncherStandIn, ServesFilesSocketsAndPipesThroughWordsFourToSeven) {
  Watchdog watchdog("launcher stand-in", 10s);
  const std::string path = testing_support::processTempPath("standin");
  const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  roundTrip(allocate_pseudofd(static_cast<uint32_t>(file), 1), "to a file",
            [&] { ::lseek(file, 0, SEEK_SET); });
  ::unlink(path.c_str());

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const int32_t socket = allocate_pseudofd(static_cast<uint32_t>(pair[0]), host::kKindSocket);
  roundTrip(socket, "to a socket", [&] {
    char echo[64];
    const ssize_t got = ::recv(pair[1], echo, sizeof echo, 0);
    ASSERT_GT(got, 0);
    ::send(pair[1], echo, static_cast<size_t>(got), 0);
    platform::setEvent(entry(socket).words[2]);  // as the socket watcher would
  });
  ::close(pair[1]);

  const int32_t live = lisp::os::liveChildPipeBuffers();
  ChildPipeBuffer* pipe = lisp::os::newChildPipeBuffer();
  const int32_t piped = allocate_pseudofd(0, host::kKindChildPipe);
  entry(piped).words[0] = reinterpret_cast<uintptr_t>(pipe);
  pipe->entry = &entry(piped);
  platform::setEvent(pipe->lispEvent);
  std::thread pipeThread([pipe] {
    // An echoing pipe thread: takes the data and hands it back, then waits
    // to be let go.
    const platform::Handle events[] = {pipe->threadEvent};
    platform::waitForAny(events, platform::kWaitForever);
    platform::setEvent(pipe->lispEvent);
    platform::waitForAny(events, platform::kWaitForever);
    lisp::os::endChildPipe(pipe);
  });
  roundTrip(piped, "to a pipe", [] {});
  pipeThread.join();
  EXPECT_EQ(lisp::os::liveChildPipeBuffers(), live);
}

}  // namespace
