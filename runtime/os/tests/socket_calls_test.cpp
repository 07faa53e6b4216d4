#include "runtime/os/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/threads.h"
#include "runtime/os/socket_watchers.h"
#include "runtime/os/tests/socket_test_support.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::os::SocketWatchBlock;
using socket_test::eventually;
using socket_test::kLoopback;
using socket_test::SocketTest;
using testing_support::Watchdog;

constexpr int32_t kRefused = -10061;
constexpr int32_t kNotSocket = -10038;

int32_t countBlocks() {
  int32_t count = 0;
  for (SocketWatchBlock* block = lisp::os::socketWatchBlocks(); block; block = block->next) ++count;
  return count;
}

int32_t freeSlots() {
  int32_t count = 0;
  for (SocketWatchBlock* block = lisp::os::socketWatchBlocks(); block; block = block->next)
    for (int32_t slot = 1; slot <= lisp::os::kWatchSlots; ++slot)
      count += block->sockets[slot] == lisp::os::kFreeWatchSlot;
  return count;
}

bool watched(int32_t socket) {
  for (SocketWatchBlock* block = lisp::os::socketWatchBlocks(); block; block = block->next)
    for (int32_t slot = 1; slot <= lisp::os::kWatchSlots; ++slot)
      if (block->sockets[slot] == socket) return true;
  return false;
}

// A loopback port nobody listens on.
int32_t closedPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(kLoopback);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

int32_t datagramSocket() {
  return ipc_inet_dgram_socket4(kLoopback, nullptr, 0, 0, 0);
}

int option(int32_t descriptor, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(ipc_os_fd(descriptor), level, name, &value, &length);
  return value;
}

// ---- connecting, accepting and talking ----

TEST_F(SocketTest, LoopbackClientAndServerExchangeBytes) {
  Watchdog guard("loopback exchange", 10s);
  const int32_t listener = listenOnLoopback();
  const int32_t port = ipc_get_socket_port2(listener, 0);
  ASSERT_GT(port, 0);

  const int32_t made =
      ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr, port, 0, 0, 0, 0);
  int32_t client = made;
  if (made >= lisp::os::kPendingResultBase) {
    const int32_t index = made - lisp::os::kPendingResultBase;
    ASSERT_LT(index, lisp::os::kPendingEventCount);
    const int32_t socket = lisp::os::events[index].socket;
    ASSERT_TRUE(eventually([&] { return socket_test::finished(index); }));
    EXPECT_EQ(socket_test::pendingResult(index), 0);
    client = ipc_reap_event(index);
    EXPECT_EQ(ipc_os_fd(client), socket);
  }
  ASSERT_GE(client, 4);
  EXPECT_EQ(pseudofd_kind(client), host::kKindSocket);

  ASSERT_TRUE(readable(listener));
  const int32_t server = ipc_accept_connection(listener);
  ASSERT_GE(server, 4);
  EXPECT_EQ(option(server, IPPROTO_TCP, TCP_NODELAY), 1);

  int32_t error = 0;
  ASSERT_EQ(win_write(client, "hello", 5, &error), 5);
  ASSERT_TRUE(readable(server));
  char got[16] = {};
  ASSERT_EQ(win_read(server, got, sizeof got, &error), 5);
  EXPECT_EQ(std::string(got, 5), "hello");

  ASSERT_EQ(win_write(server, "back", 4, &error), 4);
  ASSERT_TRUE(readable(client));
  ASSERT_EQ(win_read(client, got, sizeof got, &error), 4);
  EXPECT_EQ(std::string(got, 4), "back");

  EXPECT_EQ(ipc_get_socket_peer_ipaddr2(server, nullptr), kLoopback);
  EXPECT_EQ(ipc_get_socket_ipaddr2(client, nullptr), kLoopback);
  EXPECT_EQ(ipc_get_socket_peer_port2(client, 0), port);
  EXPECT_EQ(ipc_get_socket_peer_port2(server, 0), ipc_get_socket_port2(client, 0));

  // A second read finds nothing: would block, the event cleared until more comes.
  EXPECT_EQ(win_read(client, got, sizeof got, &error), -1);
  EXPECT_EQ(error, 10035);
  EXPECT_EQ(ipc_data_available(client), 0);

  // The peer closing shows as readiness, and the read as end of file.
  const int clientSocket = ipc_os_fd(client);
  EXPECT_EQ(ipc_closesocket(client), 0);
  EXPECT_FALSE(watched(clientSocket));
  ASSERT_TRUE(readable(server));
  EXPECT_EQ(win_read(server, got, sizeof got, &error), 0);

  for (int32_t descriptor : {server, listener}) EXPECT_EQ(ipc_closesocket(descriptor), 0);
  for (int32_t descriptor : {client, server, listener})
    EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
}

TEST_F(SocketTest, ConnectBindsTheLocalEndWhenAsked) {
  Watchdog guard("local end", 10s);
  const int32_t listener = listenOnLoopback();
  const int32_t localPort = closedPort();
  const int32_t made = ipc_inet_socket_connect4(kLoopback, nullptr, localPort, kLoopback, nullptr,
                                                ipc_get_socket_port2(listener, 0), 0, 1, 0, 0);
  int32_t client = made;
  if (made >= lisp::os::kPendingResultBase) {
    const int32_t index = made - lisp::os::kPendingResultBase;
    ASSERT_TRUE(eventually([&] { return socket_test::finished(index); }));
    client = ipc_reap_event(index);
  }
  ASSERT_GE(client, 0);
  EXPECT_EQ(ipc_get_socket_port2(client, 0), localPort);
  EXPECT_EQ(option(client, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(option(client, IPPROTO_TCP, TCP_NODELAY), 1);

  // The same local end again cannot be had; nothing of the attempt remains.
  const int32_t again = ipc_inet_socket_connect4(kLoopback, nullptr, localPort, kLoopback,
                                                 nullptr, ipc_get_socket_port2(listener, 0), 0,
                                                 0, 0, 0);
  EXPECT_EQ(again, -10048);
  EXPECT_EQ(entry(client + 1).kind, host::kKindFree);
  ipc_closesocket(client);
  ipc_closesocket(listener);
}

TEST_F(SocketTest, Ipv6StreamsConnectOverTheLoopback) {
  Watchdog guard("IPv6 streams", 10s);
  uint8_t loopback6[16] = {};
  loopback6[15] = 1;
  const int32_t listener = ipc_inet_socket_passive2(0, loopback6, 0, 5, 0, 0);
  if (listener < 0) GTEST_SKIP() << "no IPv6 loopback";
  const int32_t made = ipc_inet_socket_connect4(0, nullptr, 0, 0, loopback6,
                                                ipc_get_socket_port2(listener, 1), 0, 0, 0, 0);
  int32_t client = made;
  if (made >= lisp::os::kPendingResultBase) {
    const int32_t index = made - lisp::os::kPendingResultBase;
    ASSERT_TRUE(eventually([&] { return socket_test::finished(index); }));
    client = ipc_reap_event(index);
  }
  ASSERT_GE(client, 0);
  ASSERT_TRUE(readable(listener));
  const int32_t server = ipc_accept_connection(listener);
  ASSERT_GE(server, 0);
  uint8_t peer[16] = {};
  EXPECT_EQ(ipc_get_socket_peer_ipaddr2(server, peer), 0u);
  EXPECT_EQ(std::memcmp(peer, loopback6, 16), 0);
  EXPECT_EQ(ipc_get_socket_peer_port2(client, 1), ipc_get_socket_port2(listener, 1));
  for (int32_t descriptor : {client, server, listener}) ipc_closesocket(descriptor);
}

TEST_F(SocketTest, RefusedConnectLeavesNoTraceForTheNextSocketOfThatNumber) {
  Watchdog guard("refused connect", 10s);
  const int32_t made =
      ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr, closedPort(), 0, 0, 0, 0);
  if (made < lisp::os::kPendingResultBase) {
    EXPECT_EQ(made, kRefused);
  } else {
    const int32_t index = made - lisp::os::kPendingResultBase;
    const int32_t socket = lisp::os::events[index].socket;
    ASSERT_TRUE(eventually([&] { return socket_test::finished(index); }));
    EXPECT_EQ(ipc_reap_event(index), kRefused);
    EXPECT_FALSE(watched(socket));
    EXPECT_EQ(fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket), -1);

    // The next socket likely takes the same number; it is its own in
    // every respect, and reaping the old entry again leaves it alone.
    const int32_t next = datagramSocket();
    ASSERT_GE(next, 0);
    const int32_t nextSocket = ipc_os_fd(next);
    EXPECT_EQ(fd_to_pseudofd(static_cast<uint32_t>(nextSocket), host::kKindSocket), next);
    EXPECT_EQ(ipc_reap_event(index), kRefused);
    EXPECT_EQ(ipc_os_fd(next), nextSocket);
    EXPECT_GE(::fcntl(nextSocket, F_GETFD), 0);

    const int32_t sender = datagramSocket();
    ASSERT_EQ(ipc_inet_send_to2(sender, kLoopback, nullptr, 0, ipc_get_socket_port2(next, 0),
                                "x", 1),
              1);
    EXPECT_TRUE(readable(next));
    ipc_closesocket(sender);
    ipc_closesocket(next);
  }
  for (int32_t descriptor = host::kFirstAllocatedDescriptor; descriptor < 4095; ++descriptor)
    ASSERT_EQ(entry(descriptor).kind, host::kKindFree) << descriptor;
}

TEST_F(SocketTest, EndingAPendingConnectReleasesItsSocket) {
  Watchdog guard("ended connect", 10s);
  const int32_t made =
      ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr, closedPort(), 0, 0, 0, 0);
  if (made < lisp::os::kPendingResultBase) GTEST_SKIP() << "refused at once";
  const int32_t index = made - lisp::os::kPendingResultBase;
  const int32_t socket = lisp::os::events[index].socket;
  const int32_t descriptor = fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket);
  ASSERT_GE(descriptor, 0);
  EXPECT_EQ(ipc_end_pending_connect(index), 0);
  EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
  EXPECT_FALSE(watched(socket));
  EXPECT_EQ(lisp::os::events[index].flags, 0u);
  // Nothing is left to end a second time.
  EXPECT_EQ(ipc_end_pending_connect(index), -10009);
}

TEST_F(SocketTest, ClosingAConnectingSocketKeepsItsEntryFromLaterSockets) {
  Watchdog guard("closed while connecting", 10s);
  const int32_t listener = listenOnLoopback();
  const int32_t made = ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr,
                                                ipc_get_socket_port2(listener, 0), 0, 0, 0, 0);
  if (made < lisp::os::kPendingResultBase) GTEST_SKIP() << "connected at once";
  const int32_t index = made - lisp::os::kPendingResultBase;
  const int32_t socket = lisp::os::events[index].socket;
  ipc_closesocket(fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket));
  const bool finishedBefore = socket_test::finished(index);
  EXPECT_EQ(lisp::os::events[index].flags & lisp::os::kPendingInProgress, 0u);

  // A later socket of that number becoming writable finishes nothing.
  const int32_t next = datagramSocket();
  const uint32_t* nextEvents = fd_socket_events(static_cast<uint32_t>(ipc_os_fd(next)));
  ASSERT_NE(nextEvents, nullptr);
  EXPECT_TRUE(eventually([&] { return socket_test::signalled(nextEvents[0]); }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(socket_test::finished(index), finishedBefore);
  ipc_closesocket(next);
  ipc_closesocket(listener);
}

// A refused connect whose socket is closed before its entry is reaped or
// ended: the next socket likely takes the same number, and neither the reap
// nor the end of the old entry may touch it.
TEST_F(SocketTest, AClosedSocketsPendingConnectReachesNoLaterSocket) {
  const struct {
    const char* what;
    int32_t (*call)(int32_t index);
    int32_t expected;
  } cases[] = {
      {"reap", ipc_reap_event, kRefused},
      {"end", ipc_end_pending_connect, -10009},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Watchdog guard("connect of a closed socket", 10s);
    const int32_t made =
        ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr, closedPort(), 0, 0, 0, 0);
    if (made < lisp::os::kPendingResultBase) GTEST_SKIP() << "refused at once";
    const int32_t index = made - lisp::os::kPendingResultBase;
    const int32_t socket = lisp::os::events[index].socket;
    ASSERT_TRUE(eventually([&] { return socket_test::finished(index); }));
    ipc_closesocket(fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket));

    const int32_t next = datagramSocket();
    ASSERT_GE(next, 0);
    const int32_t nextSocket = ipc_os_fd(next);
    EXPECT_EQ(c.call(index), c.expected);
    EXPECT_EQ(entry(next).kind, host::kKindSocket);
    EXPECT_EQ(ipc_os_fd(next), nextSocket);
    EXPECT_GE(::fcntl(nextSocket, F_GETFD), 0) << "the later socket is open";
    EXPECT_EQ(fd_to_pseudofd(static_cast<uint32_t>(nextSocket), host::kKindSocket), next);
    ipc_closesocket(next);
  }
}

TEST_F(SocketTest, BadPendingIndicesAndDescriptorsAreRefused) {
  for (int32_t index : {-1, lisp::os::kPendingEventCount}) {
    EXPECT_EQ(ipc_reap_event(index), -10022);
    EXPECT_EQ(ipc_end_pending_connect(index), -10022);
    cancel_event(index);
  }
  const int32_t notSocket = host::kNullDeviceDescriptor;
  EXPECT_EQ(ipc_os_fd(notSocket), -1);
  EXPECT_EQ(ipc_set_socket_flags(notSocket, 1, 0), kNotSocket);
  EXPECT_EQ(ipc_sockshutdown(notSocket, 2), kNotSocket);
  EXPECT_EQ(ipc_accept_connection(notSocket), kNotSocket);
  EXPECT_EQ(ipc_inet_send_to2(notSocket, kLoopback, nullptr, 0, 9, "x", 1), -1);
  EXPECT_EQ(ipc_write_sequence_oob(notSocket, "x", 0, 1, 1), -1);
  EXPECT_EQ(ipc_get_socket_port2(notSocket, 0), 0);
  EXPECT_EQ(ipc_get_socket_ipaddr2(-5, nullptr), 0u);
  EXPECT_EQ(ipc_cancel_block(), -1);
  EXPECT_EQ(ipc_get_last_error(), 10022);
}

// ---- the watchers ----

TEST_F(SocketTest, TheSixtyThirdWatchedSocketStartsAnotherWatcher) {
  Watchdog guard("second watcher", 20s);
  std::vector<int32_t> sockets;
  // Fill what is free (at least one whole block's worth), then one more.
  if (freeSlots() == 0) sockets.push_back(datagramSocket());
  while (freeSlots() > 0) sockets.push_back(datagramSocket());
  const int32_t blocks = countBlocks();
  ASSERT_GE(sockets.size(), 1u);
  sockets.push_back(datagramSocket());
  ASSERT_GE(sockets.back(), 0);
  EXPECT_EQ(countBlocks(), blocks + 1);
  EXPECT_EQ(freeSlots(), lisp::os::kWatchSlots - 1);

  // The newest block's thread serves its socket.
  SocketWatchBlock* newest = lisp::os::socketWatchBlocks();
  uint32_t exitCode = 0;
  ASSERT_TRUE(platform::exitCodeOf(lisp::os::watcherThreadOf(newest), &exitCode));
  EXPECT_EQ(exitCode, platform::kStillActive);
  const int32_t sender = sockets.front();
  ASSERT_EQ(ipc_inet_send_to2(sender, kLoopback, nullptr, 0,
                              ipc_get_socket_port2(sockets.back(), 0), "x", 1),
            1);
  EXPECT_TRUE(readable(sockets.back()));

  for (int32_t descriptor : sockets) EXPECT_EQ(ipc_closesocket(descriptor), 0);
}

TEST_F(SocketTest, SocketsLeftReadyCostTheWatchersNoProcessorTime) {
  Watchdog guard("quiet watchers", 20s);
  std::vector<int32_t> receivers;
  const int32_t sender = datagramSocket();
  for (int i = 0; i < 10; ++i) {
    receivers.push_back(datagramSocket());
    ASSERT_EQ(ipc_inet_send_to2(sender, kLoopback, nullptr, 0,
                                ipc_get_socket_port2(receivers.back(), 0), "data", 4),
              4);
  }
  // A stream whose peer has gone, also left unread.
  int32_t client, server;
  connectPair(&client, &server);
  int32_t error;
  ASSERT_EQ(win_write(client, "bye", 3, &error), 3);
  ipc_closesocket(client);
  for (int32_t descriptor : receivers) ASSERT_TRUE(readable(descriptor));
  ASSERT_TRUE(readable(server));
  std::this_thread::sleep_for(50ms);

  auto watcherTime = [] {
    uint64_t microseconds = 0;
    for (SocketWatchBlock* block = lisp::os::socketWatchBlocks(); block; block = block->next) {
      platform::ThreadTimes times{};
      platform::threadTimes(lisp::os::watcherThreadOf(block), &times);
      microseconds += times.kernelMicroseconds + times.userMicroseconds;
    }
    return microseconds;
  };
  // A spinning watcher would use most of the second; a quiet one next to
  // nothing. The bound leaves room for a machine busy with other work.
  const uint64_t before = watcherTime();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(watcherTime() - before, 150'000u);

  // Still served: reading re-arms, and new data is reported again. (Right
  // after the read the readiness may still show the watcher's last report,
  // which a busy machine can deliver late, so it is not looked at here.)
  char got[8];
  ASSERT_EQ(ipc_inet_receive_from2(receivers[0], got, sizeof got, 0, nullptr), 4);
  ASSERT_EQ(ipc_inet_send_to2(sender, kLoopback, nullptr, 0,
                              ipc_get_socket_port2(receivers[0], 0), "more", 4),
            4);
  EXPECT_TRUE(readable(receivers[0]));

  for (int32_t descriptor : receivers) ipc_closesocket(descriptor);
  ipc_closesocket(sender);
  ipc_closesocket(server);
}

// ---- out-of-band data ----

TEST_F(SocketTest, OutOfBandRangesAreScaledByTheElementSize) {
  Watchdog guard("out-of-band", 10s);
  int32_t client, server;
  connectPair(&client, &server);
  EXPECT_EQ(ipc_listen_oob(server), 0);

  char sent[24];
  for (int i = 0; i < 24; ++i) sent[i] = static_cast<char>('a' + i);
  // Elements 2 to 5 of four bytes: bytes 8 to 19; the last goes urgent.
  ASSERT_EQ(ipc_write_sequence_oob(client, sent, 2, 5, 4), 12);
  EXPECT_EQ(ipc_write_sequence_oob(client, sent, 5, 5, 4), 0);
  ASSERT_TRUE(eventually([&] { return ipc_listen_oob(server) == 1; }));

  char got[24];
  std::memset(got, '.', sizeof got);
  ASSERT_EQ(ipc_read_sequence_oob(server, got, 2, 5, 4), 1);
  EXPECT_EQ(got[8], sent[19]);
  EXPECT_EQ(std::string(got, 8), "........");
  EXPECT_EQ(std::string(got + 9, 15), std::string(15, '.'));
  EXPECT_EQ(ipc_listen_oob(server), 0);
  // Nothing urgent left: a would-block, which reads as 0.
  EXPECT_EQ(ipc_read_sequence_oob(server, got, 0, 1, 1), 0);

  int32_t error;
  char inBand[16];
  ASSERT_EQ(win_read(server, inBand, sizeof inBand, &error), 11);
  EXPECT_EQ(std::string(inBand, 11), std::string(sent + 8, 11));
  ipc_closesocket(client);
  ipc_closesocket(server);
}

// ---- options ----

struct FlagCase {
  int32_t set;
  int32_t clear;
  int level;
  int name;
  int expected;
};

TEST_F(SocketTest, FlagsSetThenClearOptions) {
  const int32_t socket = ipc_inet_socket_passive2(kLoopback, nullptr, 0, -1, 0, 0);
  ASSERT_GE(socket, 0);
  const FlagCase cases[] = {
      {9, 0, SOL_SOCKET, SO_REUSEADDR, 1}, {9, 0, IPPROTO_TCP, TCP_NODELAY, 1},
      {0, 8, IPPROTO_TCP, TCP_NODELAY, 0}, {0, 8, SOL_SOCKET, SO_REUSEADDR, 1},
      {4, 0, SOL_SOCKET, SO_KEEPALIVE, 1}, {16, 0, SOL_SOCKET, SO_OOBINLINE, 1},
      {0, 20, SOL_SOCKET, SO_KEEPALIVE, 0}, {0, 20, SOL_SOCKET, SO_OOBINLINE, 0},
      {1, 1, SOL_SOCKET, SO_REUSEADDR, 0},  // the clear mask comes last
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.set << "/" << c.clear << " option " << c.name);
    ASSERT_EQ(ipc_set_socket_flags(socket, c.set, c.clear), 0);
    EXPECT_EQ(option(socket, c.level, c.name), c.expected);
  }
  ipc_closesocket(socket);

  // No-delay on a datagram socket fails, and so does the making of one with it.
  const int32_t datagrams = datagramSocket();
  EXPECT_EQ(ipc_set_socket_flags(datagrams, 2, 0), 0);
  EXPECT_EQ(option(datagrams, SOL_SOCKET, SO_BROADCAST), 1);
  const int32_t failed = ipc_set_socket_flags(datagrams, 8, 0);
  EXPECT_LT(failed, -10000);
  EXPECT_EQ(ipc_get_last_error(), -failed);
  ipc_closesocket(datagrams);
  EXPECT_LT(ipc_inet_dgram_socket4(kLoopback, nullptr, 0, 8, 0), 0);
  for (int32_t descriptor = host::kFirstAllocatedDescriptor; descriptor < 20; ++descriptor)
    EXPECT_EQ(entry(descriptor).kind, host::kKindFree);
}

TEST_F(SocketTest, BufferSizesAreSetByWhich) {
  const int32_t socket = datagramSocket();
  const int before = option(socket, SOL_SOCKET, SO_RCVBUF);
  EXPECT_EQ(ipc_set_socket_option_value(socket, 3, 99), 0);
  EXPECT_EQ(option(socket, SOL_SOCKET, SO_RCVBUF), before);
  EXPECT_EQ(ipc_set_socket_option_value(socket, 2, 65536), 0);
  EXPECT_GE(option(socket, SOL_SOCKET, SO_RCVBUF), 65536);
  EXPECT_EQ(ipc_set_socket_option_value(socket, 1, 32768), 0);
  EXPECT_GE(option(socket, SOL_SOCKET, SO_SNDBUF), 32768);
  ipc_closesocket(socket);
}

TEST_F(SocketTest, ServicesAreLookedUpByName) {
  EXPECT_EQ(ipc_locate_port("http", "tcp"), 80);
  EXPECT_EQ(ipc_locate_port("no-such-service", "tcp"), 0);
  EXPECT_EQ(ipc_locate_port(nullptr, "tcp"), 0);
}

// ---- datagrams ----

TEST_F(SocketTest, DatagramSenderIsPortThenAddressInNetworkOrder) {
  Watchdog guard("datagrams", 10s);
  const int32_t a = datagramSocket();
  const int32_t b = datagramSocket();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(ipc_inet_send_to2(a, kLoopback, nullptr, 0, ipc_get_socket_port2(b, 0), "ping", 4), 4);
  ASSERT_TRUE(readable(b));
  char got[16];
  uint8_t sender[6] = {};
  ASSERT_EQ(ipc_inet_receive_from2(b, got, sizeof got, 0, sender), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  const uint16_t port = htons(static_cast<uint16_t>(ipc_get_socket_port2(a, 0)));
  EXPECT_EQ(std::memcmp(sender, &port, 2), 0);
  const uint8_t loopback[] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(sender + 2, loopback, 4), 0);
  // Nothing more: would block.
  EXPECT_EQ(ipc_inet_receive_from2(b, got, sizeof got, 0, sender), -10035);
  ipc_closesocket(a);
  ipc_closesocket(b);
}

TEST_F(SocketTest, Ipv6DatagramSenderHasItsScopeLast) {
  Watchdog guard("IPv6 datagrams", 10s);
  uint8_t loopback6[16] = {};
  loopback6[15] = 1;
  const int32_t a = ipc_inet_dgram_socket4(0, loopback6, 0, 0, 0);
  if (a < 0) GTEST_SKIP() << "no IPv6 loopback";
  const int32_t b = ipc_inet_dgram_socket4(0, loopback6, 0, 0, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(ipc_inet_send_to2(a, 0, loopback6, 0, ipc_get_socket_port2(b, 1), "six", 3), 3);
  ASSERT_TRUE(readable(b));
  char got[8];
  uint8_t sender[22];
  std::memset(sender, 0xEE, sizeof sender);
  ASSERT_EQ(ipc_inet_receive_from2(b, got, sizeof got, 1, sender), 3);
  const uint16_t port = htons(static_cast<uint16_t>(ipc_get_socket_port2(a, 1)));
  EXPECT_EQ(std::memcmp(sender, &port, 2), 0);
  EXPECT_EQ(std::memcmp(sender + 2, loopback6, 16), 0);
  const uint8_t noScope[4] = {};
  EXPECT_EQ(std::memcmp(sender + 18, noScope, 4), 0);

  uint8_t local[16] = {};
  EXPECT_EQ(ipc_get_socket_ipaddr2(a, local), 0u);
  EXPECT_EQ(std::memcmp(local, loopback6, 16), 0);
  EXPECT_EQ(ipc_get_socket_ipaddr2(a, nullptr), 0u);  // not an IPv4 socket
  ipc_closesocket(a);
  ipc_closesocket(b);
}

}  // namespace
