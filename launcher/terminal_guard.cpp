// The guard is a grandchild (its parent ends at once), in a session of its
// own so that the terminal's signals and job control leave it alone. It is
// forked from a process with threads, so it makes only async-signal-safe
// calls.

#include "launcher/terminal_guard.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace launcher {
namespace {

constexpr char kModePutBack = 1;
constexpr long kMostDescriptors = 4096;

int guard_socket = -1;

[[noreturn]] void guard(int terminal, int socket, const termios& mode, long descriptors) {
  setsid();
  for (int fd = 0; fd < descriptors; ++fd)
    if (fd != terminal && fd != socket) close(fd);
  char word = 0;
  ssize_t got;
  do {
    got = read(socket, &word, 1);
  } while (got < 0 && errno == EINTR);
  // The launcher's end of the socket closed without a word: it has died.
  if (got <= 0) tcsetattr(terminal, TCSANOW, &mode);
  _exit(0);
}

}  // namespace

bool startTerminalGuard(int terminal, const termios& mode) {
  const long descriptors = std::min(sysconf(_SC_OPEN_MAX), kMostDescriptors);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  const pid_t middle = fork();
  if (middle == 0) {
    if (fork() == 0) guard(terminal, ends[1], mode, descriptors);
    _exit(0);
  }
  close(ends[1]);
  if (middle < 0) {
    close(ends[0]);
    return false;
  }
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  guard_socket = ends[0];
  return true;
}

void dismissTerminalGuard() {
  if (guard_socket < 0) return;
  send(guard_socket, &kModePutBack, 1, MSG_NOSIGNAL);
  close(guard_socket);
  guard_socket = -1;
}

}  // namespace launcher
