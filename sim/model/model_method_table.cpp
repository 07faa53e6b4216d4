// The engine methods this model links. A method that is not listed leaves its
// slot empty, and the engine skips empty slots; each engine method joins the
// list when it exists.
#include "sim/model/model_method_table.h"

namespace sim {

namespace {

struct MethodEntry {
  EngineMethodId id;
  EngineMethod method;
};

const MethodEntry kLinkedMethods[] = {
    {EngineMethodId::destroyMechanismMethods, toEngineMethod(&destroyMechanismMethods)},
};

EngineMethodTable table;
bool filled = false;

}  // namespace

const EngineMethodTable* modelMethodTable() {
  if (!filled) {
    for (const MethodEntry& entry : kLinkedMethods)
      table.methods[static_cast<int>(entry.id)] = entry.method;
    filled = true;
  }
  return &table;
}

}  // namespace sim
