// The scavenger's entry as allocation sees it.
//
// This build has no scavenger yet: an allocation that finds new space short
// ends the process through the collector's fatal-error path. The scavenger
// replaces this file with its own `scavenge`.

#include "runtime/gc/allocation.h"
#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"

extern "C" void scavenge(uint32_t bytes) {
  gserror(gc_messages::kNoScavenger, bytes, 1);
}
