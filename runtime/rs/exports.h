// Marks a definition as exported from libkorvane.so (the default is hidden);
// the version script korvane.map must list the name too.
#pragma once

#define KORVANE_EXPORT __attribute__((visibility("default")))
