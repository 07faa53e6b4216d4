// Stand-in until the splash screen is built: no source is ever found, so no
// splash window comes up.

#include "launcher/splash_screen.h"

#include "launcher/launch_state.h"

namespace launcher {

uint32_t startSplashScreen(int32_t, int32_t) {
  return 0;
}

void destroySplashScreen() {
  launch.splashWindow = 0;
}

uint32_t splashWindow() {
  return 0;
}

std::string describeSplash() {
  return "";
}

}  // namespace launcher
