// The table of every engine method this engine provides, by EngineMethodId:
// the model fills its EngineMethodTable from it before registering it.
#pragma once

#include "mech_engine_common/engine_method_table.h"

// Stores every provided method in its slot of the table (other slots untouched).
void fillProvidedEngineMethods(EngineMethodTable* table);
