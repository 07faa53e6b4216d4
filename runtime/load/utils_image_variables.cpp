// The utilities module's variable saved with the heap image.

#include <array>

#include "runtime/load/native_variables.h"

extern "C" {
// The program's own name. Defined here until the utilities that fill it land.
char myname[512] = {};
}

namespace {

const std::array<native_variables::SavedVariable, 1> kUtilsVariables = {{
    {"myname", myname, sizeof myname, true},
}};

}  // namespace

extern "C" void utils_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kUtilsVariables);
}
