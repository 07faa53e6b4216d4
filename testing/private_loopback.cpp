#include "testing/private_loopback.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testing_support {
namespace {

constexpr int kReceiveQueueBytes = 64 << 20;

std::string bringLoopbackUp() {
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string failure;
  if (ioctl(probe, SIOCGIFFLAGS, &request) != 0) {
    failure = std::string("reading the loopback flags: ") + std::strerror(errno);
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(probe, SIOCSIFFLAGS, &request) != 0)
      failure = std::string("bringing the loopback up: ") + std::strerror(errno);
  }
  close(probe);
  return failure;
}

std::string enterOnce() {
  // A root process needs only the network namespace; others try a user
  // namespace of their own as well (allowed only while single-threaded).
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
    return std::string("no private network namespace: ") + std::strerror(errno);
  return bringLoopbackUp();
}

}  // namespace

std::string enterPrivateLoopback() {
  static const std::string result = enterOnce();
  return result;
}

int bindLoopbackDatagramSocket(std::uint16_t port) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int bytes = kReceiveQueueBytes;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(s);
    return -1;
  }
  return s;
}

}  // namespace testing_support
