// What a host's main program expects to receive, read from the host record,
// and the start-up hooks and name-only entries that do (almost) nothing.

#include "platform/thread_block.h"
#include "runtime/load/small_services.h"
#include "runtime/os/host_record_services.h"
#include "runtime/rs/exports.h"

namespace {

// Host record words handed out as main-program arguments.
constexpr int kModuleInstanceWord = 21;
constexpr int kConsoleWindowWord = 20;
constexpr int kSplashWindowWord = 22;
constexpr int kMainArgumentWords = 5;

const char kEmptyCommandLine[] = "";

uint32_t hostWord(int word) {
  return redir ? redir[word] : 0;
}

}  // namespace

extern "C" {

KORVANE_EXPORT uint32_t* GetWinMainArgs2(uint32_t* record, int words) {
  const uint32_t values[kMainArgumentWords] = {
      hostWord(kModuleInstanceWord),
      0,  // no previous instance
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kEmptyCommandLine)),
      hostWord(kConsoleWindowWord),
      hostWord(kSplashWindowWord),
  };
  // Decision: only the five words exist; a larger count writes five.
  for (int i = 0; record && i < words && i < kMainArgumentWords; ++i) record[i] = values[i];
  return redir;
}

KORVANE_EXPORT uint32_t* GetWinMainArgs(uint32_t* record) {
  return GetWinMainArgs2(record, 4);
}

KORVANE_EXPORT int VXMStartupFetch() {
  return 0;
}
KORVANE_EXPORT int VXMStartupQuery() {
  return 0;
}
KORVANE_EXPORT void VXMStartupShow() {}

void iefbr14() {}

int sy_f484() {
  return 0;
}

int32_t tls_dummy_index = 0;

uint32_t get_tls_dummy() {
  return platform::threadSlot(tls_dummy_index);
}

}  // extern "C"
