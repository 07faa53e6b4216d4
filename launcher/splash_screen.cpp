// The splash screen. Its source is read and checked whole before a window
// comes up: a source that cannot be read completely, or whose blocks or
// bitmap do not fit where they claim to be, is skipped for the next one.
// The window lives on the splash thread; other threads only post to it.

#include "launcher/splash_screen.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "launcher/console_window.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_messages.h"
#include "launcher/launcher_settings.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/window_look.h"
#include "platform/window_timer.h"

namespace launcher {

namespace {

// Bitmap headers: the 12-byte core header and the longer info headers,
// whose used-colour count sits at offset 32.
constexpr size_t kCoreHeaderBytes = 12;
constexpr size_t kUsedColoursEnd = 36;
constexpr int32_t kLargestTableDepth = 8;
constexpr uint32_t kStartWaitMs = 5000;

uint32_t readWord(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}
uint16_t readHalf(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | at[1] << 8);
}

// Reads `length` bytes at `offset`, all of them or nothing.
bool readWhole(int descriptor, uint64_t offset, size_t length, uint8_t* into) {
  size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(descriptor, into + done, length - done, static_cast<off_t>(offset + done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

struct Splash {
  std::string text;  // the "+b" text, when that is the source
  std::vector<uint8_t> bitmap;
  BitmapDescription description{};
  bool hasBitmap = false;
  std::string name;
  std::atomic<uint32_t> window{0};
  bool timerStarted = false;
  platform::Handle ready = platform::kNoHandle;
};
// Never freed: the host record points into the bitmap, and the splash
// thread may still run while the process ends.
Splash& splash = *new Splash;

// The host program's own bitmap, a data symbol with its size.
bool hostProgramBitmap(std::vector<uint8_t>* bitmap) {
  void* program = dlopen(nullptr, RTLD_NOW);
  void* data = program ? dlsym(program, text::kSplashResource) : nullptr;
  Dl_info info;
  ElfW(Sym)* symbol = nullptr;
  if (!data || !dladdr1(data, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) ||
      !symbol || symbol->st_size == 0)
    return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  bitmap->assign(bytes, bytes + symbol->st_size);
  return true;
}

bool useBitmap(std::vector<uint8_t> bitmap) {
  BitmapDescription description;
  if (!describeBitmap(bitmap.data(), bitmap.size(), &description)) return false;
  splash.bitmap = std::move(bitmap);
  splash.description = std::move(description);
  splash.hasBitmap = true;
  return true;
}

// The sources in order; false when none gives a splash.
bool findSource() {
  if (settings.splashText) {
    splash.text = settings.splashText;
    return true;
  }
  SplashBlocks blocks;
  if (launch.imagePath && readImageSplashBlocks(launch.imagePath, &blocks)) {
    std::string name = blocks.name;
    if (useBitmap(std::move(blocks.bitmap))) {
      splash.name = name;
      for (host::HostRecord* form : {&console_host_record, &no_console_host_record}) {
        form->splashBlock = splash.bitmap.data();
        form->splashBlockLength = static_cast<uint32_t>(splash.bitmap.size());
      }
      return true;
    }
  }
  std::vector<uint8_t> own;
  return hostProgramBitmap(&own) && useBitmap(std::move(own));
}

void forgetWindow() {
  splash.window = 0;
  launch.splashWindow = 0;
  current_host_record->splashWindow = 0;
}

uint32_t splashProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                         uint32_t lParam) {
  switch (message) {
    case wm::kPaint:
      if (!settings.splashPersistent && !splash.timerStarted) {
        splash.timerStarted = true;
        platform::setWindowTimer(window, kSplashTimer, kSplashMilliseconds);
      }
      return 0;
    case wm::kTimer:
      platform::killWindowTimer(window, kSplashTimer);
      platform::postWindowMessage(window, wm::kClose, 0, 0);
      return 0;
    case wm::kLeftButtonDown:
      destroyWindow(window);
      return 0;
    case wm::kDestroy:
      platform::killWindowTimer(window, kSplashTimer);
      forgetWindow();
      platform::postThreadMessage(platform::currentThreadId(), wm::kQuit, 0, 0);
      return 0;
  }
  return defaultWindowProcedure(window, message, wParam, lParam);
}

uint32_t splashThread(void*) {
  const platform::Handle window = platform::createWindow(splashProcedure);
  if (window) {
    platform::setWindowText(window, splash.name.c_str());
    splash.window = window;
    current_host_record->splashWindow = window;
    platform::showWindow(window, settings.noActivate ? platform::kShowNoActivate : platform::kShow);
    platform::postWindowMessage(window, wm::kPaint, 0, 0);  // its first paint
  }
  platform::setEvent(splash.ready);
  if (!window) return 0;
  platform::Message message;
  while (platform::getMessage(&message)) platform::dispatchMessage(&message);
  if (!settings.noActivate && console_window.frame) platform::bringToForeground(console_window.frame);
  return 0;
}

// Words 12 and 13 and the console read close the splash unless it is timed
// or persistent.
void closeSplashEarly() {
  if (settings.splashTimed || settings.splashPersistent) return;
  if (const uint32_t window = splash.window) platform::postWindowMessage(window, wm::kClose, 0, 0);
}

}  // namespace

bool readImageSplashBlocks(const char* imagePath, SplashBlocks* blocks) {
  const int descriptor = open(imagePath, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  uint8_t header[kImageHeaderBytes];
  struct stat file;
  bool read = fstat(descriptor, &file) == 0 && readWhole(descriptor, 0, sizeof header, header) &&
              header[0] == kImageMagic && header[1] == kImageVersion &&
              readWord(header + kFirstBlockLengthAt) != 0;
  const uint64_t size = read ? static_cast<uint64_t>(file.st_size) : 0;
  auto inFile = [&](size_t offsetAt, size_t lengthAt) {
    return uint64_t{readWord(header + offsetAt)} + readWord(header + lengthAt) <= size;
  };
  read = read && inFile(kFirstBlockOffsetAt, kFirstBlockLengthAt) &&
         inFile(kSecondBlockOffsetAt, kSecondBlockLengthAt);
  if (read) {
    blocks->bitmap.resize(readWord(header + kFirstBlockLengthAt));
    std::vector<uint8_t> name(readWord(header + kSecondBlockLengthAt));
    read = readWhole(descriptor, readWord(header + kFirstBlockOffsetAt), blocks->bitmap.size(),
                     blocks->bitmap.data()) &&
           readWhole(descriptor, readWord(header + kSecondBlockOffsetAt), name.size(), name.data());
    // The name ends at its first NUL or with its block.
    const auto end = std::find(name.begin(), name.end(), uint8_t{0});
    blocks->name.assign(name.begin(), end);
  }
  close(descriptor);
  return read;
}

bool describeBitmap(const uint8_t* block, size_t length, BitmapDescription* description) {
  if (length < 4) return false;
  const uint32_t headerBytes = readWord(block);
  const bool core = headerBytes == kCoreHeaderBytes;
  if ((!core && headerBytes < kUsedColoursEnd) || headerBytes > length) return false;
  BitmapDescription found{};
  found.width = core ? readHalf(block + 4) : static_cast<int32_t>(readWord(block + 4));
  found.height = core ? readHalf(block + 6) : static_cast<int32_t>(readWord(block + 8));
  found.depth = readHalf(block + (core ? 10 : 14));
  if (found.width <= 0 || found.height == 0 || found.height == INT32_MIN) return false;
  if (!(found.depth == 1 || found.depth == 4 || found.depth == 8 || found.depth == 16 ||
        found.depth == 24 || found.depth == 32))
    return false;
  // A colour table only up to 8 bits, and never more entries than the depth
  // can name.
  uint64_t colours = core ? 0 : readWord(block + 32);
  if (found.depth > kLargestTableDepth) {
    if (colours != 0) return false;
  } else {
    const uint64_t most = uint64_t{1} << found.depth;
    if (colours == 0) colours = most;
    if (colours > most) return false;
  }
  const size_t entryBytes = core ? 3 : 4;
  const uint64_t tableEnd = headerBytes + colours * entryBytes;
  const uint64_t rowBytes = (uint64_t{static_cast<uint32_t>(found.width)} * found.depth + 31) / 32 * 4;
  const uint64_t rows = found.height < 0 ? -int64_t{found.height} : found.height;
  if (tableEnd + rowBytes * rows > length) return false;
  for (uint64_t i = 0; i < colours; ++i) {
    const uint8_t* entry = block + headerBytes + i * entryBytes;  // blue, green, red
    found.palette.push_back(uint32_t{entry[2]} << 16 | uint32_t{entry[1]} << 8 | entry[0]);
  }
  found.bitsOffset = static_cast<size_t>(tableEnd);
  *description = std::move(found);
  return true;
}

uint32_t startSplashScreen(int32_t, int32_t) {
  splash.text.clear();
  splash.name.clear();
  splash.hasBitmap = false;
  splash.timerStarted = false;
  if (!findSource()) return 0;
  if (!splash.ready) splash.ready = platform::createEvent(true, false);
  platform::resetEvent(splash.ready);
  uint32_t id = 0;
  const platform::Handle thread = platform::createThread(splashThread, nullptr, 0, &id);
  if (!thread) return 0;
  sched_yield();
  platform::setThreadPriority(thread, platform::kHighestPriority);  // may need privileges
  const platform::Handle ready[] = {splash.ready};
  platform::waitForAny(ready, kStartWaitMs);
  platform::closeHandle(thread);
  close_splash_early = closeSplashEarly;
  return splash.window;
}

void destroySplashScreen() {
  if (const uint32_t window = splash.window) platform::postWindowMessage(window, wm::kClose, 0, 0);
  forgetWindow();
}

uint32_t splashWindow() {
  return splash.window;
}

std::string describeSplash() {
  if (!splash.window) return "";
  if (!splash.hasBitmap)
    return "splash: " + std::to_string(kSplashWidth) + "x" + std::to_string(kSplashHeight) +
           ", \"" + splash.text + "\"";
  const BitmapDescription& bitmap = splash.description;
  const int32_t height = bitmap.height < 0 ? -bitmap.height : bitmap.height;
  std::string line = "splash: " + std::to_string(bitmap.width) + "x" + std::to_string(height) + ", ";
  line += bitmap.palette.empty() ? std::to_string(bitmap.depth) + "-bit colour"
                                 : std::to_string(bitmap.palette.size()) + " colours";
  return line;
}

}  // namespace launcher
