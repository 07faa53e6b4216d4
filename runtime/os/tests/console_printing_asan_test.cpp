// The console printer alone under AddressSanitizer, over a recording
// cl_write: a text longer than the line buffer is cut, never written past it.

#include <gtest/gtest.h>

#include <string>

#include "runtime/os/console_printing.h"
#include "runtime/os/pseudo_descriptors.h"

namespace {
int32_t written_descriptor = -1;
std::string written_text;
}  // namespace

extern "C" int32_t cl_write(int32_t descriptor, const char* buffer, int32_t start, int32_t count) {
  written_descriptor = descriptor;
  written_text.assign(buffer + start, static_cast<size_t>(count));
  return count;
}

// No host record: start-up failures go to standard error.
host::HostRecord* lisp::os::hostRecord() {
  return nullptr;
}

namespace {

TEST(ConsolePrintingBounds, TextsBeyondTheBufferAreCut) {
  for (size_t length : {1022u, 1023u, 1024u, 2000u, 70000u}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'q');
    written_descriptor = -1;
    const int32_t expected = static_cast<int32_t>(std::min<size_t>(length, 1023));
    EXPECT_EQ(vxmprintf("%s", text.c_str()), expected);
    EXPECT_EQ(written_descriptor, 1);
    EXPECT_EQ(written_text, text.substr(0, 1023));
    EXPECT_EQ(vxmfprintf(stderr, "%s!", text.c_str()), std::min<int32_t>(expected + 1, 1023));
    EXPECT_EQ(dovxmprint1("%s", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(text.c_str()))),
              expected);
  }
}

}  // namespace
