// The thread module's variables saved with the heap image.

#include <array>
#include <cstdint>

#include "runtime/load/native_variables.h"
#include "runtime/os/thread_registry.h"
#include "runtime/os/thread_storage.h"

namespace {

using native_variables::SavedVariable;

// The chains of released and of live thread records, and the placeholder
// record's tagged word.
const std::array<SavedVariable, 3> kThreadsVariables = {{
    {"threadctl_available", &threadctl_available, 4},
    {"threadctl_active", &threadctl_active, 4},
    {"dummy_thread", &dummy_thread, 4},
}};

}  // namespace

extern "C" void threads_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, kThreadsVariables);
}
