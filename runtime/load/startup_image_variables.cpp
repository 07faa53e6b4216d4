// The start-up module's variables saved with the heap image.

#include <array>
#include <cstdint>

#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup.h"

extern "C" {
extern uint32_t globreg;
extern uint32_t UnboundValue;
extern uint32_t globs[32];

// Signal state kept across a dump, and the start-up words the dump support
// and the first Lisp thread set. Defined here until those take them over.
uint32_t gc_sigmask = 0;
uint8_t old_sigs[kSavedSignalBytes] = {};
uint32_t reborn = 0;  // 1 in every saved image
uint32_t restart_topaddr = 0;
uint8_t saved_sigs[kSavedSignalBytes] = {};
uint32_t force_full_fasl = 0;
}

namespace {

const std::array<native_variables::SavedVariable, 13> kStartupVariables = {{
    {"bu_fname", bu_fname, sizeof bu_fname, true},
    {"gc_sigmask", &gc_sigmask, 4},
    {"globreg", &globreg, 4},
    {"old_sigs", old_sigs, sizeof old_sigs},
    {"reborn", &reborn, 4},
    {"restart_topaddr", &restart_topaddr, 4},
    {"saved_sigs", saved_sigs, sizeof saved_sigs},
    {"force_full_fasl", &force_full_fasl, 4},
    {"load_real_args", &load_real_args, 4},
    {"lso_file", lso_file, sizeof lso_file, true},
    {"vpl_given_arg", vpl_given_arg, sizeof vpl_given_arg, true},
    {"UnboundValue", &UnboundValue, 4},
    {"globs", globs, sizeof globs},
}};

}  // namespace

extern "C" void startup_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kStartupVariables);
}
