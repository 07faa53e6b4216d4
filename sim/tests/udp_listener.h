// A UDP socket on 127.0.0.1 and a port of its own, for tests that receive
// what the viewer senders send.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

class UdpListener {
 public:
  // The port the ramp programs send their viewer datagrams to. A listener
  // given it as its free port would receive the datagrams of every program
  // run by a test beside it, so it takes another.
  static constexpr std::uint16_t kViewerPort = 40500;

  UdpListener() {
    bindAnyPort();
    if (port_ == kViewerPort) {
      const int viewerSocket = socket_;  // held, so the next bind gets another port
      bindAnyPort();
      close(viewerSocket);
    }
    timeval timeout{1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~UdpListener() { close(socket_); }
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  // Room for many datagrams at once (beyond the system's limit when allowed).
  void enlargeBuffer(int bytes) {
    if (setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
      setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }

  std::uint16_t port() const { return port_; }
  int descriptor() const { return socket_; }

  // The next datagram's bytes, or "<nothing>" after a second without one;
  // the sender's port goes to *fromPort when given.
  std::string receive(std::uint16_t* fromPort = nullptr) {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return "<nothing>";
    if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  void bindAnyPort() {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }

  int socket_ = -1;
  std::uint16_t port_ = 0;
};
