// The engine methods this model links: every method the engine provides. A
// slot left empty is skipped by the engine.
#include "sim/model/model_method_table.h"

#include "mech_engine2d/provided_methods.h"

namespace sim {

const EngineMethodTable* modelMethodTable() {
  static EngineMethodTable table;
  static bool filled = false;
  if (!filled) {
    fillProvidedEngineMethods(&table);
    filled = true;
  }
  return &table;
}

}  // namespace sim
