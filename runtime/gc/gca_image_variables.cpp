// The collector's state record in the heap image: 104 words captured on a
// save and handed back to the collector on a restore that read them whole.

#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/native_variables.h"

extern "C" void gca_v_marsh(marsh_context* context) {
  uint32_t record[gc::kGcDataWords] = {};
  if (context->saving) {
    // The chain of new sysvectors ends where its tail points.
    if (GsSVC_tail != 0) *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(GsSVC_tail)) = 0;
    capture_gc_data(record);
    marsh(context, record, gc::kGcDataBytes);
    return;
  }
  marsh(context, record, gc::kGcDataBytes);
  if (!context->error) restore_gc_data(record);
}
