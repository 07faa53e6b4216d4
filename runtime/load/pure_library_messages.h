// Every text that finding, mapping and attaching the pure Lisp library
// prints. Format texts take their arguments in the order shown.
#pragma once

namespace pure_library::text {

// ---- fatal (the console while one is up, else standard error; then lisp_exit(-1)) ----
inline constexpr char kCannotOpen[] = "Can't open lso file %s (error: %x) \n";  // name, errno
inline constexpr char kCannotMap[] = "Can't map the lso file into memory\n";
inline constexpr char kNotValid[] = "%s is not a valid lso file\n";  // name
inline constexpr char kCannotMapAnywhere[] = "Can't map lso file in anywhere\n";
inline constexpr char kCannotMapAtAll[] = "couldn't map lso file at all\n";
inline constexpr char kTimestampMismatch[] =
    "Timestamp mismatch on %s (%x vs %x).\n";  // name, expected, found
inline constexpr char kVersionMismatch[] =
    "Version mismatch (%d!=%d), lisp shared-library %s.\n";  // expected, found, name
inline constexpr char kNotFound[] = "The required vpl file, %s,\ncould not be found.\n";

// ---- progress (as the fatal ones, only with verbose_startup) ----
inline constexpr char kMapping[] = "Mapping %s, ";
inline constexpr char kMappedWhereDesired[] = "lso mapped where desired: %x\n";
inline constexpr char kMappedWhereOsChose[] = "lso file mapped at os chosen location: %x\n";
inline constexpr char kMappedWhereBefore[] = "lso file mapped where mapped before: %x\n";
inline constexpr char kMappedAt[] = "lso file mapped at location: %x\n";
inline constexpr char kMustRelocate[] = "lso used to be at %x - must relocate\n";

// ---- set_lso_file (the console printer) ----
inline constexpr char kUnlinkingRefused[] = "Unlinking of lso files not supported\n";
inline constexpr char kForcedRelocation[] = "Mapping %s forced relocation\n";
inline constexpr char kLinking[] = "Linking %s, ";  // only with verbose_startup
inline constexpr char kLinkingDone[] = "done.\n";   // only with verbose_startup

}  // namespace pure_library::text
