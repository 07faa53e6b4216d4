// Whether the test programs run under the user-mode i386 emulator, which
// scripts/setup.sh registers where the kernel has no 32-bit support. A few
// tests check what only a real processor and kernel do (named in each skip);
// under the emulator they skip, saying why, and run everywhere else.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace testing_support {

inline bool runningUnderEmulator() {
  static const bool emulated = [] {
    std::ifstream entry("/proc/sys/fs/binfmt_misc/qemu-i386");
    std::string state;
    return entry && std::getline(entry, state) && state == "enabled";
  }();
  return emulated;
}

}  // namespace testing_support

// Skips the running test under the emulator; `why` completes "the emulator ...".
#define SKIP_UNDER_EMULATOR(why)                                   \
  do {                                                             \
    if (::testing_support::runningUnderEmulator())                 \
      GTEST_SKIP() << "the user-mode i386 emulator " << (why);     \
  } while (0)
