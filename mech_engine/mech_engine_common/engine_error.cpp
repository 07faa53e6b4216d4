#include "mech_engine_common/engine_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

// Invariant: after setEngineError, record.text points at errorText, which is
// always terminated, and holds exactly as many "%s" as there are non-null
// arguments (at most six).

namespace {

// Stand-in for the '%' of a placeholder that must survive the formatting pass.
constexpr char kPlaceholderMarker = 7;

constexpr std::size_t kWarningTextSize = 1024;

EngineErrorRecord record;
char errorText[kEngineErrorTextSize];
char warningText[kWarningTextSize];

}  // namespace

bool setEngineError(const char* format, ...) {
  record = EngineErrorRecord{};

  char local[kEngineErrorTextSize];
  std::snprintf(local, sizeof local, "%s", format != nullptr ? format : "");

  va_list args;
  va_start(args, format);
  int stored = 0;
  for (char* p = local; p[0] != '\0'; ++p) {
    if (p[0] != '%') continue;
    if (p[1] == 's') {
      const char* argument = va_arg(args, const char*);
      if (stored < kEngineErrorArgumentCount) {
        record.arguments[stored++] = argument;
        p[0] = kPlaceholderMarker;
      } else {
        // A seventh string has no slot: print a plain '%' in its place rather
        // than leave a "%s" that the caller's formatting would read past its
        // six arguments.
        p[0] = kPlaceholderMarker;
        p[1] = kPlaceholderMarker;
      }
      ++p;
    } else if (p[1] == '%') {
      // A literal percent must stay "%%" for the caller's own formatting.
      p[0] = kPlaceholderMarker;
      p[1] = kPlaceholderMarker;
      ++p;
    }
  }
  // The remaining arguments belong to the numeric conversions; the markers pass
  // through unchanged. vsnprintf bounds and terminates the text.
  std::vsnprintf(errorText, sizeof errorText, local, args);
  va_end(args);

  for (char* p = errorText; *p != '\0'; ++p) {
    if (*p == kPlaceholderMarker) *p = '%';
  }
  record.text = errorText;
  return true;
}

EngineErrorRecord* getEngineError() {
  return &record;
}

void assertionFailed(const char* condition, const char* detail, const char* sourcePath, int line) {
  std::printf("\n");
  std::printf("-------------------------------------------------------------------------\n");
  std::printf("%24s%s%22s\n", "", "Fyrnomic Assertion", "");
  std::printf("-------------------------------------------------------------------------\n\t");
  if (condition != nullptr) {
    std::printf("Assertion Failed %s ", condition);
  } else {
    std::printf("Forced Assertion ");
  }
  std::printf("at line %i of file \"%s\".\n", line, sourcePath);
  if (detail != nullptr) std::printf("\t%s\n", detail);
  std::printf("\n\n");
  std::fflush(stdout);
}

void releaseAssertion() {}

const char* formatWarning(const char* message) {
  std::snprintf(warningText, sizeof warningText, "Warning: %s.\n", message);
  return warningText;
}
