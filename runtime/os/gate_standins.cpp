// Stand-in for the thread operations' gate opening; see gate_standins.h.

#include "runtime/os/gate_standins.h"

#include "runtime/os/awaited_services.h"

extern "C" {

void open_vxm_gate(uint32_t) {
  lisp::os::notAvailable("open_vxm_gate");
}

}  // extern "C"
