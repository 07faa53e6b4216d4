// Every text that the build from scratch prints, in one place. Format texts
// take their arguments in the order shown. A name that does not fit its
// buffer is refused with the start-up road's own text (startup_messages.h).
#pragma once

namespace build::text {

// ---- options ----
inline constexpr char kIllegalArgument[] = "Illegal argument %s\n";
inline constexpr char kMissingBundleName[] = "missing filename after -B\n";
inline constexpr char kMissingLibraryName[] = "missing filename after -c\n";
inline constexpr char kMissingConcurrencyLimit[] = "missing concurrency limit after -cl\n";
inline constexpr char kIgnoringFaslOption[] = "ignoring -F%c\n";
inline constexpr char kMissingFlags[] = "missing flags after -fg\n";
inline constexpr char kMissingHeapSize[] = "missing size after -h\n";
inline constexpr char kMissingNewSize[] = "missing size after -n\n";
inline constexpr char kMissingOldSize[] = "missing size after -o\n";
inline constexpr char kMissingSampleFile[] = "missing sample filename after -P%c\n";
inline constexpr char kMissingSizeFile[] = "missing size filename after -P%c\n";
inline constexpr char kIgnoringProfileOption[] = "ignoring -P%c\n";
inline constexpr char kMissingReserveSize[] = "missing reserve-size after -r\n";
inline constexpr char kMissingStringFile[] = "missing string file after -st\n";
inline constexpr char kMissingGeneration[] = "missing generation after -t\n";

// ---- sizes ----
inline constexpr char kIllegalMultiplier[] = "illegal multiplier for size: %c\n";
inline constexpr char kIllegalSize[] = "illegal size: %s\n";

// ---- warnings ----
inline constexpr char kHeapAboveMaximum[] =
    "Maximum heap size is less than given values for -n and -o\n";

}  // namespace build::text
