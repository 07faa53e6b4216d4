// The splash screen: the bitmap checks, the image file's splash blocks, and
// the window's life (timer, early close, click) over an injected clock.

#include "launcher/splash_screen.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "launcher/host_records.h"
#include "launcher/launcher_settings.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/window_timer.h"
#include "testing/temp_path.h"
#include "testing/watchdog.h"

namespace {

using namespace launcher;
using Bytes = std::vector<uint8_t>;

void putWord(Bytes& bytes, size_t at, uint32_t value) {
  if (bytes.size() < at + 4) bytes.resize(at + 4);
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void putHalf(Bytes& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

// A packed bitmap with a 40-byte header, `colours` table entries and room
// for `rowBytes` x height bytes of pixels (less `short` bytes).
Bytes bitmap(int32_t width, int32_t height, uint16_t depth, uint32_t usedColours, size_t tableEntries,
             size_t pixelBytes) {
  Bytes bytes(40 + tableEntries * 4 + pixelBytes);
  putWord(bytes, 0, 40);
  putWord(bytes, 4, static_cast<uint32_t>(width));
  putWord(bytes, 8, static_cast<uint32_t>(height));
  putHalf(bytes, 12, 1);
  putHalf(bytes, 14, depth);
  putWord(bytes, 32, usedColours);
  if (tableEntries) {  // the first entry blue 1, green 2, red 3
    bytes[40] = 1, bytes[41] = 2, bytes[42] = 3;
  }
  return bytes;
}

TEST(SplashBitmap, HeadersTableAndPixelsMustFitTheBlock) {
  Bytes core(12 + 2 * 3 + 4 * 2);  // 12-byte header, 1 bit, 2 x 2: 2 colours, rows of 4
  putWord(core, 0, 12);
  putHalf(core, 4, 2);
  putHalf(core, 6, 2);
  putHalf(core, 8, 1);
  putHalf(core, 10, 1);
  struct Case {
    const char* name;
    Bytes block;
    bool accepted;
    size_t colours;
  };
  const Case cases[] = {
      {"1 bit", bitmap(8, 2, 1, 0, 2, 8), true, 2},
      {"4 bits, 3 used", bitmap(8, 2, 4, 3, 3, 8), true, 3},
      {"8 bits", bitmap(4, 4, 8, 0, 256, 16), true, 256},
      {"24 bits", bitmap(4, 2, 24, 0, 0, 24), true, 0},
      {"16 bits, no table", bitmap(2, 2, 16, 0, 0, 8), true, 0},
      {"32 bits, no table", bitmap(2, 2, 32, 0, 0, 16), true, 0},
      {"top-down rows", bitmap(4, -2, 24, 0, 0, 24), true, 0},
      {"12-byte header", core, true, 2},
      {"2^20 colours", bitmap(4, 4, 8, 1u << 20, 256, 16), false, 0},
      {"more colours than 4 bits name", bitmap(8, 2, 4, 17, 17, 8), false, 0},
      {"a table for 16 bits", bitmap(2, 2, 16, 4, 4, 8), false, 0},
      {"bits past the end", bitmap(8, 2, 8, 0, 256, 15), false, 0},
      {"table past the end", bitmap(8, 2, 8, 0, 100, 0), false, 0},
      {"header longer than the block", Bytes{200, 0, 0, 0, 0, 0}, false, 0},
      {"header of 20 bytes", Bytes{20, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0},
       false, 0},
      {"shorter than a header", Bytes{40, 0}, false, 0},
      {"3 bits", bitmap(8, 2, 3, 0, 8, 8), false, 0},
      {"no width", bitmap(0, 2, 24, 0, 0, 0), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A copy of exactly the block's size, so that a read past it is caught.
    const auto copy = std::make_unique<uint8_t[]>(c.block.size());
    std::copy(c.block.begin(), c.block.end(), copy.get());
    BitmapDescription description{};
    EXPECT_EQ(describeBitmap(copy.get(), c.block.size(), &description), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(description.palette.size(), c.colours);
    if (c.colours && c.block[0] == 40) {
      EXPECT_EQ(description.palette[0], 0x030201u);  // red, green, blue
    }
  }
}

// An image file: the 92-byte header, then the bitmap and the name.
std::string writeImage(const std::string& name, Bytes header, const Bytes& first,
                       const std::string& second, size_t cut = 0) {
  header.resize(kImageHeaderBytes);
  Bytes file = header;
  file.insert(file.end(), first.begin(), first.end());
  file.insert(file.end(), second.begin(), second.end());
  file.resize(file.size() - cut);
  const std::string path = testing_support::processTempPath(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                              static_cast<std::streamsize>(file.size()));
  return path;
}

Bytes imageHeader(uint8_t magic, uint8_t version, uint32_t firstLength, uint32_t secondLength) {
  Bytes header(kImageHeaderBytes);
  header[0] = magic;
  header[1] = version;
  putWord(header, kFirstBlockOffsetAt, kImageHeaderBytes);
  putWord(header, kFirstBlockLengthAt, firstLength);
  putWord(header, kSecondBlockOffsetAt, kImageHeaderBytes + firstLength);
  putWord(header, kSecondBlockLengthAt, secondLength);
  return header;
}

TEST(SplashImageBlocks, AnImageHeaderGivesTheBlocksElseNothing) {
  const Bytes first = bitmap(8, 2, 1, 0, 2, 8);
  const std::string name = "Splash name";  // no NUL in its block
  const uint32_t n = static_cast<uint32_t>(first.size());
  struct Case {
    const char* label;
    Bytes header;
    size_t cut;
    bool read;
  };
  const Case cases[] = {
      {"an image", imageHeader(0x84, 37, n, 11), 0, true},
      {"wrong magic", imageHeader(0x85, 37, n, 11), 0, false},
      {"version 36", imageHeader(0x84, 36, n, 11), 0, false},
      {"first length 0", imageHeader(0x84, 37, 0, 11), 0, false},
      {"truncated name", imageHeader(0x84, 37, n, 11), 1, false},
      {"lengths past the end", imageHeader(0x84, 37, 0xfffffff0, 11), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = writeImage("splash.vxi", c.header, first, name, c.cut);
    SplashBlocks blocks;
    EXPECT_EQ(readImageSplashBlocks(path.c_str(), &blocks), c.read);
    if (c.read) {
      EXPECT_EQ(blocks.bitmap, first);
      EXPECT_EQ(blocks.name, name);
    }
    std::remove(path.c_str());
  }
  const std::string shortFile = writeImage("short.vxi", imageHeader(0x84, 37, n, 11), {}, "",
                                           kImageHeaderBytes - 10);
  SplashBlocks blocks;
  EXPECT_FALSE(readImageSplashBlocks(shortFile.c_str(), &blocks));
  EXPECT_FALSE(readImageSplashBlocks("/nonexistent/image.vxi", &blocks));
  std::remove(shortFile.c_str());
}

// The splash window's life, over an injected clock.
class SplashLife : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = settings;
    settings.splashText = "Loading";
    platform::useWindowTimerService(&service);
  }
  void TearDown() override {
    destroySplashScreen();
    awaitGone();
    platform::useWindowTimerService(nullptr);
    settings = saved;
  }

  uint32_t start() {
    const uint32_t window = startSplashScreen(1024, 768);
    EXPECT_NE(window, 0u);
    return window;
  }
  // Until the first paint has started the timer (or the limit passes).
  void awaitPainted() {
    for (int i = 0; i < 400 && service.pending().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  bool awaitGone() {
    for (int i = 0; i < 400 && splashWindow(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return splashWindow() == 0;
  }
  void advance(uint64_t ms) {
    now += ms;
    service.settle();
  }

  LauncherSettings saved;
  std::atomic<uint64_t> now{0};
  platform::TimerService service{[this] { return now.load(); }};
  testing_support::Watchdog watchdog{"splash test", std::chrono::seconds(30)};
};

TEST_F(SplashLife, ByDefaultGoneAfterThreeSecondsOrAtTheFirstConsoleRead) {
  start();
  EXPECT_EQ(describeSplash(), "splash: 424x300, \"Loading\"");
  EXPECT_EQ(current_host_record->splashWindow, splashWindow());
  awaitPainted();
  advance(2999);
  EXPECT_NE(splashWindow(), 0u);
  advance(1);
  EXPECT_TRUE(awaitGone());
  EXPECT_EQ(current_host_record->splashWindow, 0u);

  start();
  int32_t error = 0;
  no_hang_hook(0, &error, 0);  // a question about console input closes it
  EXPECT_TRUE(awaitGone());
}

TEST_F(SplashLife, TimedIgnoresTheEarlyClose) {
  settings.splashTimed = 1;
  start();
  awaitPainted();
  close_splash_early();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NE(splashWindow(), 0u);
  advance(3000);
  EXPECT_TRUE(awaitGone());
}

TEST_F(SplashLife, PersistentStaysUntilAClick) {
  settings.splashPersistent = 1;
  const uint32_t window = start();
  close_splash_early();
  advance(10000);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(splashWindow(), window);
  platform::postWindowMessage(window, wm::kLeftButtonDown, 0, 0);
  EXPECT_TRUE(awaitGone());
}

}  // namespace
