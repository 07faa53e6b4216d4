// The splash screen shown while the image loads: its source (the "+b" text,
// the image file's first splash block, or the host program's bitmap), a
// thread of its own with its window, and its closing.
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

// Starts the splash when a source is found; returns its window (0: none).
uint32_t startSplashScreen(int32_t screenWidth, int32_t screenHeight);
// Takes the splash window down when it is up and clears word 22.
void destroySplashScreen();
// The splash window, 0 when none is up.
uint32_t splashWindow();

// The splash as one line for a front end; empty when none is up.
std::string describeSplash();

}  // namespace launcher
