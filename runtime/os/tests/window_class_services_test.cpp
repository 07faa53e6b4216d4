// Window classes registered with wide names, windows made of them through
// the exported wrapper and found again by their relations, and the point
// queries.

#include "runtime/os/window_class_services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "platform/window_look.h"
#include "runtime/os/wide_name_buffers.h"
#include "runtime/os/window_callbacks.h"
#include "runtime/os/window_entries.h"

namespace {

using lisp::os::WindowClassRecord;
using lisp::os::WindowClassRecordEx;

const uint16_t* wide(const char16_t* text) {
  return reinterpret_cast<const uint16_t*>(text);
}

uint32_t procedureWord(void* procedure) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(procedure));
}

struct LispSide {
  uint32_t message = 0;
  uint32_t calls = 0;
};
LispSide lisp_side;
uint32_t lispWindowFunction(uint32_t, uint32_t message, uint32_t, uint32_t) {
  lisp_side.message = message;
  ++lisp_side.calls;
  WProcResult1 = message * 2;
  return 0;
}

TEST(WindowClassServices, RegistersTheClassUnderItsConvertedName) {
  WindowClassRecord record{};
  record.procedure = procedureWord(reinterpret_cast<void*>(WProcWrapper1));
  const uint32_t atom = str_RegisterClass(&record, wide(u"Abc"), wide(u"Menu \u00e9"));
  EXPECT_NE(atom, 0u);
  EXPECT_LE(atom, 0xFFFFu);
  ASSERT_NE(record.className, nullptr);
  EXPECT_STREQ(record.className, "Abc");
  EXPECT_STREQ(record.menuName, "Menu \xc3\xa9");
  // Registered once only.
  WindowClassRecord again = record;
  EXPECT_EQ(str_RegisterClass(&again, wide(u"ABC"), nullptr), 0u);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kClassExists);
}

TEST(WindowClassServices, TheExtendedRecordMustGiveItsSize) {
  WindowClassRecordEx record{};
  record.procedure = procedureWord(reinterpret_cast<void*>(WProcWrapper2));
  EXPECT_EQ(str_RegisterClassEx(&record, wide(u"Extended Probe"), nullptr), 0u);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidParameter);
  record.size = sizeof record;
  const uint32_t atom =
      str_RegisterClassEx(&record, wide(u"Extended Probe"), reinterpret_cast<const uint16_t*>(7));
  EXPECT_NE(atom, 0u);
  EXPECT_STREQ(record.className, "Extended Probe");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(record.menuName), 7u);  // a resource number stays one
}

TEST(WindowClassServices, NamesThatCannotBeConvertedRegisterNothing) {
  WindowClassRecord record{};
  record.procedure = procedureWord(reinterpret_cast<void*>(WProcWrapper1));
  EXPECT_EQ(str_RegisterClass(nullptr, wide(u"X"), nullptr), 0u);
  EXPECT_EQ(str_RegisterClass(&record, nullptr, nullptr), 0u);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInvalidParameter);
  // A name whose bytes do not fit the conversion buffer.
  std::u16string tooLong(lisp::os::kWideNameBufferBytes / 2, u'\u0800');  // three bytes each
  EXPECT_EQ(str_RegisterClass(&record, wide(tooLong.c_str()), nullptr), 0u);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kInsufficientBuffer);
}

TEST(WindowClassServices, WideNamesConvertToUtf8) {
  using lisp::os::convertWideName;
  using lisp::os::WideNameBuffer;
  struct Case {
    std::u16string name;
    const char* expected;
  };
  const Case cases[] = {
      {u"", ""},
      {u"plain", "plain"},
      {u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {std::u16string(1, char16_t(0xD800)) + u"a", "?a"},  // a lone surrogate
      {std::u16string(1, char16_t(0xDC00)), "?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const char* converted = convertWideName(wide(c.name.c_str()), WideNameBuffer::Second);
    ASSERT_NE(converted, nullptr);
    EXPECT_STREQ(converted, c.expected);
  }
  // The longest name that fits, and one byte more.
  const std::u16string fits(lisp::os::kWideNameBufferBytes - 1, u'a');
  ASSERT_NE(convertWideName(wide(fits.c_str()), WideNameBuffer::First), nullptr);
  EXPECT_EQ(std::strlen(convertWideName(wide(fits.c_str()), WideNameBuffer::First)), fits.size());
  EXPECT_EQ(convertWideName(wide((fits + u"a").c_str()), WideNameBuffer::First), nullptr);
}

TEST(WindowClassServices, AWindowOfTheClassCallsLispThroughTheWrapper) {
  WindowClassRecord record{};
  record.procedure = procedureWord(reinterpret_cast<void*>(WProcWrapper1));
  const uint32_t atom = str_RegisterClass(&record, wide(u"Lisp Window Probe"), nullptr);
  ASSERT_NE(atom, 0u);
  WProcHandle1 = procedureWord(reinterpret_cast<void*>(lispWindowFunction));
  const uint32_t byName =
      vxm_createwindow_emu("lisp window probe", "Named", 0, 0, 0, 100, 100, 0, 0, 0, 0);
  ASSERT_NE(byName, 0u);
  const uint32_t byAtom = vxm_createwindow_emu(reinterpret_cast<const char*>(atom), "By atom", 0, 0,
                                               0, 100, 100, byName, 0, 0, 0);
  ASSERT_NE(byAtom, 0u);
  lisp_side = {};
  EXPECT_EQ(platform::sendMessage(byName, 21, 0, 0), 42u);
  EXPECT_EQ(lisp_side.message, 21u);
  platform::WindowLook look;
  ASSERT_TRUE(platform::readWindowLook(byAtom, &look));
  EXPECT_EQ(look.text, "By atom");
  // The second window is owned by the first and lies above it.
  EXPECT_EQ(vxm_getnextwindow_emu(byAtom, 4), byName);
  EXPECT_EQ(vxm_getnextwindow_emu(byAtom, 2), byName);
  EXPECT_EQ(vxm_getnextwindow_emu(byName, 3), byAtom);
  EXPECT_EQ(vxm_getnextwindow_emu(byName, 4), 0u);
  WProcHandle1 = 0;
  platform::closeHandle(byAtom);
  platform::closeHandle(byName);
}

TEST(WindowClassServices, UnknownClassesMakeNoWindow) {
  EXPECT_EQ(vxm_createwindow_emu("No Such Class", "", 0, 0, 0, 1, 1, 0, 0, 0, 0), 0u);
  EXPECT_EQ(platform::lastSystemError(), platform::system_error::kClassNotFound);
  EXPECT_EQ(vxm_createwindow_emu(nullptr, "", 0, 0, 0, 1, 1, 0, 0, 0, 0), 0u);
  EXPECT_EQ(
      vxm_createwindow_emu(reinterpret_cast<const char*>(0xFFFE), "", 0, 0, 0, 1, 1, 0, 0, 0, 0),
      0u);
}

TEST(WindowClassServices, NoWindowLiesUnderAPoint) {
  const lisp::os::ScreenPoint point{10, 20};
  EXPECT_EQ(WindowFromPoint_ptr(&point), 0u);
  EXPECT_EQ(WindowFromPoint_ptr(nullptr), 0u);
  EXPECT_EQ(ChildWindowFromPoint_ptr(0, &point), 0u);
  EXPECT_EQ(ChildWindowFromPoint_ptr(0, nullptr), 0u);
}

}  // namespace
