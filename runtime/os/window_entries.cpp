// Wrappers, stubs and build identification (window_entries.h).

#include "runtime/os/window_entries.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/error_numbers.h"
#include "platform/window_classes.h"
#include "runtime/os/wide_name_buffers.h"

namespace {

constexpr int32_t kBuildNumber = 593;
constexpr int32_t kSleep5Milliseconds = 5000;
constexpr int32_t kBlartCallsPerCount = 5;
constexpr int32_t kModalDialogFailed = -1;
constexpr uint32_t kModelessDialogFailed = 0;

// Dialog templates need a display; the call fails as the system's does
// when it cannot make the dialog.
void noDialogs() {
  platform::setLastSystemError(platform::system_error::kNotSupported);
}

void sleepMilliseconds(int32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

extern "C" {

uint32_t vxm_getnextwindow_emu(uint32_t window, uint32_t command) {
  return platform::relatedWindow(window, command);
}

uint32_t vxm_getcurrenttime_emu() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

int32_t vxm_exitwindows_emu() {
  platform::setLastSystemError(platform::system_error::kNotSupported);
  return 0;
}

int32_t vxm_dialogboxindirect_emu(uint32_t, const void*, uint32_t, uint32_t) {
  noDialogs();
  return kModalDialogFailed;
}

int32_t vxm_dialogbox_emu(uint32_t, const char*, uint32_t, uint32_t) {
  noDialogs();
  return kModalDialogFailed;
}

uint32_t vxm_createdialogindirect_emu(uint32_t, const void*, uint32_t, uint32_t) {
  noDialogs();
  return kModelessDialogFailed;
}

uint32_t vxm_createdialog_emu(uint32_t, const uint16_t* wideTemplateName, uint32_t, uint32_t) {
  if (!lisp::os::isIntegerName(wideTemplateName))
    lisp::os::convertWideName(wideTemplateName, lisp::os::WideNameBuffer::First);
  noDialogs();
  return kModelessDialogFailed;
}

uint32_t vxm_createwindow_emu(const char* windowClass, const char* windowName, uint32_t style,
                              int32_t, int32_t, int32_t, int32_t, uint32_t parent, uint32_t,
                              uint32_t, uint32_t) {
  const uint16_t atom = lisp::os::isIntegerName(windowClass)
                            ? static_cast<uint16_t>(reinterpret_cast<uintptr_t>(windowClass))
                            : platform::windowClassAtom(windowClass);
  if (atom == 0) {
    platform::setLastSystemError(platform::system_error::kClassNotFound);
    return platform::kNoHandle;
  }
  return platform::createWindowOfClass({atom, windowName, style, parent});
}

int32_t vxm_ret0() {
  return 0;
}

int32_t vxm_sleep5() {
  sleepMilliseconds(kSleep5Milliseconds);
  return 0;
}

__attribute__((noinline)) void blartfcn() {
  asm volatile("");  // kept as a call: the entry exists to be called
}

int32_t vxm_dummy_entry(int32_t count, int32_t milliseconds, int32_t a, int32_t b, int32_t c,
                        int32_t d, int32_t e) {
  if (milliseconds > 0) sleepMilliseconds(milliseconds);
  for (int32_t i = 0; i < count; ++i)
    for (int32_t k = 0; k < kBlartCallsPerCount; ++k) blartfcn();
  uint32_t sum = 0;  // wraps as the machine's addition does
  for (int32_t word : {count, milliseconds, a, b, c, d, e}) sum += static_cast<uint32_t>(word);
  return static_cast<int32_t>(sum);
}

int32_t VXM_ID_lisp_build() {
  return kBuildNumber;
}

void VXMID_lisp_build_593() {}

}  // extern "C"
