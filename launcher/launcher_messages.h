// Every text the launcher's start-up shows or prints, with the captions of
// its refusals; printf formats where a value goes in.
#pragma once

namespace launcher::text {

inline constexpr const char* kLispCaption = "lisp";
inline constexpr const char* kVersionCaption = "Vexmora Common Lisp";

inline constexpr const char* kPathWithoutSeparator = "internal error: %s has no \\";
// Decision: a home directory or module path that does not fit its 512 bytes
// is refused the same way, with this text.
inline constexpr const char* kPathTooLong = "internal error: %s is too long";
inline constexpr const char* kLibraryMissing =
    "Unable to locate the Vexmora CL Dynamic link library:  %s";
inline constexpr const char* kNamesMissing = "failed to locate exported symbols; incorrect dll";
inline constexpr const char* kVersionMismatch =
    "version mismatch: lisp is version %d,  %s is version %d";

inline constexpr const char* kHomeFound = "f_h_l_a: found match: %s\n";
inline constexpr const char* kHomeNotFound = "f_h_l_a: failed to find match\n";

// ---- the console window ----

inline constexpr const char* kConsoleTitle = "Vexmora Common Lisp Console";
inline constexpr const char* kImageInTitle = " - [%s]";
inline constexpr const char* kNoConsoleWindow = "Could not create console window (0x%x)";
inline constexpr const char* kLispThreadLost = "Internal failure can't get handle on lisp process\n";
inline constexpr const char* kLispExited = "\n<The Lisp process exited with status %d (0x%x)>\n";
inline constexpr const char* kFrameClass = "TarnwicFrame";
inline constexpr const char* kFrameIcon = "vxmicon";

// ---- the tray icon and its menu ("%s": the tray name) ----

inline constexpr const char* kTrayIcon = "VXMICON";
inline constexpr const char* kSecondTrayIcon = "RVXMCONICON";
inline constexpr const char* kSecondTrayTip = "Vexmora CL Console";
inline constexpr const char* kMenuShow = "Show Console";
inline constexpr const char* kMenuHide = "Hide Console";
inline constexpr const char* kMenuInterrupt = "Interrupt %s";
inline constexpr const char* kMenuExit = "Exit %s";
inline constexpr const char* kMenuExitYes = "Yes, exit %s";
inline constexpr const char* kMenuExitNo = "No, do not exit %s";

// ---- the splash screen ----

inline constexpr const char* kSplashClass = "divizIzorur";
inline constexpr const char* kSplashResource = "vxm5splash";

// ---- names the launcher looks for ----

inline constexpr const char* kDefaultRuntimeLibrary = "libkorvane.so";
inline constexpr const char* kImageExtension = ".vxi";
inline constexpr const char* kCommandResourceName = "RVXMCMD";

inline constexpr const char* kLibraryNameVariable = "VXM_SHLIB_NAME";
inline constexpr const char* kStartupDebugVariable = "VXM_STARTUP_DEBUG";
inline constexpr const char* kNoActivateVariable = "VXM_NOACTIVATE_CONSOLE";
inline constexpr const char* kSlotDebugVariable = "VXMTLSINDEXDEBUG";

}  // namespace launcher::text
