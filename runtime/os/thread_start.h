// The life of an OS thread that runs Lisp: a Lisp thread record gets an OS
// thread, the OS thread runs the thread's Lisp start function and frees the
// record when it returns, a thread is asked to end and ends, and native code
// calls back into Lisp, from a Lisp thread that is out in a foreign call
// (native callback) or from a native thread that Lisp never created
// (immigrant callback, registered on its first call).
//
// Records are raw record addresses unless a routine says tagged.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"

namespace lisp::thread_start {

namespace tr = lisp::thread_record;

// The binding stack a starting thread gets when it has none: a direct
// sysvector of this many words, whose word 3 holds the registry index + 1.
inline constexpr int32_t kBindingStackWords = 512;
inline constexpr uint32_t kBindingStackRoom = 256;
inline constexpr uint32_t kBindingElementWord = 3;

// Decision: the result of an immigrant callback, stored by
// immigrant_callback_docall and returned by vxm_immigrant_callback, lives in
// record word 89, a raw word no other use names.
inline constexpr int32_t kImmigrantResult = tr::wordOffset(89);
// mp_test_action's callback case stores its result in word 98.
inline constexpr int32_t kTestActionResult = tr::wordOffset(98);
// Raw words the binding-state reset clears besides the named ones.
inline constexpr int32_t kBindingWord65 = tr::wordOffset(65);
// Slot 34: given the runtime's starting-thread value by lisp_thread_init_rs.
inline constexpr int32_t kStartMarkerSlot = tr::wordOffset(34);
// Immigrant initial values.
inline constexpr int32_t kSlot18 = tr::wordOffset(18);
inline constexpr int32_t kSlot19 = tr::wordOffset(19);
inline constexpr int32_t kStartSeconds = tr::wordOffset(22);
inline constexpr int32_t kStartMilliseconds = tr::wordOffset(23);
inline constexpr int32_t kSlot24 = tr::wordOffset(24);
inline constexpr int32_t kSlot25 = tr::wordOffset(25);
inline constexpr uint32_t kStateRegistered = 4;  // an immigrant before its first call

// The quit message's long parameter, telling the launcher the Lisp thread ended.
inline constexpr uint32_t kQuitLongParameter = 2457;
inline constexpr uint32_t kExitPauseMilliseconds = 500;
// How long a native thread that calls in before multiprocessing waits between looks.
inline constexpr uint32_t kSchedulerPollMilliseconds = 500;
// The stack of the test hook's native threads.
inline constexpr uint32_t kTestThreadStackBytes = 1 << 20;

// The built-in routines vxm_c_thread_starter runs, by number.
inline constexpr int32_t kImmigrantTest = 0;
inline constexpr int32_t kImmigrantTest2 = 1;
inline constexpr int32_t kGateTest1 = 2;
// vxm_c_thread_starter's result for a routine number it does not know.
inline constexpr int32_t kUnknownRoutine = 22;

// What the thread machinery needs of Lisp itself. Tests replace them.
struct Services {
  // Runs the thread's Lisp start function with the tagged record (called by
  // initiate_sg on the thread, which owns the heap).
  void (*runStartFunction)(lispval record);
  // Calls Lisp callback `index` with the argument block (lisp_addr_call).
  uint32_t (*callCallback)(uint32_t block, int32_t index);
  // Reports a callback slot without a function (lisp_missing_stub_x).
  uint32_t (*missingCallback)();
};
Services& services();
void resetServices();

// Gives a record's binding stack up (see thread_start.cpp) and sets slot 32
// to nil.
void releaseBindingStack(uint32_t* record);

}  // namespace lisp::thread_start

extern "C" {
// ---- starting ----
// -1 (not a record) or -2 (not new) as fixnums; an OS error number; nil.
lisp::lispval start_vxm_thread(lisp::lispval record);
lisp::lispval start_os_thread(uint32_t* record);
uint32_t lisp_thread_init_c_entry(void* registryIndex);
void second_lisp_thread_c_init(int32_t registryIndex);
// Native entry (assembly): the runtime system's start of a new Lisp thread.
void lisp_thread_init_rs(lisp::lispval record);
// Starts the time accounting, runs the start function, suspends the accounting.
void initiate_sg(lisp::lispval record);

// ---- ending ----
uint32_t* kill_os_thread(lisp::lispval record);  // null when not a record
uint32_t* check_for_thread_exit(uint32_t* record);
// The one way out of a Lisp thread, whether its start function returned, it
// left by thread operation 5, it was killed or the exit hook ended it: steps
// 5 to 8 of lisp_thread_init_c_entry on the calling thread's record (out of
// Lisp, off the queues, waiters woken, wake event and thread handle closed,
// the record left in `endState` and freed when asked, the Lisp thread count
// lowered, the heap given up). Returns the Lisp threads left.
uint32_t leave_lisp_thread(uint32_t* record, uint32_t endState, int freeRecord);
// leave_lisp_thread (nothing for a null record), then the OS thread ends with
// the status; when no Lisp thread is left the process ends with it instead.
[[noreturn]] void end_lisp_os_thread(uint32_t* record, uint32_t endState, int freeRecord,
                                     int32_t status);
// Exported: what the launcher's exit hook calls to end the Lisp thread.
[[noreturn]] void vxm_thread_exit(int32_t status, int32_t* doneFlag, uint32_t notifyThreadId);
// The same, for the runtime's own callers (a hidden symbol, so that assembly
// reaches it without a text relocation).
[[noreturn]] void end_lisp_thread(int32_t status, int32_t* doneFlag, uint32_t notifyThreadId);

// ---- callbacks from native code ----
// Native entry (assembly), cdecl: the callback's result, 0 when the thread
// cannot be registered or an exception was handled.
uint32_t acquire_heap_around_lisp_call(uint32_t block, int32_t index);
uint32_t lisp_missing_stub_1();
uint32_t vxm_immigrant_callback(int32_t index, uint32_t block, int32_t callbackIndex);
void immigrant_callback_docall(lisp::lispval record);
uint32_t vxm_native_callback(int32_t index, uint32_t block, int32_t callbackIndex, int owned);

// ---- native threads for built-in routines, and the test hook ----
int32_t vxm_c_thread_starter(int32_t routine, uint32_t argument);
int32_t mp_test_action(int32_t code, uint32_t argument);
uint32_t immigrant_test(void* callback);
uint32_t immigrant_test_2(void* callback);
uint32_t gate_test_1(void* gate);
}
