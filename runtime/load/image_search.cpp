// Image search. Every name is composed into a fixed 512-byte buffer through
// one bounded formatter, and a name that does not fit ends start-up with a
// message instead of overrunning the buffer.

#include "runtime/load/image_search.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/load/startup.h"
#include "runtime/load/startup_messages.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_presence.h"

namespace {

namespace text = startup::text;

constexpr char kImageExtension[] = ".vxi";
constexpr char kSeparator = '/';  // what the search writes between directory and name

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

bool hasSeparator(const char* path) {
  for (; *path; ++path)
    if (isSeparator(*path)) return true;
  return false;
}

// Decision: a directory that is null or empty is no directory to search in;
// "/name" is not a name anyone asked for.
bool isDirectoryGiven(const char* directory) {
  return directory && *directory;
}

// Under a launcher with a console, the console is where a person types: the
// prompt and the answer go through the host record's descriptors 1 and 0,
// as every console stream does. Without one (no host record, or no console
// window to type into) the process's own streams ask.
host::HostRecord* consoleToAskOn() {
  host::HostRecord* record = lisp::os::hostRecord();
  return record && record->consoleWindow != 0 && record->readHook && record->writeHook ? record
                                                                                        : nullptr;
}

// The prompt on descriptor 1, then one typed line, a byte at a time so that
// nothing behind the line is taken from the Lisp's input. The
// same answers as the process's streams give: the name without its line
// end; null at end of input before any byte, or for a line longer than 511
// characters (read away to its end).
const char* askOnConsole(host::HostRecord* console, char (&line)[kImageNameBytes]) {
  // The name is what the person types. Descriptor 0 gives a "+s" script's
  // lines first (the script is the Lisp's input); descriptor 1, the console
  // stream the prompt went to, reads the typed input alone.
  constexpr int32_t kTypedInput = host::kStandardOutput;
  int32_t error = 0;
  console->writeHook(host::kStandardOutput, text::kImageFilePrompt,
                     static_cast<int32_t>(std::strlen(text::kImageFilePrompt)), &error);
  size_t length = 0;
  bool tooLong = false;
  for (;;) {
    char byte = 0;
    error = 0;
    const int32_t got = console->readHook(kTypedInput, &byte, 1, &error);
    if (got < 0 && error == host::kErrorInterrupted) continue;  // a message woke the wait
    if (got <= 0) {
      if (length == 0 || tooLong) return nullptr;
      break;  // the input ended behind a name without a line end
    }
    if (byte == '\n') break;
    if (length + 1 < sizeof line)
      line[length++] = byte;
    else
      tooLong = true;
  }
  if (tooLong) return nullptr;
  if (length > 0 && line[length - 1] == '\r') --length;
  line[length] = '\0';
  return line;
}

bool readable(const char* path) {
  return access(path, R_OK) == 0;
}

// Formats into `buffer` (kImageNameBytes); a result that does not fit is
// refused: the message names what was being built, and start-up ends.
void composeName(char* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
void composeName(char* buffer, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int needed = std::vsnprintf(buffer, kImageNameBytes, format, arguments);
  va_end(arguments);
  if (needed >= 0 && static_cast<size_t>(needed) < kImageNameBytes) return;
  va_start(arguments, format);
  std::fputs("File name too long: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputs("\n", stderr);
  va_end(arguments);
  std::fflush(stderr);
  lisp_exit(1);
}

void debugPrint(int debug, const char* format, const char* argument = nullptr) {
  if (!debug) return;
  std::fprintf(stderr, format, argument);
  std::fflush(stderr);
}

// Looks for `path` and reports the outcome under the debug flag.
bool probe(int debug, const char* path) {
  const bool found = readable(path);
  debugPrint(debug, found ? text::kFound : text::kNotFound);
  return found;
}

// The name typed at the prompt, or null.
const char* askForImageName() {
  static char line[kImageNameBytes];
  if (host::HostRecord* console = consoleToAskOn()) return askOnConsole(console, line);
  std::fputs(text::kImageFilePrompt, stdout);
  std::fflush(stdout);
  if (!std::fgets(line, sizeof line, stdin)) return nullptr;
  size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
  } else if (!std::feof(stdin)) {
    // Decision: a line longer than 511 characters names no image; its
    // remainder is read away so that a cut name is never used.
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    return nullptr;
  }
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  return line;
}

}  // namespace

namespace startup {

const char* baseName(const char* path) {
  const char* base = path;
  for (const char* c = path; *c; ++c)
    if (isSeparator(*c)) base = c + 1;
  return base;
}

}  // namespace startup

extern "C" {

KORVANE_EXPORT const char* get_default_image_file(const char* directory, const char* programName,
                                                  image_name_fallback fallback, int debug) {
  static char imageName[kImageNameBytes];
  static char pathName[kImageNameBytes];

  if (lisp_default_image_name) {
    programName = lisp_default_image_name;
    debugPrint(debug, text::kUsingSuppliedImage, programName);
  }
  if (programName) {
    // The extension is replaced from the last "." on, wherever that "." lies.
    const char* dot = std::strrchr(programName, '.');
    const int stemLength = static_cast<int>(dot ? dot - programName
                                                : static_cast<ptrdiff_t>(std::strlen(programName)));
    composeName(imageName, "%.*s%s", stemLength, programName, kImageExtension);

    if (isDirectoryGiven(directory)) {
      composeName(pathName, "%s%c%s", directory, kSeparator, imageName);
      debugPrint(debug, text::kLookingForImage, pathName);
      if (probe(debug, pathName)) return pathName;
    }
    debugPrint(debug, text::kLookingForImageHere, imageName);
    if (probe(debug, imageName)) return imageName;
  }

  if (fallback) {
    const char* supplied = fallback();
    if (supplied && *supplied) return supplied;
  }
  return nullptr;
}

KORVANE_EXPORT char* find_image_file(const char* name, const char* defaultExtension,
                                     const char* extraDirectory, int debug) {
  if (!name) return nullptr;
  auto* buffer = static_cast<char*>(std::malloc(kImageNameBytes));
  if (!buffer) return nullptr;
  const bool needsExtension = defaultExtension && !std::strchr(startup::baseName(name), '.');
  composeName(buffer, "%s%s", name, needsExtension ? defaultExtension : "");

  if (hasSeparator(buffer)) {
    debugPrint(debug, text::kLookingForFile, buffer);
    if (probe(debug, buffer)) return buffer;
    std::free(buffer);
    return nullptr;
  }

  debugPrint(debug, text::kLookingInCurrentDirectory, buffer);
  if (probe(debug, buffer)) return buffer;

  char candidate[kImageNameBytes];
  const char* directories[] = {in_home_location_p(home_location) ? nullptr : home_location,
                               extraDirectory};
  for (const char* directory : directories) {
    if (!isDirectoryGiven(directory)) continue;
    composeName(candidate, "%s%c%s", directory, kSeparator, buffer);
    debugPrint(debug, text::kLookingFor, candidate);
    if (probe(debug, candidate)) {
      std::memcpy(buffer, candidate, kImageNameBytes);
      return buffer;
    }
  }
  std::free(buffer);
  return nullptr;
}

int in_home_location_p(const char* directory) {
  char workingDirectory[kImageNameBytes];
  if (!getcwd(workingDirectory, sizeof workingDirectory)) {
    std::fputs(text::kComputewdFailed, stderr);
    std::exit(1);
  }
  return std::strcmp(workingDirectory, directory) == 0 ? 1 : 0;
}

const char* read_image_file_name_cmdline() {
  // No Lisp comes unless a name is typed: what is sent for one meanwhile
  // (a console's close) is refused, and the close answers the prompt.
  lisp::presence::setComing(false);
  const char* name = askForImageName();
  if (name) lisp::presence::setComing(true);
  return name;
}

const char* read_image_file_name() {
  return read_image_file_name_cmdline();
}

}  // extern "C"
