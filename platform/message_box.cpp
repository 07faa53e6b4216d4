#include "platform/message_box.h"

#include <cstdio>
#include <cstring>

namespace platform {

void showMessageBox(const char* caption, const char* text) {
  if (!text) text = "";
  // A box has no trailing line ends; the report ends with exactly one.
  int length = static_cast<int>(std::strlen(text));
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (caption && *caption)
    std::fprintf(stderr, "%s: %.*s\n", caption, length, text);
  else
    std::fprintf(stderr, "%.*s\n", length, text);
  std::fflush(stderr);
}

}  // namespace platform
