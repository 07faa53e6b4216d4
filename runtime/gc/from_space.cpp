#include "runtime/gc/from_space.h"

#include "runtime/gc/gc_state.h"
#include "runtime/rs/lisp_value.h"

extern "C" {

gc::GsOldArea GsNewFromArea = {};
uint32_t GsNewFrom_other1 = 0;
uint32_t GsNewFromEnd = 0;

void setGsNewFrom() {
  using namespace gc;
  const GsNewArea& semispace = GsNewAllocationArea;
  GsNewFromArea = {};
  GsNewFromArea.size = semispace.end - semispace.start;
  GsNewFromArea.end = semispace.end;
  GsNewFromArea.lowestConsPage = semispace.pageLowMark;
  GsNewFromArea.firstObject = GsNewOther1;
  GsNewFromArea.frontier = globalWord(global::kNewOtherTop);
  GsNewFromArea.pagemapBase = GsNewPagemap;
  GsNewFrom_other1 = GsNewOther1;
  GsNewFromEnd = semispace.end;
}

}  // extern "C"

namespace gc {

bool pointsIntoFromSpace(uint32_t value) {
  const uint32_t start = lisp::objectAddress(value);
  return start >= GsNewFrom_other1 && start < GsNewFromEnd;
}

}  // namespace gc
