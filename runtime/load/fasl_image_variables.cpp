// The fasl module's variables saved with the heap image: the loaders' modes
// and accepted releases, and where the pure Lisp library lies.

#include <array>
#include <cstdint>

#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"

extern "C" {
// The native loader reads them (fasl_loader.h); the others of the module are
// in native_fasl_loader.cpp and boot_symbols.cpp.
uint32_t bootmode = 1;  // nonzero while the runtime is built from fasl files
uint32_t curreadmode = 0;
uint32_t faslversion = 0;
uint32_t lv_package = 0;
uint32_t min_faslversion = 0;
uint32_t min_rsversion = 0;
uint32_t rsversion = 0;
uint32_t load_real_args = 2;
// Not saved with the image: the bundle loader's full messages, off with -fq.
uint32_t raz_fasl_noisy = 1;
}

namespace {

const std::array<native_variables::SavedVariable, 21> kFaslVariables = {{
    {"bootmode", &bootmode, 4},
    {"curreadmode", &curreadmode, 4},
    {"faslversion", &faslversion, 4},
    {"lv_package", &lv_package, 4},
    {"min_faslversion", &min_faslversion, 4},
    {"min_rsversion", &min_rsversion, 4},
    {"rsversion", &rsversion, 4},
    {"vxm_lsoh", &vxm_lsoh, 4},
    {"vxm_lso", &vxm_lso, 4},
    {"vxm_lsoend", &vxm_lsoend, 4},
    {"xvxm_cvs", xvxm_cvs, 8},
    {"vxm_cvsh", &vxm_cvsh, 4},
    {"vxm_cvsp", &vxm_cvsp, 4},
    {"vxm_cvsend", &vxm_cvsend, 4},
    {"xvxm_str", xvxm_str, 8},
    {"vxm_strh", &vxm_strh, 4},
    {"vxm_strp", &vxm_strp, 4},
    {"vxm_strend", &vxm_strend, 4},
    {"vxm_timestamp", &vxm_timestamp, 4},
    {"vxm_lsoversion", &vxm_lsoversion, 2},
    {"print_lso_relocation", &print_lso_relocation, 4},
}};

}  // namespace

extern "C" void fasl_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kFaslVariables);
}
