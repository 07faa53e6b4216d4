// Services of the Lisp world reached through runtime globals; see
// lisp_world_services.h.

#include "runtime/rs/lisp_world_services.h"

#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

extern "C" lisp::lispval nilval;

namespace lisp::lisp_world {

namespace {

constexpr uint32_t kInitialFunctionGlobal = 306;

lispval global(uint32_t n) {
  return wordAt(nilval, nil_block::runtimeGlobalOffset(n));
}

}  // namespace

bool globalFunctionDefined(uint32_t n) {
  if (nilval == 0) return false;
  const lispval symbol = global(n);
  return tagOf(symbol) == Tag::Symbol && symbol != nilval &&
         objectOf<SymbolObject>(symbol)->function != global(kInitialFunctionGlobal);
}

bool internal_lisp_format(lispval controlString) {
  if (!globalFunctionDefined(kFormattedOutputGlobal)) return false;
  _call_symbol_function(global(kFormattedOutputGlobal), 1, controlString, nilval);
  return true;
}

}  // namespace lisp::lisp_world

using namespace lisp;

extern "C" {

lispval fpackage(lispval name) {
  if (!lisp_world::globalFunctionDefined(lisp_world::kPackageFunctionGlobal)) return 0;
  return _call_symbol_function(lisp_world::global(lisp_world::kPackageFunctionGlobal), 1, name,
                               nilval);
}

// The list itself is an equal list, which is all that is promised.
lispval share_conses(lispval list) {
  return list;
}

}  // extern "C"
