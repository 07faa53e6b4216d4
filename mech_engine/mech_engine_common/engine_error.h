// The engine's single error record, its assertion report and its warning lines.
//
// A failing engine method calls setEngineError and returns its result (true =
// failure) straight to its caller; the model later fetches the record with
// getEngineError and formats `text` with the six `arguments` itself. Every
// string placeholder stays a literal "%s" in `text`, so the record is itself a
// printf format whose strings are the arguments.
#pragma once

#include <cstddef>

// Size of the static buffer that holds the formatted message, terminator included.
inline constexpr std::size_t kEngineErrorTextSize = 1024;
// Most string arguments a message may take.
inline constexpr int kEngineErrorArgumentCount = 6;

struct EngineErrorRecord {
  const char* text;                                  // the message; "%s" kept literally
  const char* arguments[kEngineErrorArgumentCount];  // block paths for the "%s", in order
};
static_assert(sizeof(EngineErrorRecord) == 7 * sizeof(void*), "seven words");

// Records a message. All string arguments come first in the call, one per "%s"
// in the order of the placeholders; the arguments of the other conversions
// follow. Always returns true so a failing method can return its result.
bool setEngineError(const char* format, ...);

// The process-wide record; the last setEngineError wins.
EngineErrorRecord* getEngineError();

// Prints the assertion report on standard output and returns: the engine goes
// on as if the condition had held. A null condition prints "Forced Assertion".
void assertionFailed(const char* condition, const char* detail, const char* sourcePath, int line);

// Reached in the default branch of every switch on a kind or mode code without
// a case for the value. Does nothing; execution continues after it.
void releaseAssertion();

// Formats "Warning: %s.\n" with the message into the static warning buffer and
// returns it; the caller uses the result as a printf format with its own arguments.
const char* formatWarning(const char* message);
