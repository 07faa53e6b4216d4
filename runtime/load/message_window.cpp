// sy_mbwto without a display: the window's title and both lines go to
// standard error, and the "window" stays for its seconds, or until Escape
// arrives when standard input is a terminal.

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "runtime/load/small_services.h"

namespace {

constexpr size_t kLineBytes = 512;
constexpr char kEscape = 27;

char firstLineBuffer[kLineBytes];
char secondLineBuffer[kLineBytes];

long long nowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Reads keys from the terminal without echo until Escape or the deadline.
void waitOnTerminal(long long deadline) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  for (long long left; (left = deadline - nowMilliseconds()) > 0;) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, static_cast<int>(left)) <= 0) continue;
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) != 1 || key == kEscape) break;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void waitQuietly(long long deadline) {
  for (long long left; (left = deadline - nowMilliseconds()) > 0;)
    poll(nullptr, 0, static_cast<int>(left));
}

}  // namespace

extern "C" {

int sy_mbwto(const char* className, const char* firstLine, const char* secondLine, int seconds) {
  std::snprintf(firstLineBuffer, sizeof firstLineBuffer, "%s", firstLine ? firstLine : "");
  std::snprintf(secondLineBuffer, sizeof secondLineBuffer, "%s", secondLine ? secondLine : "");
  std::fprintf(stderr, "%s: %s\n%s\n", className ? className : "", firstLineBuffer,
               secondLineBuffer);
  std::fflush(stderr);

  const long long deadline = nowMilliseconds() + (seconds > 0 ? 1000LL * seconds : 0);
  if (isatty(STDIN_FILENO))
    waitOnTerminal(deadline);
  else
    waitQuietly(deadline);
  return 0;
}

}  // extern "C"
