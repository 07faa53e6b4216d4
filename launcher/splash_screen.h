// The splash screen shown while the image loads: its source (the "+b" text,
// the image file's first splash block, or the host program's bitmap), a
// thread of its own with its window, and its closing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace launcher {

inline constexpr int32_t kSplashWidth = 424;
inline constexpr int32_t kSplashHeight = 300;
inline constexpr uint32_t kSplashMilliseconds = 3000;
inline constexpr uint32_t kSplashTimer = 1;

// ---- the image file's splash blocks ----

inline constexpr size_t kImageHeaderBytes = 92;
inline constexpr uint8_t kImageMagic = 0x84;
inline constexpr uint8_t kImageVersion = 37;
inline constexpr size_t kFirstBlockOffsetAt = 76;
inline constexpr size_t kSecondBlockOffsetAt = 80;
inline constexpr size_t kFirstBlockLengthAt = 84;
inline constexpr size_t kSecondBlockLengthAt = 88;

struct SplashBlocks {
  std::vector<uint8_t> bitmap;  // a packed bitmap: header, colour table, bits
  std::string name;             // the splash window's name, empty when none
};
// The blocks of an image file; false when the file cannot be read, its
// header is not an image's, or a block lies outside the file.
bool readImageSplashBlocks(const char* imagePath, SplashBlocks* blocks);

// ---- the bitmap ----

struct BitmapDescription {
  int32_t width;
  int32_t height;  // negative: top-down rows
  int32_t depth;   // bits per pixel
  std::vector<uint32_t> palette;  // 0x00RRGGBB, one per colour table entry
  size_t bitsOffset;              // where the pixels start in the block
};
// False when the header is not one this reads, the colour table is too big
// for the depth, or the header, table or pixels pass the block's end.
bool describeBitmap(const uint8_t* block, size_t length, BitmapDescription* description);

// ---- the splash window ----

// Finds a source and starts the splash thread; returns its window (0: no
// source, so no splash).
uint32_t startSplashScreen(int32_t screenWidth, int32_t screenHeight);
// Asks the splash window to go when it is up; clears word 22.
void destroySplashScreen();
// The splash window, 0 when none is up.
uint32_t splashWindow();

// The splash as one line for a front end; empty when none is up.
std::string describeSplash();

}  // namespace launcher
