// Message boxes, without a display: the box becomes one report on standard
// error, "caption: text" (the text alone when there is no caption), and the
// caller goes on as it would after the user closed the box.
#pragma once

namespace platform {

void showMessageBox(const char* caption, const char* text);

}  // namespace platform
