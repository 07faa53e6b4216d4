// Every text the logger and the matrix-file writer print or return. The
// "*** Error opening/writing ..." texts have no line end of their own.
#pragma once

namespace sim::log_text {

// Writing the file.
inline constexpr char kErrorOpening[] = "*** Error opening %s";
inline constexpr char kErrorWritingFile[] = "*** Error writing to %s";
inline constexpr char kErrorWritingDueTo[] = "*** Error writing %s due to: %s\n";
inline constexpr char kErrorWritingLogVariable[] = "*** Error writing log variable %s to file %s";
inline constexpr char kErrorWritingStructLogVariable[] =
    "*** Error writing structure log variable %s to file %s";
inline constexpr char kCreatedFile[] = "** created %s **\n\n";
inline constexpr char kUnexpectedDataItem[] =
    "Unexpected itemKind = DATA_ITEM in rt_ProcessQmfItem @A\n";
inline constexpr char kUnexpectedItemKind[] = "Unexpected itemKind=%d in rt_ProcessQmfItem @B\n";

// Reasons returned by fixupLogVariable.
inline constexpr char kReasonOpenDataFile[] = "unable to open data file\n";
inline constexpr char kReasonWriteDataFile[] = "unable to write data file\n";
inline constexpr char kReasonReadDataFile[] = "unable to read data file\n";

// Wrap report.
inline constexpr char kWrapped[] =
    "*** Log variable %s has wrapped %d times\n    using a circular buffer of size %d\n";
inline constexpr char kWrappedDefaultBuffer[] =
    "*** To avoid wrapping, explicitly specify a\n    buffer size of %d in your Blocvane model\n"
    "    by adding OPTS=\"-DDEFAULT_BUFFER_SIZE=%d\"\n    as an argument to the ConfigSet "
    "MakeCommand\n    parameter\n";

}  // namespace sim::log_text
