// External slot managers: a list of nodes in the native heap, newest first.
//
// Invariant: every node on the list was made by register_external_slot_manager
// and is freed only after it has been unlinked.

#include "runtime/gc/external_slot_managers.h"

#include "runtime/gc/lispstatic.h"
#include "runtime/gc/native_heap.h"
#include "runtime/rs/exports.h"

extern "C" {

external_slot_manager_node* external_slot_managers = nullptr;

KORVANE_EXPORT void* register_external_slot_manager(external_slot_manager manager, void* data) {
  auto* node =
      static_cast<external_slot_manager_node*>(vxmmalloc(sizeof(external_slot_manager_node), 0, 0));
  if (!node) return nullptr;
  *node = {external_slot_managers, manager, data};
  external_slot_managers = node;
  return node;
}

KORVANE_EXPORT int unregister_external_slot_manager(void* handle) {
  for (external_slot_manager_node** link = &external_slot_managers; *link; link = &(*link)->next) {
    if (*link != handle) continue;
    external_slot_manager_node* node = *link;
    *link = node->next;
    vxmfree(node, 0);
    return 1;
  }
  return 0;
}

void scan_external_slots(gsgc_slot_routine slot) {
  for (external_slot_manager_node* node = external_slot_managers; node;) {
    external_slot_manager_node* next = node->next;  // a manager may unregister itself
    node->manager(slot, node->data);
    node = next;
  }
  // The registry too holds an object in native memory while it registers it.
  scan_lispstatic_being_registered(slot);
}

}  // extern "C"
