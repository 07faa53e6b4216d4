// Every text that the heap image writer and reader print, in one place.
// Format texts take their arguments in the order shown. The reader's
// failures go to standard error; the writer's granularity note to standard
// output.
#pragma once

namespace image_file::text {

// ---- writer ----
inline constexpr char kGranularity[] = "Expected granularity of %d, got %d\n";

// ---- reader: the file and its header ----
inline constexpr char kMapping[] = "Mapping";
inline constexpr char kReading[] = "Reading";
inline constexpr char kMappingOrReading[] = "%s %s\n";
inline constexpr char kCannotOpen[] = "Cannot open file %s\n";
inline constexpr char kHeaderCorrupted[] = "The image file's header is corrupted\n";
inline constexpr char kWrongVersion[] =
    "\nThe image file %s has version %d, we only accept version %d\n";
inline constexpr char kCharacterSetDiffers[] =
    "\n\nError: The lisp executable and image file differ\n"
    "as to the use of the international character set\n\n";
inline constexpr char kTruncatedTable[] = "Truncated image file\n";
inline constexpr char kTruncated[] = "image file has been truncated\n";
inline constexpr char kChecksumReadError[] = "Error reading image.\n";
inline constexpr char kChecksumFailed[] = "Image checksum failed.\n";
inline constexpr char kSeekFailed[] = "Seek failed.\n";
inline constexpr char kCannotMapPages[] = "Can't map in the pages, will just read them (err=%d)\n";

// ---- reader: the native heap ----
inline constexpr char kSettingUpCHeap[] = "Setting up C heap, ";
inline constexpr char kNoSpaceForCHeap[] = "Unable to locate enough free space to restore C heap\n";
inline constexpr char kCHeapRelocated[] = "C heap is being relocated by %d bytes\n";
inline constexpr char kCannotMapCData[] = "Can't map in C data\n";
inline constexpr char kCannotReserveCSpace[] = "Can't reserve the rest of the C space\n";
inline constexpr char kNoSwapForMalloc[] = "Can't get swap space for malloc data\n";
inline constexpr char kTruncatedCData[] = "Truncated file in C data read\n";
inline constexpr char kMallocReadFailed[] = "malloc space read failed\n";
inline constexpr char kCannotGetToCData[] = "Can't get to C data\n";
inline constexpr char kErrorRestoringCData[] = "Error restoring C data\n";
inline constexpr char kCHeapMoveUnsupported[] =
    "C heap has to be relocated -- this isn't supported yet\n";
inline constexpr char kCHeapNotRelocatable[] =
    "C can't be moved because some vxmmalloc objects are not relocatable\n";

// ---- reader: the pure library and the Lisp heap ----
inline constexpr char kLibraryRelocated[] = "\npure lisp library being relocated by %d bytes\n";
inline constexpr char kSettingUpLispHeap[] = "Setting up Lisp heap.\n";
inline constexpr char kNoSpaceForLispHeap[] =
    "Unable to locate enough free space to restore lisp heap\n";
inline constexpr char kLispHeapRelocated[] = "lisp heap being relocated by %d bytes\n";
inline constexpr char kGapCommitFailed[] = "memory allocation failure";
inline constexpr char kCannotMapArea[] =
    "couldn't map the image file where it needs to be mapped\n";
inline constexpr char kLastRegionCommitFailed[] = "Couldn't commit the last region\n";
inline constexpr char kScalingBack[] =
    "Temporarily scaling back lisp reserved region from %d to\n%d bytes. Scaling back is normal "
    "and is typically not a matter\nfor concern.  This message is printed for record only.\n";
inline constexpr char kAreaReadFailed[] = "Read error from image file\n";
inline constexpr char kLispHeapReport[] =
    "Lisp Heap\n reserved: %d (0x%x) to %d (0x%x) desired,\n %d (0x%x) actual = %d bytes\n";
inline constexpr char kNativeHeapReport[] =
    "C Heap\n reserved %d: (0x%x) to %d (0x%x) desired,\n %d (0x%x) actual = %d bytes\n";
inline constexpr char kCurrentlyUsing[] = " currently using %d bytes\n";
inline constexpr char kCHeapBelowLispHeap[] = "C heap (0x%x) must be above lisp heap (0x%x)\n";

}  // namespace image_file::text
