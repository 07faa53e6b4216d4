// Messages of the heap reservation, all on the standard error stream.
#pragma once

namespace heap_messages {

inline constexpr char kNativeBelowLisp[] = "Vxmmalloc heap (0x%x) must be above lisp heap (0x%x)\n";
inline constexpr char kUsingOtherAddress[] =
    "Unable to reserve 0x%lx for the %s heap,\n using 0x%lx instead\n";
inline constexpr char kCannotReserve[] =
    "Unable to reserve at least %ld (0x%lx) bytes of memory for the %s heap\n";
inline constexpr char kLibraryRelocated[] = "Mapping %s forced relocation\n";
inline constexpr char kScalingBack[] =
    "Temporarily scaling back lisp reserved region from %d to\n%d bytes. Scaling back is normal "
    "and is typically not a matter\nfor concern.  This message is printed for record only.\n";

// Prints one message for standard error through the runtime's console printer.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace heap_messages
