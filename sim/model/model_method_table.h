// The model's table of engine methods, registered with the engine before the
// mechanism is created.
#pragma once

#include "mech_engine_common/engine_method_table.h"

namespace sim {

// The table, filled on first use from the list of linked methods.
const EngineMethodTable* modelMethodTable();

}  // namespace sim
