// Thread creation and exit, the heap owner's thread, priority and processor
// time, as the thread machinery uses them.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
using os_thread_start = uint32_t (*)(void* argument);

// Starts a thread running at once. Stores its handle through `handle` when
// given (else closes it) and its id through `threadId` when given. Returns 0,
// or the platform runtime's error number on failure.
int32_t create_os_thread(os_thread_start start, void* argument, uint32_t stackSize,
                         uint32_t* threadId, uint32_t* handle);
// Ends the calling thread.
[[noreturn]] void lisp_thread_exit();
// A new handle to the calling thread; 0 when none can be made.
uint32_t handle_for_current_thread();

uint32_t heap_owner_handle();
void force_heap_owner_to_jump(void (*routine)());
uint32_t find_lisp_thread_handle(uint32_t* threadId);

// Sets the OS priority of a record's thread from its priority slot.
void vxm_adjust_priority(uint32_t* record);
// Kernel plus user time of a record's thread in milliseconds; 0 when unknown.
uint32_t vxm_thread_msec_used(uint32_t* record);
// Kernel plus user time of a thread in microseconds; 0 when unknown.
uint64_t get_thread_runtime(uint32_t handle);
// The code-segment selector of the calling thread.
uint32_t current_SegCs();

int thread_is_active(uint32_t* record);
int32_t prelink_stack(uint32_t* record, uint32_t a, uint32_t b, uint32_t c);
}

namespace lisp::os {
// Suspends the thread, reads its control registers, sets its instruction
// pointer to `routine`, writes them back and resumes it. False when a step
// fails; a thread that was suspended is resumed in any case.
bool forceThreadToJump(uint32_t thread, void (*routine)());

// What forcing a thread to jump did: moved it, left it where it stopped
// (the place refused the landing), or failed (no such thread, no owner).
enum class ForcedJump { kMoved, kRefused, kFailed };
// Forces the heap owner to `routine` when it stopped where an urgent
// interrupt may land (urgentInterruptMayLandAt); else it runs on as it was.
ForcedJump forceHeapOwnerToBreak(void (*routine)());

// The OS priority level (-2 .. 2) for a priority slot value.
int priorityLevelOf(lispval priority);
}  // namespace lisp::os
