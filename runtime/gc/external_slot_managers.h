// External slot managers: native code that holds Lisp values in its own
// memory registers a manager, which the collector calls with its slot
// routine so that the manager presents the address of every slot it holds.
#pragma once

#include "runtime/gc/heap_walkers.h"

extern "C" {

using external_slot_manager = void (*)(gsgc_slot_routine slot, void* data);

// One node of the list, in the native heap.
struct external_slot_manager_node {
  external_slot_manager_node* next;
  external_slot_manager manager;
  void* data;
};
static_assert(sizeof(external_slot_manager_node) == 12);

extern external_slot_manager_node* external_slot_managers;  // newest first

// Pushes a manager at the head of the list; the node is the handle (null
// when the native heap has no room for it).
void* register_external_slot_manager(external_slot_manager manager, void* data);
// 1 when the handle was on the list (its node is unlinked and freed), else 0.
int unregister_external_slot_manager(void* handle);
// Calls every manager, newest first, with the slot routine and its data,
// then presents the slots of a lisp-static object being registered.
void scan_external_slots(gsgc_slot_routine slot);
}
