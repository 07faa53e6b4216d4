// Window looks: show commands, the foreground window, text, style and the
// system menu's Close item, and refusals for handles that are not windows.

#include <gtest/gtest.h>

#include "platform/message_queue.h"
#include "platform/window_look.h"

namespace {

using namespace platform;

uint32_t ignoreMessages(Handle, uint32_t, uint32_t, uint32_t) {
  return 0;
}

WindowLook lookOf(Handle window) {
  WindowLook look;
  EXPECT_TRUE(readWindowLook(window, &look));
  return look;
}

TEST(WindowLook, ShowCommandsMoveTheShowState) {
  const Handle window = createWindow(ignoreMessages);
  EXPECT_EQ(lookOf(window).show, ShowState::Hidden);
  struct Step {
    int32_t command;
    bool wasVisible;
    ShowState after;
  };
  const Step steps[] = {
      {kShow, false, ShowState::Shown},         {kMinimise, true, ShowState::Minimised},
      {kShow, true, ShowState::Minimised},      {kRestore, true, ShowState::Shown},
      {kShowMaximised, true, ShowState::Maximised}, {kShowHide, true, ShowState::Hidden},
      {kShowNormal, false, ShowState::Shown},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command);
    EXPECT_EQ(showWindow(window, step.command), step.wasVisible);
    EXPECT_EQ(lookOf(window).show, step.after);
  }
  closeHandle(window);
}

TEST(WindowLook, OneForegroundWindowTextStyleAndCloseItem) {
  const Handle first = createWindow(ignoreMessages);
  const Handle second = createWindow(ignoreMessages);
  EXPECT_TRUE(bringToForeground(first));
  EXPECT_TRUE(lookOf(first).foreground);
  EXPECT_TRUE(bringToForeground(second));
  EXPECT_FALSE(lookOf(first).foreground);
  EXPECT_TRUE(lookOf(second).foreground);

  EXPECT_TRUE(setWindowText(first, "title"));
  EXPECT_EQ(lookOf(first).text, "title");

  // No system menu, no Close item.
  EXPECT_EQ(setCloseItemState(first, kMenuGreyed), -1);
  EXPECT_TRUE(setWindowStyle(first, kStyleSystemMenu | kStyleMinimiseBox));
  EXPECT_EQ(setCloseItemState(first, kMenuGreyed | kMenuDisabled), 0);
  EXPECT_EQ(setCloseItemState(first, 0), static_cast<int32_t>(kMenuGreyed | kMenuDisabled));
  EXPECT_EQ(lookOf(first).style, kStyleSystemMenu | kStyleMinimiseBox);
  closeHandle(first);
  closeHandle(second);
}

TEST(WindowLook, HandlesThatAreNotWindowsAreRefused) {
  const Handle event = createEvent(true, false);
  const Handle gone = createWindow(ignoreMessages);
  closeHandle(gone);
  for (Handle handle : {event, gone, kNoHandle}) {
    WindowLook look;
    EXPECT_FALSE(showWindow(handle, kShow));
    EXPECT_FALSE(bringToForeground(handle));
    EXPECT_FALSE(setWindowText(handle, "x"));
    EXPECT_FALSE(setWindowStyle(handle, 0));
    EXPECT_EQ(setCloseItemState(handle, 0), -1);
    EXPECT_FALSE(readWindowLook(handle, &look));
  }
  closeHandle(event);
}

}  // namespace
