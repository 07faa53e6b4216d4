// Every text that the start-up road and the start-up module's small services
// print, in one place. Format texts take their arguments in the order shown.
#pragma once

namespace startup::text {

// ---- fatal start-up errors ----
inline constexpr char kFirstThreadWithoutHeap[] = "first Lisp thread: no Lisp heap\n";
inline constexpr char kNoTlsIndex[] = "Could not allocate a TLS index\n";
inline constexpr char kBadWin32App[] =
    "\nBad win32app argument to lisp_init(); Most likely too few arguments\n"
    "were passed to lisp_init().  See the start-up notes for the current argument set.\n\n";
inline constexpr char kNoArgvMemory[] = "Can't get memory for argv\n";
inline constexpr char kNoImage[] = "No lisp image to load.\n";
inline constexpr char kImageNotFound[] = "Could not find image file %s.\n";
inline constexpr char kRestoreFailed[] = "Could not restore the image file:\n    %s.\n";
inline constexpr char kComputewdFailed[] = "computewd failed.\n";
inline constexpr char kNameTooLong[] = "File name too long: %s\n";
inline constexpr char kStartupLibraryMissing[] =
    "Failed to load required VexmoraStore library %s.\n"
    "Refer to the installation notes to check that proper\n"
    "installation and setup of Vexmorastore has been completed.\n";

// ---- image search (only with the start-up debug flag) ----
inline constexpr char kUsingSuppliedImage[] = "Using lisp_init() supplied value \"%s\"...\n";
inline constexpr char kLookingForImage[] = "Looking for image %s...";
inline constexpr char kLookingForImageHere[] = "Looking for image %s (in current directory)...";
inline constexpr char kLookingForFile[] = "Looking for file %s...";
inline constexpr char kLookingInCurrentDirectory[] = "Looking for %s in current directory...";
inline constexpr char kLookingFor[] = "Looking for %s...";
inline constexpr char kFound[] = "found.\n";
inline constexpr char kNotFound[] = "not found.\n";
inline constexpr char kImageFilePrompt[] = "Imagefile: ";

// ---- exit ----
inline constexpr char kExitBoxCaption[] = "vxm";
inline constexpr char kExitBoxText[] = "the lisp dll is exiting...hmm";

// ---- small services ----
inline constexpr char kMapFileError[] = "lisp_map_file: error: %d\n";
inline constexpr char kSyncMemError[] = "lisp_sync_mem: error: %d\n";
inline constexpr char kUnmapFileError[] = "lisp_unmap_file: error: %d\n";
inline constexpr char kUrgentWarning[] =
    "Warning: lisp has received %d interrupts to which it cannot yet respond.\n"
    "Receipt of %d more interrupt%s will cause a non-continuable error.\n";
inline constexpr char kXwritePrefix[] = "xwrite";
inline constexpr char kReleaseHeap[] = "release heap!~%";
inline constexpr char kReacquireHeap[] = "reacquire heap!~%";

}  // namespace startup::text
