// Finding the heap image: the default image beside the runtime's home or in
// the current directory, a named image in the current directory first, and
// the fallbacks that ask the user for a name.
//
// Names are built in 512-byte buffers; a name that does not fit is refused
// ("File name too long: ...", status 1) and never cut short. "/" and "\" both
// end a directory part; names this code builds use "/".
#pragma once

#include <cstddef>

extern "C" {

inline constexpr size_t kImageNameBytes = 512;

// A function without arguments that supplies an image name, or null.
using image_name_fallback = const char* (*)();

// The name of a readable default image: `programName` (or lisp_init's
// default image name) with ".vxi" for its extension, looked for in
// `directory` and then in the current directory; else the fallback's
// non-empty answer, unchecked; else null. The result lives in a static buffer.
const char* get_default_image_file(const char* directory, const char* programName,
                                   image_name_fallback fallback, int debug);

// A newly allocated 512-byte buffer (the caller frees it with free) naming a
// readable file, or null: `name` with `defaultExtension` when its last part
// has no ".", taken as it is when it holds a directory part, else looked for
// in the current directory, then in home_location, then in `extraDirectory`.
char* find_image_file(const char* name, const char* defaultExtension, const char* extraDirectory,
                      int debug);

// 1 when the current directory is `directory`, else 0. Ends the process with
// status 1 (without the exit callback) when the directory cannot be computed.
int in_home_location_p(const char* directory);

// Prints "Imagefile: " and reads one line from standard input; the name
// without its line end, or null at end of input or for a line longer than
// 511 characters. Under a launcher with a console window both go through the
// host record's descriptors 1 and 0 instead.
const char* read_image_file_name_cmdline();
// The window-application variant; without a display it asks the same way.
const char* read_image_file_name();
}

namespace startup {
// The text after the last "/" or "\" of `path` (all of it when it has none).
const char* baseName(const char* path);
}  // namespace startup
