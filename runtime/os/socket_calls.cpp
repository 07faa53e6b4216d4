// The socket calls of Lisp code; see sockets.h.

#include "runtime/os/sockets.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/error_numbers.h"
#include "platform/waitable.h"
#include "runtime/os/interface_list.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/pending_events.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/socket_watchers.h"
#include "runtime/rs/exports.h"

namespace lisp::os {
namespace {

// Socket errors of the calls' own.
constexpr int32_t kSocketInterrupted = 10004;
constexpr int32_t kSocketInvalidArgument = 10022;
// Decision: a full descriptor table closes the new socket and reports "too
// many open sockets".
constexpr int32_t kSocketTooMany = 10024;
constexpr int32_t kSocketWouldBlock = 10035;
// Decision: options, shutdown and address-free calls on a descriptor that is
// no socket report "not a socket"; the calls that send or receive data give
// -1 for it, as sending does.
constexpr int32_t kSocketNotSocket = 10038;

constexpr int32_t kNotASocketResult = -1;

namespace trace {
inline constexpr uint32_t kConnectSocket = 548;  // the socket
}  // namespace trace

namespace ne = network_event;
constexpr uint32_t kWatchConnected = ne::kRead | ne::kWrite | ne::kOutOfBand | ne::kClose;
constexpr uint32_t kWatchConnecting = kWatchConnected | ne::kConnect;
constexpr uint32_t kWatchListening = ne::kAccept;
constexpr uint32_t kWatchDatagrams = ne::kRead | ne::kWrite | ne::kOutOfBand;

enum SocketEvent { kWriteReadyEvent = 0, kCloseEvent = 1, kReadReadyEvent = 2 };

struct OptionBit {
  int32_t bit;
  int level;
  int name;
};
constexpr OptionBit kOptionBits[] = {
    {1, SOL_SOCKET, SO_REUSEADDR}, {2, SOL_SOCKET, SO_BROADCAST}, {4, SOL_SOCKET, SO_KEEPALIVE},
    {8, IPPROTO_TCP, TCP_NODELAY}, {16, SOL_SOCKET, SO_OOBINLINE},
};

constexpr int kBufferOptions[] = {0, SO_SNDBUF, SO_RCVBUF};  // by `which`

std::mutex initialisationLock;
std::atomic<bool> socket_initialized{false};

void ensureInitialized() {
  if (!socket_initialized.load(std::memory_order_acquire)) ipc_initialize();
}

// The socket error for a Linux errno, noted as the thread's last error.
int32_t socketError(int linuxErrno) {
  const int32_t error = platform::socketErrorFromLinux(linuxErrno);
  platform::setLastSystemError(static_cast<uint32_t>(error));
  return error;
}

int32_t failure(int32_t error) {
  platform::setLastSystemError(static_cast<uint32_t>(error));
  return -error;
}

int32_t socketOf(int32_t descriptor) {
  if (descriptor < 0) return -1;
  return pseudofd_to_fd(static_cast<uint32_t>(descriptor), host::kKindSocket);
}

uint32_t* eventsOf(int32_t socket) {
  return fd_socket_events(static_cast<uint32_t>(socket));
}

// Frees the descriptor and everything it holds.
int32_t release(int32_t descriptor) {
  return win_close(descriptor, nullptr);
}

int newSocket(int family, int type) {
  return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The socket's descriptor, or the negated error with the socket closed.
int32_t enterSocket(int socket) {
  const int32_t descriptor = allocate_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket);
  if (descriptor >= 0) return descriptor;
  ::close(socket);
  return failure(kSocketTooMany);
}

// 0, or the error of the first option that could not be set.
int32_t applyOptionBits(int socket, int32_t flagsToSet, int32_t flagsToClear) {
  for (const int32_t value : {1, 0}) {
    const int32_t mask = value ? flagsToSet : flagsToClear;
    for (const OptionBit& option : kOptionBits) {
      if ((mask & option.bit) == 0) continue;
      if (::setsockopt(socket, option.level, option.name, &value, sizeof value) < 0)
        return socketError(errno);
    }
  }
  return 0;
}

void setNoDelay(int socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

socklen_t makeAddress(sockaddr_storage& address, uint32_t address4, const uint8_t* address6,
                      int32_t port, uint32_t scopeId) {
  std::memset(&address, 0, sizeof address);
  if (address6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&in6.sin6_addr, address6, sizeof in6.sin6_addr);
    in6.sin6_scope_id = scopeId;
    return sizeof in6;
  }
  auto& in4 = reinterpret_cast<sockaddr_in&>(address);
  in4.sin_family = AF_INET;
  in4.sin_port = htons(static_cast<uint16_t>(port));
  in4.sin_addr.s_addr = htonl(address4);
  return sizeof in4;
}

// A new socket's descriptor with its option bits applied, or the negated
// error with nothing left behind.
int32_t makeSocket(int family, int type, int32_t flagsToSet, int32_t flagsToClear) {
  const int socket = newSocket(family, type);
  if (socket < 0) return -socketError(errno);
  const int32_t descriptor = enterSocket(socket);
  if (descriptor < 0) return descriptor;
  if (type == SOCK_STREAM) setNoDelay(socket);
  if (const int32_t error = applyOptionBits(socket, flagsToSet, flagsToClear)) {
    release(descriptor);
    return failure(error);
  }
  return descriptor;
}

int32_t bindTo(int socket, uint32_t address4, const uint8_t* address6, int32_t port) {
  sockaddr_storage address;
  const socklen_t length = makeAddress(address, address4, address6, port, 0);
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) < 0) return socketError(errno);
  return 0;
}

// Resets one of the socket's events before an operation and lets its watcher
// look again.
void resetBeforeOperation(int socket, SocketEvent which) {
  if (uint32_t* socketEvents = eventsOf(socket)) platform::resetEvent(socketEvents[which]);
  rearm_watched_socket(socket);
}

// After a send: the write-ready event is set again unless the send would
// have blocked, in which case the watcher sets it when room comes.
void afterSend(int socket, int32_t error) {
  if (error == kSocketWouldBlock) return;
  if (uint32_t* socketEvents = eventsOf(socket)) platform::setEvent(socketEvents[kWriteReadyEvent]);
}

// Byte range of an element range; false for a range that cannot be one.
bool byteRange(int32_t start, int32_t end, int32_t elementSize, int32_t* first, int32_t* count) {
  int64_t from = start, to = end;
  if (elementSize > 1) {
    from *= elementSize;
    to *= elementSize;
  }
  if (from >= to) {
    *first = 0;
    *count = 0;
    return true;
  }
  if (from < 0 || to > INT32_MAX) return false;
  *first = static_cast<int32_t>(from);
  *count = static_cast<int32_t>(to - from);
  return true;
}

uint32_t addressQuery(int32_t descriptor, uint8_t* address6, bool peer) {
  const int socket = socketOf(descriptor);
  if (socket < 0) return 0;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  auto* named = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(socket, named, &length) : ::getsockname(socket, named, &length)) < 0)
    return 0;
  // Decision: an address of the other family than the one asked for is a
  // failure (0) rather than a reading of the wrong record.
  if (!address6) {
    if (address.ss_family != AF_INET) return 0;
    return ntohl(reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr);
  }
  if (address.ss_family != AF_INET6) return 0;
  const auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
  std::memcpy(address6, &in6.sin6_addr, sizeof in6.sin6_addr);
  return in6.sin6_scope_id;
}

int32_t portQuery(int32_t descriptor, bool peer) {
  const int socket = socketOf(descriptor);
  if (socket < 0) return 0;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  auto* named = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(socket, named, &length) : ::getsockname(socket, named, &length)) < 0)
    return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  return 0;
}

}  // namespace
}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

// ---- start and end ----

KORVANE_EXPORT void ipc_pre_init() {
  // The initialisation lock is a constant-initialised mutex, there before any
  // code runs; nothing more is needed at start-up.
}

KORVANE_EXPORT int32_t ipc_initialize() {
  std::lock_guard hold(initialisationLock);
  if (socket_initialized.load(std::memory_order_relaxed)) return 0;
  loadInterfaceList();
  socket_initialized.store(true, std::memory_order_release);
  return 0;
}

KORVANE_EXPORT int32_t ipc_shutdown() {
  return 0;
}

// ---- making sockets ----

KORVANE_EXPORT int32_t ipc_inet_socket_connect4(uint32_t localAddress,
                                                const uint8_t* localAddress6, int32_t localPort,
                                                uint32_t remoteAddress,
                                                const uint8_t* remoteAddress6, int32_t remotePort,
                                                uint32_t scopeId, int32_t flagsToSet,
                                                int32_t flagsToClear, uint32_t waiter) {
  ensureInitialized();
  const int family = remoteAddress6 ? AF_INET6 : AF_INET;
  const int32_t descriptor = makeSocket(family, SOCK_STREAM, flagsToSet, flagsToClear);
  if (descriptor < 0) return descriptor;
  const int socket = socketOf(descriptor);
  mp_log_event(trace::kConnectSocket, static_cast<uint32_t>(socket));
  if (localPort > 0 || localAddress != 0 || localAddress6) {
    if (const int32_t error = bindTo(socket, localAddress, localAddress6, localPort)) {
      release(descriptor);
      return failure(error);
    }
  }
  sockaddr_storage remote;
  const socklen_t length = makeAddress(remote, remoteAddress, remoteAddress6, remotePort, scopeId);
  const int32_t index = createPendingEvent(kPendingConnect, socket, waiter);
  int connected;
  do {
    connected = ::connect(socket, reinterpret_cast<sockaddr*>(&remote), length);
  } while (connected < 0 && errno == EINTR);
  // A non-blocking connect that has started is "would block" to Lisp code.
  const int32_t error = connected == 0         ? 0
                        : errno == EINPROGRESS ? kSocketWouldBlock
                                               : socketError(errno);
  if (error != 0 && error != kSocketWouldBlock) {
    dropPendingEvent(index);
    release(descriptor);
    return failure(error);
  }
  if (error == 0) dropPendingEvent(index);
  // Watched only once the connect has started: an unconnected stream socket
  // reports itself hung up.
  add_watched_socket(socket, kWatchConnecting);
  return error == 0 ? descriptor : index + kPendingResultBase;
}

KORVANE_EXPORT int32_t ipc_inet_socket_passive2(uint32_t address, const uint8_t* address6,
                                                int32_t port, int32_t backlog,
                                                int32_t flagsToSet, int32_t flagsToClear) {
  ensureInitialized();
  const int32_t descriptor =
      makeSocket(address6 ? AF_INET6 : AF_INET, SOCK_STREAM, flagsToSet, flagsToClear);
  if (descriptor < 0) return descriptor;
  const int socket = socketOf(descriptor);
  int32_t error = port >= 0 ? bindTo(socket, address, address6, port) : 0;
  if (error == 0 && ::listen(socket, backlog < 0 ? INT_MAX : backlog) < 0) error = socketError(errno);
  if (error != 0) {
    release(descriptor);
    return failure(error);
  }
  add_watched_socket(socket, kWatchListening);
  return descriptor;
}

KORVANE_EXPORT int32_t ipc_accept_connection(int32_t listener) {
  ensureInitialized();
  const int listening = socketOf(listener);
  if (listening < 0) return failure(kSocketNotSocket);
  resetBeforeOperation(listening, kReadReadyEvent);
  int socket;
  do {
    socket = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (socket < 0 && errno == EINTR);
  if (socket < 0) return -socketError(errno);
  const int32_t descriptor = enterSocket(socket);
  if (descriptor < 0) return descriptor;
  add_watched_socket(socket, kWatchConnected);
  setNoDelay(socket);
  return descriptor;
}

KORVANE_EXPORT int32_t ipc_inet_dgram_socket4(uint32_t address, const uint8_t* address6,
                                              int32_t port, int32_t flagsToSet,
                                              int32_t flagsToClear) {
  ensureInitialized();
  const int32_t descriptor =
      makeSocket(address6 ? AF_INET6 : AF_INET, SOCK_DGRAM, flagsToSet, flagsToClear);
  if (descriptor < 0) return descriptor;
  const int socket = socketOf(descriptor);
  if (const int32_t error = bindTo(socket, address, address6, port)) {
    release(descriptor);
    return failure(error);
  }
  add_watched_socket(socket, kWatchDatagrams);
  return descriptor;
}

// ---- datagrams ----

KORVANE_EXPORT int32_t ipc_inet_send_to2(int32_t descriptor, uint32_t address,
                                         const uint8_t* address6, uint32_t scopeId, int32_t port,
                                         const char* data, int32_t length) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return kNotASocketResult;
  if (length < 0) return failure(kSocketInvalidArgument);
  sockaddr_storage to;
  const socklen_t toLength = makeAddress(to, address, address6, port, scopeId);
  resetBeforeOperation(socket, kWriteReadyEvent);
  const ssize_t sent = ::sendto(socket, data, static_cast<size_t>(length),
                                MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                                toLength);
  const int32_t error = sent < 0 ? socketError(errno) : 0;
  afterSend(socket, error);
  return sent < 0 ? -error : static_cast<int32_t>(sent);
}

KORVANE_EXPORT int32_t ipc_inet_receive_from2(int32_t descriptor, char* buffer, int32_t size,
                                              int32_t ipv6, uint8_t* sender) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return kNotASocketResult;
  if (size < 0) return failure(kSocketInvalidArgument);
  resetBeforeOperation(socket, kReadReadyEvent);
  sockaddr_storage from;
  socklen_t fromLength = sizeof from;
  std::memset(&from, 0, sizeof from);
  const ssize_t got = ::recvfrom(socket, buffer, static_cast<size_t>(size), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (got < 0) return -socketError(errno);
  if (sender) {
    if (ipv6) {
      const auto& in6 = reinterpret_cast<sockaddr_in6&>(from);
      const uint32_t scope = htonl(in6.sin6_scope_id);
      std::memcpy(sender, &in6.sin6_port, 2);
      std::memcpy(sender + 2, &in6.sin6_addr, 16);
      std::memcpy(sender + 18, &scope, 4);
    } else {
      const auto& in4 = reinterpret_cast<sockaddr_in&>(from);
      std::memcpy(sender, &in4.sin_port, 2);
      std::memcpy(sender + 2, &in4.sin_addr, 4);
    }
  }
  return static_cast<int32_t>(got);
}

// ---- options ----

KORVANE_EXPORT int32_t ipc_set_socket_flags(int32_t descriptor, int32_t flagsToSet,
                                            int32_t flagsToClear) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return failure(kSocketNotSocket);
  return -applyOptionBits(socket, flagsToSet, flagsToClear);
}

KORVANE_EXPORT int32_t ipc_set_socket_option_value(int32_t descriptor, int32_t which,
                                                   int32_t value) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return failure(kSocketNotSocket);
  if (which < 1 || which > 2) return 0;
  if (::setsockopt(socket, SOL_SOCKET, kBufferOptions[which], &value, sizeof value) < 0)
    return -socketError(errno);
  return 0;
}

// ---- addresses ----

KORVANE_EXPORT uint32_t ipc_get_socket_ipaddr2(int32_t descriptor, uint8_t* address6) {
  ensureInitialized();
  return addressQuery(descriptor, address6, false);
}

KORVANE_EXPORT uint32_t ipc_get_socket_peer_ipaddr2(int32_t descriptor, uint8_t* address6) {
  ensureInitialized();
  return addressQuery(descriptor, address6, true);
}

KORVANE_EXPORT int32_t ipc_get_socket_port2(int32_t descriptor, int32_t) {
  ensureInitialized();
  return portQuery(descriptor, false);
}

KORVANE_EXPORT int32_t ipc_get_socket_peer_port2(int32_t descriptor, int32_t) {
  ensureInitialized();
  return portQuery(descriptor, true);
}

KORVANE_EXPORT int32_t ipc_locate_port(const char* service, const char* protocol) {
  ensureInitialized();
  if (!service) return 0;
  servent entry;
  servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(service, protocol, &entry, scratch, sizeof scratch, &found) != 0 || !found)
    return 0;
  return ntohs(static_cast<uint16_t>(found->s_port));
}

// ---- using sockets ----

KORVANE_EXPORT int32_t ipc_sockshutdown(int32_t descriptor, int32_t how) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return failure(kSocketNotSocket);
  return ::shutdown(socket, how) < 0 ? -socketError(errno) : 0;
}

KORVANE_EXPORT int32_t ipc_write_sequence_oob(int32_t descriptor, const char* buffer,
                                              int32_t start, int32_t end, int32_t elementSize) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return kNotASocketResult;
  int32_t first, count;
  if (!byteRange(start, end, elementSize, &first, &count)) return failure(kSocketInvalidArgument);
  if (count == 0) return 0;
  resetBeforeOperation(socket, kWriteReadyEvent);
  const ssize_t sent = ::send(socket, buffer + first, static_cast<size_t>(count),
                              MSG_OOB | MSG_DONTWAIT | MSG_NOSIGNAL);
  const int32_t error = sent < 0 ? socketError(errno) : 0;
  afterSend(socket, error);
  return sent < 0 ? -error : static_cast<int32_t>(sent);
}

KORVANE_EXPORT int32_t ipc_read_sequence_oob(int32_t descriptor, char* buffer, int32_t start,
                                             int32_t end, int32_t elementSize) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return kNotASocketResult;
  int32_t first, count;
  if (!byteRange(start, end, elementSize, &first, &count)) return failure(kSocketInvalidArgument);
  if (count == 0) return 0;
  const ssize_t got =
      ::recv(socket, buffer + first, static_cast<size_t>(count), MSG_OOB | MSG_DONTWAIT);
  if (got >= 0) return static_cast<int32_t>(got);
  // Linux answers EINVAL when no out-of-band byte is waiting, where a
  // would-block is meant.
  const int32_t error = errno == EINVAL ? kSocketWouldBlock : socketError(errno);
  return error == kSocketWouldBlock ? 0 : -error;
}

KORVANE_EXPORT int32_t ipc_listen_oob(int32_t descriptor) {
  ensureInitialized();
  const int socket = socketOf(descriptor);
  if (socket < 0) return 0;
  pollfd polled = {socket, POLLPRI, 0};
  return ::poll(&polled, 1, 0) == 1 && (polled.revents & POLLPRI) ? 1 : 0;
}

KORVANE_EXPORT int32_t ipc_data_available(int32_t descriptor) {
  ensureInitialized();
  return win_no_hang(descriptor, nullptr, 0);
}

KORVANE_EXPORT int32_t ipc_get_last_error() {
  return static_cast<int32_t>(platform::lastSystemError());
}

KORVANE_EXPORT int32_t ipc_closesocket(int32_t descriptor) {
  ensureInitialized();
  return release(descriptor);
}

KORVANE_EXPORT int32_t ipc_os_fd(int32_t descriptor) {
  return socketOf(descriptor);
}

KORVANE_EXPORT int32_t ipc_cancel_block() {
  // Decision: no call here ever blocks, so there is never one to cancel: the
  // answer is the failure for that, -1 with "invalid argument".
  platform::setLastSystemError(static_cast<uint32_t>(kSocketInvalidArgument));
  return -1;
}

// ---- pending connects ----

KORVANE_EXPORT int32_t ipc_reap_event(int32_t index) {
  ensureInitialized();
  if (!isPendingIndex(index)) return failure(kSocketInvalidArgument);
  int32_t socket, result;
  {
    std::lock_guard hold(events_mutex);
    PendingEvent& entry = events[index];
    if (entry.kind != kPendingConnect) return entry.result;
    socket = entry.socket;
    result = entry.result;
    // A failed connect gives its socket up once: a second reap must not close
    // a later socket that was given the same number.
    if (result != 0) entry.socket = -1;
  }
  if (result != 0) {
    if (socket >= 0) release(fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket));
    return -result;
  }
  // A socket closed before its connect was reaped has no descriptor left.
  if (socket < 0) return failure(platform::socketErrorFromLinux(EBADF));
  return fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket);
}

KORVANE_EXPORT int32_t ipc_end_pending_connect(int32_t index) {
  ensureInitialized();
  if (!isPendingIndex(index)) return failure(kSocketInvalidArgument);
  int32_t socket;
  {
    std::lock_guard hold(events_mutex);
    PendingEvent& entry = events[index];
    socket = entry.kind == kPendingConnect ? entry.socket : -1;
    entry.flags = 0;
    if (entry.kind == kPendingConnect) entry.socket = -1;
  }
  const int32_t descriptor =
      socket < 0 ? -1 : fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket);
  if (descriptor < 0) return failure(platform::socketErrorFromLinux(EBADF));
  return release(descriptor);
}

}  // extern "C"
