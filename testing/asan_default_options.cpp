// The AddressSanitizer options a program built with it starts with, for
// programs run by hand or by a plain ctest: under the user-mode i386
// emulator (the same check as testing/emulation.h and scripts/test_env.sh)
// the leak checker cannot stop the process's threads and waits for ever at
// exit, so leak checking is off there. ASAN_OPTIONS still wins over these.
//
// The sanitizer runtime asks before it has set itself up: no instrumented
// code, no allocation and no intercepted C library call here, only system
// calls and bytes on the stack.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

__attribute__((no_sanitize("address"))) bool runningUnderEmulator() {
  const long entry =
      syscall(SYS_open, "/proc/sys/fs/binfmt_misc/qemu-i386", O_RDONLY | O_CLOEXEC);
  if (entry < 0) return false;
  char state[8] = {};
  const long read = syscall(SYS_read, entry, state, sizeof state);
  syscall(SYS_close, entry);
  const char enabled[] = "enabled\n";
  if (read < 7) return false;
  for (int i = 0; i < 7; ++i)
    if (state[i] != enabled[i]) return false;
  return read == 7 || state[7] == '\n';
}

}  // namespace

extern "C" __attribute__((no_sanitize("address"), visibility("default"), used)) const char*
__asan_default_options() {
  return runningUnderEmulator() ? "detect_leaks=0" : "";
}
