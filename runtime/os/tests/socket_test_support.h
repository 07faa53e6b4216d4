// Helpers of the socket tests: a descriptor table made the runtime's, bounded
// waits for events and pending entries, and a connected loopback pair.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/waitable.h"
#include "runtime/os/pending_events.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/sockets.h"
#include "runtime/os/tests/host_table_fixture.h"

namespace socket_test {

inline constexpr uint32_t kLoopback = 0x7F000001;
inline constexpr auto kPatience = std::chrono::seconds(5);

// Polls until `ready` holds or kPatience passes; returns whether it held.
inline bool eventually(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool signalled(uint32_t event) {
  const platform::Handle handles[] = {event};
  return platform::waitForAny(handles, 0) == 0;
}

inline bool finished(int32_t index) {
  std::lock_guard hold(lisp::os::events_mutex);
  return (lisp::os::events[index].flags & lisp::os::kPendingFinished) != 0;
}

inline int32_t pendingResult(int32_t index) {
  std::lock_guard hold(lisp::os::events_mutex);
  return lisp::os::events[index].result;
}

class SocketTest : public os_test::HostTableTest {
 protected:
  // Readiness of a descriptor for reading (or writing), within kPatience.
  bool readable(int32_t descriptor) {
    return eventually([&] { return win_no_hang(descriptor, nullptr, 0) == 1; });
  }

  // A listener on an ephemeral loopback port.
  int32_t listenOnLoopback() {
    const int32_t listener = ipc_inet_socket_passive2(kLoopback, nullptr, 0, 5, 0, 0);
    EXPECT_GE(listener, 0);
    return listener;
  }

  // Connects to the port, waiting for a pending connect to finish; the
  // descriptor or the negated error.
  int32_t connectTo(int32_t port) {
    const int32_t made =
        ipc_inet_socket_connect4(0, nullptr, 0, kLoopback, nullptr, port, 0, 0, 0, 0);
    if (made < lisp::os::kPendingResultBase) return made;
    const int32_t index = made - lisp::os::kPendingResultBase;
    EXPECT_TRUE(eventually([&] { return finished(index); }));
    return ipc_reap_event(index);
  }

  // A connected pair: client and the server's accepted end.
  void connectPair(int32_t* client, int32_t* server) {
    const int32_t listener = listenOnLoopback();
    *client = connectTo(ipc_get_socket_port2(listener, 0));
    ASSERT_GE(*client, 0);
    ASSERT_TRUE(readable(listener));
    *server = ipc_accept_connection(listener);
    ASSERT_GE(*server, 0);
    ipc_closesocket(listener);
  }
};

}  // namespace socket_test
