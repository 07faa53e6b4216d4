// The pure library's bounds; stay 0 until the library's loader maps one.
#include "runtime/load/pure_library_bounds.h"

extern "C" {
uint32_t vxm_lso = 0;
uint32_t vxm_lsoend = 0;
}
