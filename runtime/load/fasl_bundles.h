// Fasl bundles in the runtime: finding an entry of the bundle file that
// `bundlename` names, and loading a fasl from the bundle or from disk,
// whichever copy is newer. The file format is in fasl_bundle_format.h.
//
// Every lookup opens the bundle afresh and closes it again unless it hands
// the open file to its caller. A missing or bad bundle reads as "not found":
// nothing (bundlefind), -1 (bundlefind_fd, search_bundle) or result 1 (the
// loads). A name argument that is not a Lisp string is not found either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/rs/lisp_value.h"

extern "C" {

// Set while the start-up file is loaded: a bundle load then prints ";" in
// place of its line unless raz_fasl_noisy is set.
extern uint32_t raz_fasl;

// The bundle's stream positioned at the fasl bytes of the first entry named
// `relativeName` (compared exactly) whose version is at least
// `minimumVersion`; the version is stored when `version` is not null. The
// stream gets `streamBuffer` (kBundleStreamBufferBytes) when one is given,
// else a buffer of its own. Null, with the bundle closed, when there is none.
std::FILE* bundlefind(const char* relativeName, char* streamBuffer, uint32_t minimumVersion,
                      uint32_t* version);
// A read-only descriptor of the bundle positioned at the first entry named
// exactly as the string (no version test, no canonical form), or -1.
int32_t bundlefind_fd(lisp::lispval name);
// The version of the first entry of the string's canonical lower-case name,
// or -1.
int32_t search_bundle(lisp::lispval name);
// Loads the first entry of the string's canonical lower-case name (link
// value 0); 1 when the bundle has none.
int load_from_bundle(lisp::lispval* segmentCell, lisp::lispval name, uint32_t readMode,
                     lisp::lispval thread);
// Loads "directory/name.fasl" from the bundle, or from under home_location
// when the disk copy is newer or a numbered copy exists; the loader's result,
// or 1 when neither copy can be had or a name does not fit.
int bundfasl(lisp::lispval* segmentCell, lisp::lispval directory, lisp::lispval name,
             uint32_t readMode, int32_t quiet, int32_t numberedVersions, lisp::lispval thread);
// Replaces the extension of `path` (a buffer of `room` bytes) by that of its
// highest numbered copy ("%03d", 1 to 998) and sets *found when there is one;
// leaves both alone otherwise. A path without a dot ends the process.
void find_most_recent_version(char* path, size_t room, int* found);
// The calling thread's value of the symbol in runtime global 56, the read
// mode the loaders store in curreadmode; 0 when it is not a fixnum.
uint32_t fasl_current_read_mode();

// ---- runtime routines (Lisp conventions; fasl_bundle_entries.S) ----
void fasl_bundle();
void fasl_bundle2();
void bundle_load();
void load_bundle2();
void bundle_find_fd();
void bundle_lookup();
void fasldesc();
}

namespace lisp::fasl {

inline constexpr size_t kBundleStreamBufferBytes = 512;
// The relative name and the disk path are built in buffers of this size.
// Decision: the size of home_location; a longer name is refused.
inline constexpr size_t kBundlePathBytes = 512;
inline constexpr uint32_t kReadModeGlobal = 56;
inline constexpr uint32_t kBundleHookGlobal = 299;
inline constexpr int kHighestNumberedCopy = 998;

namespace messages {
inline constexpr char kFaslFromBundle[] = "; fasl from bundle: %s\n";
inline constexpr char kFaslFromBundleQuiet[] = ";";
inline constexpr char kSkippingOneFile[] = "; 1 fasl-bundle skipping file %s...\n";
inline constexpr char kSkippingFile[] = "; %d fasl-bundle skipping file %s...\n";
inline constexpr char kCannotFindDot[] = "bundfasl: internal error: cannot find dot: %s\n";
inline constexpr char kBundleNameTooLong[] = "File name too long: %s\n";
}  // namespace messages
}  // namespace lisp::fasl
