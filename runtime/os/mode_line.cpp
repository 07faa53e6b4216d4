#include "runtime/os/mode_line.h"

#include <cstring>

#include "launcher/host_record.h"
#include "runtime/os/host_record_services.h"

namespace {

constexpr int32_t kTextBytes = 4;
constexpr const char* kRunText = "Run ";
constexpr const char* kIdleText = "Idle";
constexpr const char* kBlankText = "    ";
constexpr const char* kCollectingText = "GC  ";

// What the mode line shows now, and what it showed when a collection began.
char g_shown[kTextBytes] = {};
bool g_hasShown = false;
char g_beforeCollection[kTextBytes] = {};
bool g_hadShown = false;

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

// Writes four characters; a write that fails (or writes fewer) ends the
// mode line. The hook's result.
int32_t show(const char* text) {
  auto* record = reinterpret_cast<host::HostRecord*>(redir);
  if (!record || !record->writeHook) return 0;
  std::memcpy(g_shown, text, kTextBytes);
  g_hasShown = true;
  int32_t error = 0;
  const int32_t wrote = record->writeHook(mode_line_fd, text, kTextBytes, &error);
  if (wrote != kTextBytes) mode_line_fd = 0;
  return wrote;
}

void showIfSet(const char* text) {
  if (mode_line_fd != 0) show(text);
}

}  // namespace

extern "C" {

int mode_line_fd = 0;

int wakeup_hook_p() {
  return mode_line_fd;
}

uint32_t run_bar_hook(int32_t code, const char* text) {
  switch (code) {
    case 0:
      // Decision: with no mode line (descriptor 0) there is nothing to write to.
      return text && mode_line_fd != 0 ? static_cast<uint32_t>(show(text)) : 0;
    case 1:
      mode_line_fd = static_cast<int>(reinterpret_cast<uintptr_t>(text));
      return 0;
    case 2:
      showIfSet(kRunText);
      return 0;
    case 3:
      showIfSet(kIdleText);
      return 0;
    case 4:
      return addressOf(mode_line_gc);
    case 5:
      return addressOf(mode_line_gc_end);
    case 6:
      showIfSet(kBlankText);
      return 0;
    default:
      return 0;
  }
}

void mode_line_gc() {
  std::memcpy(g_beforeCollection, g_shown, kTextBytes);
  g_hadShown = g_hasShown;
  showIfSet(kCollectingText);
}

void mode_line_gc_end() {
  showIfSet(g_hadShown ? g_beforeCollection : kBlankText);
}

}  // extern "C"
