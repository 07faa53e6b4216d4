// The table keeps one invariant: `watched` lists exactly the descriptors
// whose flag is set, and the select width is the highest of them plus 2 (0
// when none is watched).

#include "runtime/os/input_ready_table.h"

#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "runtime/os/console_printing.h"
#include "runtime/os/gotsig.h"

namespace {

namespace text {
constexpr const char* kBadAdd = "Bad argument: %d to lisp_add_sigio_fd\n";
constexpr const char* kBadRemove = "Bad argument: %d to lisp_remove_sigio_fd\n";
constexpr const char* kCountMismatch = "error in filter_sigios: j = %d, c = %d\n";
constexpr const char* kSelect = "select";
}  // namespace text

constexpr size_t kSigioInfoBytes = 20;

InputReadyTable g_table{};
bool g_isWatched[kWatchedDescriptors] = {};
int32_t g_width = 0;

bool inRange(int32_t descriptor) {
  return descriptor >= 0 && descriptor < kWatchedDescriptors;
}

// The runtime's handler for the signals of signal-driven input: the signal
// is noted like any other the runtime takes.
void sigioHandler(int signal) {
  gotsig(signal, nullptr, nullptr);
}

}  // namespace

extern "C" {

InputReadyTable* lisp_query_ready_sigio_array() {
  return &g_table;
}

int32_t lisp_number_of_fds() {
  return kWatchedDescriptors;
}

void lisp_add_sigio_fd(int32_t descriptor) {
  if (!inRange(descriptor)) {
    vxmfprintf(stderr, text::kBadAdd, descriptor);
    return;
  }
  if (g_isWatched[descriptor]) return;
  g_isWatched[descriptor] = true;
  g_table.watched[g_table.watchedCount++] = descriptor;
  if (descriptor + 2 > g_width) g_width = descriptor + 2;
}

void lisp_remove_sigio_fd(int32_t descriptor) {
  if (!inRange(descriptor)) {
    vxmfprintf(stderr, text::kBadRemove, descriptor);
    return;
  }
  if (!g_isWatched[descriptor]) return;
  g_isWatched[descriptor] = false;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < g_table.watchedCount; ++i)
    if (g_table.watched[i] != descriptor) g_table.watched[kept++] = g_table.watched[i];
  g_table.watchedCount = kept;
  if (descriptor + 2 == g_width) {
    g_width = 0;
    for (int32_t d = descriptor - 1; d >= 0; --d)
      if (g_isWatched[d]) {
        g_width = d + 2;
        break;
      }
  }
}

void filter_sigios() {
  const int savedErrno = errno;
  fd_set ready;
  FD_ZERO(&ready);
  for (uint32_t i = 0; i < g_table.watchedCount; ++i) FD_SET(g_table.watched[i], &ready);
  timeval noWait{};
  const int count = select(g_width, &ready, nullptr, nullptr, &noWait);
  int32_t listed = 0;
  if (count < 0) {
    std::perror(text::kSelect);
  } else {
    for (int32_t d = 0; d < kWatchedDescriptors; ++d)
      if (g_isWatched[d] && FD_ISSET(d, &ready)) g_table.ready[listed++] = d;
    if (listed != count) vxmfprintf(stderr, text::kCountMismatch, listed, count);
  }
  g_table.ready[listed] = 0;
  errno = savedErrno;
}

int32_t lisp_sigio_setupsig(int32_t signal) {
  std::signal(signal, sigioHandler);
  return signal;
}

void* lisp_query_unix_sigio_info() {
  return std::calloc(1, kSigioInfoBytes);
}

}  // extern "C"

namespace lisp::os {

int32_t inputSelectWidth() {
  return g_width;
}

bool isWatchedDescriptor(int32_t descriptor) {
  return inRange(descriptor) && g_isWatched[descriptor];
}

void clearInputReadyTable() {
  g_table = {};
  for (bool& flag : g_isWatched) flag = false;
  g_width = 0;
}

}  // namespace lisp::os
