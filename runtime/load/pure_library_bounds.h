// Where the pure Lisp library is mapped: [vxm_lso, vxm_lsoend), both 0 when
// there is none. The library's loader sets them; the collector reads them.
#pragma once

#include <cstdint>

extern "C" {
extern uint32_t vxm_lso;
extern uint32_t vxm_lsoend;
}
