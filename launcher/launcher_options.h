// The launcher's own options: the words beginning '+' (and "-Q") that
// StartLisp applies to its settings and removes from the argument vector
// before the runtime sees it. The table is data; one loop applies it.
#pragma once

#include "launcher/argument_vector.h"
#include "launcher/launcher_settings.h"

namespace launcher {

// True for the options that take the next word as their value ("+s", "+d",
// "+t", "+b", "+N"); the argument vector's merge keeps such a pair together.
bool optionTakesValue(const char* word);

// Looks at element 1 while the vector has more than one element: applies and
// removes each option found there (with its value), and stops at the first
// element that is not one.
void applyLauncherOptions(LauncherSettings& settings, ArgumentVector& vector);

// The number after the '+' of a console-limit word: decimal digits up to the
// first other character, the largest int when it passes it.
int parseConsoleLimit(const char* digits);

}  // namespace launcher
