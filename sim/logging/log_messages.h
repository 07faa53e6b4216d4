// Every text the logger and the matrix-file writer print or return. The
// "*** Error writing ..." texts have no line end of their own.
#pragma once

namespace sim::log_text {

// Writing the file.
inline constexpr char kErrorOpening[] = "*** Error opening %s\n";
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

// Creating variables (standard error, except the default-buffer note).
inline constexpr char kMemoryAllocationError[] = "Memory allocation error";  // error status
inline constexpr char kInvalidDecimation[] = "Invalid logging decimation";   // error status
inline constexpr char kDecimationNotPositive[] =
    "*** Decimation %d for logging %s must be 1 or more\n";
inline constexpr char kUsingDefaultBuffer[] =
    "*** Using a default buffer of size %d for logging variable %s\n";
inline constexpr char kErrorAllocatingLogging[] = "*** Error allocating memory for logging %s\n";
inline constexpr char kTooBig[] =
    "\n*** Memory required to log variable '%s' is too\n    big. Use the 'Limit rows to last:' "
    "and (or)\n    'Decimation:' options to reduce the required\n    memory size.\n";
inline constexpr char kDetailsRequired[] =
    "*** Details:\n       varName         = %s\n       nRows           = %d\n       nCols     "
    "      = %d\n       elementSize     = %lu\n       Bytes Required  = %.16g\n\n";
inline constexpr char kDetailsRequested[] =
    "*** Details:\n       varName         = %s\n       nRows           = %d\n       nCols     "
    "      = %d\n       elementSize     = %lu\n       Bytes Requested = %.16g\n\n";
inline constexpr char kErrorAllocatingBuffer[] =
    "*** Error allocating memory for the circular buffer\n";
inline constexpr char kErrorAllocatingImaginaryBuffer[] =
    "*** Error allocating memory for the circular buffer for logging the imaginary part of %s\n";
inline constexpr char kErrorCreatingLogVariable[] = "*** Error creating log variable %s\n";
inline constexpr char kErrorCreatingSignalsStructure[] =
    "*** Error creating signals structure in the struct log variable %s\n";
inline constexpr char kErrorsStartingLogging[] =
    "*** Errors occurred when starting data logging.\n";

// Growing a buffer fails: the run cannot go on.
inline constexpr char kGrowFailed[] = "*** Memory allocation error.\n";
inline constexpr char kGrowFailedDetails[] =
    "    varName          = %s%s\n    nRows            = %d\n    nCols            = %d\n    "
    "elementSize      = %lu\n    Current Size     = %.16g\n    Failed resize    = %.16g\n\n";
inline constexpr char kGrowFailedImaginaryDetails[] =
    "    varName          = %s (complex part)\n    nRows            = %d\n    nCols            = "
    "%d\n    elementSize      = %lu\n    Current Size     = %.16g\n    Failed resize    = "
    "%.16g\n\n";
inline constexpr char kRealPartSuffix[] = " (real part)";

}  // namespace sim::log_text
