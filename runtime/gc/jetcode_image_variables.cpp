// The code jettison's variables saved with the heap image.

#include <array>
#include <cstdint>

#include "runtime/load/native_variables.h"

extern "C" {
// The code file's path and the time stamp written into it. Defined here
// until the code jettison, which keeps them, takes them over.
char jc_swapfile[100] = {};
uint32_t jc_tstamp = 0;
}

namespace {

const std::array<native_variables::SavedVariable, 2> kJetcodeVariables = {{
    {"jc_swapfile", jc_swapfile, sizeof jc_swapfile, true},
    {"jc_tstamp", &jc_tstamp, 4},
}};

}  // namespace

extern "C" void jetcode_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kJetcodeVariables);
}
