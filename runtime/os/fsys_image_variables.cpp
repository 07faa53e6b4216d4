// The file-system module's variable saved with the heap image.

#include <array>
#include <cstdint>

#include "runtime/load/case_mapping.h"
#include "runtime/load/native_variables.h"

namespace {

const std::array<native_variables::SavedVariable, 1> kFsysVariables = {{
    {"mixed_case_convert", &mixed_case_convert, 4},
}};

}  // namespace

extern "C" void fsys_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kFsysVariables);
}
