// Window classes: registration and its refusals, windows of a class calling
// the class's callee-pops procedure, and the relations between windows.

#include "platform/window_classes.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "platform/window_look.h"

namespace {

using namespace platform;

struct Call {
  Handle window;
  uint32_t message, wParam, lParam;
};
Call last_call;

uint32_t __attribute__((stdcall))
recordingProcedure(Handle window, uint32_t message, uint32_t wParam, uint32_t lParam) {
  last_call = {window, message, wParam, lParam};
  return message + 1000;
}

// A class of its own for each test; names differ only by the test's name.
uint16_t classFor(const std::string& name) {
  const uint16_t atom = registerWindowClass(name.c_str(), recordingProcedure, 0);
  EXPECT_GE(atom, kFirstClassAtom);
  return atom;
}

Handle windowOf(uint16_t atom, uint32_t style = 0, Handle parent = kNoHandle,
                const char* text = nullptr) {
  return createWindowOfClass({atom, text, style, parent});
}

TEST(WindowClasses, NamesAreRegisteredOnceWhateverTheirCase) {
  const uint16_t atom = classFor("Registry Probe");
  EXPECT_EQ(windowClassAtom("registry PROBE"), atom);
  EXPECT_EQ(registerWindowClass("REGISTRY probe", recordingProcedure, 0), 0);
  EXPECT_EQ(lastSystemError(), system_error::kClassExists);
  EXPECT_NE(classFor("Registry Probe 2"), atom);
}

TEST(WindowClasses, RefusesWhatCannotBeAClass) {
  struct Case {
    const char* name;
    ClassWindowProcedure procedure;
  };
  for (const Case& c : {Case{nullptr, recordingProcedure}, Case{"", recordingProcedure},
                        Case{"No Procedure", nullptr}}) {
    setLastSystemError(0);
    EXPECT_EQ(registerWindowClass(c.name, c.procedure, 0), 0);
    EXPECT_EQ(lastSystemError(), system_error::kInvalidParameter);
  }
  EXPECT_EQ(windowClassAtom("Never Registered"), 0);
  EXPECT_EQ(lastSystemError(), system_error::kClassNotFound);
  EXPECT_EQ(windowClassAtom(nullptr), 0);
}

TEST(WindowClasses, AWindowCallsItsClassProcedure) {
  const Handle window = windowOf(classFor("Calling Probe"), kStyleSystemMenu, kNoHandle, "Title");
  ASSERT_NE(window, kNoHandle);
  last_call = {};
  EXPECT_EQ(sendMessage(window, 7, 8, 9), 1007u);
  EXPECT_EQ(last_call.window, window);
  EXPECT_EQ(last_call.wParam, 8u);
  EXPECT_EQ(last_call.lParam, 9u);
  ASSERT_TRUE(postWindowMessage(window, 11, 12, 13));
  Message message{};
  ASSERT_TRUE(peekMessageFiltered(&message, window, 0, 0, true));
  EXPECT_EQ(dispatchMessage(&message), 1011u);
  EXPECT_EQ(last_call.lParam, 13u);
  WindowLook look;
  ASSERT_TRUE(readWindowLook(window, &look));
  EXPECT_EQ(look.text, "Title");
  EXPECT_EQ(look.style, kStyleSystemMenu);
  closeHandle(window);
}

TEST(WindowClasses, CreationRefusals) {
  const uint16_t atom = classFor("Refusal Probe");
  const Handle gone = windowOf(atom);
  closeHandle(gone);
  struct Case {
    WindowCreation creation;
    uint32_t error;
  };
  const Case cases[] = {
      {{0x1234, nullptr, 0, kNoHandle}, system_error::kClassNotFound},
      {{0xFFFF, nullptr, 0, kNoHandle}, system_error::kClassNotFound},
      {{atom, nullptr, kStyleChild, kNoHandle}, system_error::kChildWithoutParent},
      {{atom, nullptr, kStyleChild, gone}, system_error::kInvalidWindowHandle},
      {{atom, nullptr, 0, 0x7777770}, system_error::kInvalidWindowHandle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    setLastSystemError(0);
    EXPECT_EQ(createWindowOfClass(c.creation), kNoHandle);
    EXPECT_EQ(lastSystemError(), c.error);
  }
}

TEST(WindowClasses, RelationsFollowTheStackingOrder) {
  const uint16_t atom = classFor("Relation Probe");
  const Handle parent = windowOf(atom);
  const Handle a = windowOf(atom, kStyleChild, parent);
  const Handle b = windowOf(atom, kStyleChild, parent);
  const Handle c = windowOf(atom, kStyleChild, parent);
  const Handle owned = windowOf(atom, 0, parent);
  const Handle grandchild = windowOf(atom, kStyleChild, a);
  const auto rel = [](Handle w, WindowRelation r) {
    return relatedWindow(w, static_cast<uint32_t>(r));
  };
  using R = WindowRelation;
  struct Case {
    Handle from;
    R relation;
    Handle expected;
  };
  const Case cases[] = {
      {parent, R::FirstChild, c}, {c, R::NextSibling, b},          {b, R::NextSibling, a},
      {a, R::NextSibling, 0},     {a, R::PreviousSibling, b},      {c, R::PreviousSibling, 0},
      {a, R::FirstSibling, c},    {c, R::LastSibling, a},          {a, R::Owner, 0},
      {owned, R::Owner, parent},  {parent, R::Owner, 0},           {a, R::FirstChild, grandchild},
      {b, R::FirstChild, 0},      {owned, R::NextSibling, parent}, {owned, R::FirstSibling, owned},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.from << " relation " << static_cast<int>(k.relation));
    EXPECT_EQ(rel(k.from, k.relation), k.expected);
  }
  // Brought to the front, a child tops its siblings.
  ASSERT_TRUE(bringToForeground(a));
  EXPECT_EQ(rel(parent, R::FirstChild), a);
  EXPECT_EQ(rel(a, R::NextSibling), c);
  // A closed sibling drops out of the order.
  closeHandle(c);
  EXPECT_EQ(rel(a, R::NextSibling), b);
  for (Handle w : {grandchild, owned, b, a, parent}) closeHandle(w);
}

TEST(WindowClasses, AMessageOnlyWindowIsATopLevelWindowWithoutOwner) {
  const uint16_t atom = classFor("Message Only Probe");
  for (uint32_t style : {0u, kStyleChild}) {
    const Handle window = windowOf(atom, style, kMessageOnlyParent);
    ASSERT_NE(window, kNoHandle);
    EXPECT_EQ(relatedWindow(window, static_cast<uint32_t>(WindowRelation::Owner)), kNoHandle);
    EXPECT_EQ(relatedWindow(window, static_cast<uint32_t>(WindowRelation::FirstSibling)), window);
    closeHandle(window);
  }
}

TEST(WindowClasses, RelationRefusals) {
  const Handle window = windowOf(classFor("Relation Refusal Probe"));
  setLastSystemError(0);
  EXPECT_EQ(relatedWindow(window, 6), kNoHandle);
  EXPECT_EQ(lastSystemError(), system_error::kInvalidParameter);
  closeHandle(window);
  EXPECT_EQ(relatedWindow(window, 0), kNoHandle);
  EXPECT_EQ(lastSystemError(), system_error::kInvalidWindowHandle);
}

TEST(WindowClasses, NoPointLiesOnAWindow) {
  const Handle window = windowOf(classFor("Point Probe"));
  EXPECT_EQ(windowAtPoint(0, 0), kNoHandle);
  setLastSystemError(0);
  EXPECT_EQ(childWindowAtPoint(window, 1, 1), kNoHandle);
  EXPECT_EQ(lastSystemError(), 0u);
  EXPECT_EQ(childWindowAtPoint(0x7777770, 1, 1), kNoHandle);
  EXPECT_EQ(lastSystemError(), system_error::kInvalidWindowHandle);
  closeHandle(window);
}

}  // namespace
