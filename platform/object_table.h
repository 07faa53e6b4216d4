// Inside the platform layer: the handle table, the objects it names and the
// per-thread state that waits, queues and suspension use. Not for callers
// outside platform/.
//
// One lock (the table lock) guards the table, every object's state, every
// queue and the map of live threads. While a thread holds it, the suspension
// signal is blocked, so a suspended thread never holds it and a suspender can
// always take it. A waiting thread sleeps on its own wake semaphore outside
// the lock; whatever may end its wait posts that semaphore.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <ucontext.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/thread_segments.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "platform/window_classes.h"
#include "platform/window_look.h"

namespace platform::detail {

struct ThreadState;

enum class ObjectKind : uint8_t { Event, Mutex, Semaphore, Thread, Process, Window };

// A window's procedure: its own (the C convention) or its class's (the
// callee pops its arguments).
struct WindowProcedures {
  WindowProcedure own = nullptr;
  ClassWindowProcedure ofClass = nullptr;
  uint32_t call(Handle window, uint32_t message, uint32_t wParam, uint32_t lParam) const {
    if (own) return own(window, message, wParam, lParam);
    return ofClass ? ofClass(window, message, wParam, lParam) : 0;
  }
};

struct KernelObject {
  explicit KernelObject(ObjectKind k) : kind(k) {}
  ObjectKind kind;
  int32_t references = 0;  // handles, waits in progress and the running thread itself
  bool signalled = false;  // events; threads and processes once ended
  bool manualReset = false;
  uint32_t owner = 0;  // mutex: id of the holding thread, 0 when free; window: owning thread
  uint32_t recursion = 0;
  bool abandoned = false;
  int32_t count = 0;  // semaphore
  int32_t maximum = 0;
  uint32_t exitCode = kStillActive;
  ThreadState* thread = nullptr;  // thread objects own their state
  WindowProcedures procedures;
  WindowLook look;  // windows: what a display would show
  Handle parent = kNoHandle;   // windows: parent (child windows) or owner
  bool child = false;          // windows: made with kStyleChild
  uint64_t stackingOrder = 0;  // windows: higher lies above its siblings
  std::vector<ThreadState*> waiters;
};

struct ThreadState {
  uint32_t id = 0;
  KernelObject* object = nullptr;  // this thread's object
  sem_t wake;                      // posted when a watched object or the queue changes
  bool hasQueue = false;
  bool newInput = false;  // a message arrived since the thread last looked
  std::deque<Message> queue;
  bool ended = false;
  uint32_t exitCode = 0;  // what the thread object reports once the thread has ended
  ThreadTimes finalTimes{};

  // Suspension: guarded by suspendLock, which the thread itself never takes
  // except once, when it ends.
  std::mutex suspendLock;
  int32_t suspendCount = 0;
  sem_t parked;   // posted by the signal handler once it has published the context
  sem_t resumed;  // posted by the last resume
  ucontext_t* volatile context = nullptr;
  SegmentReload ownThreadPointer{};  // the thread's %gs, described by itself at the start
  ThreadSegments segments{};         // used by the suspension handler on the thread

  ThreadState();
  ~ThreadState();
};

// The table lock, with the suspension signal blocked while it is held.
class TableLock {
 public:
  TableLock();
  ~TableLock();
  void unlock();
  void lock();

 private:
  sigset_t savedMask_;
  bool held_ = false;
};

int suspensionSignal();

// All of the following need the table lock.
Handle insertObject(KernelObject* object);  // takes one reference for the handle
KernelObject* objectOf(Handle handle);      // nullptr for a closed or foreign handle
KernelObject* windowOf(Handle handle);      // nullptr unless a live window
void addReference(KernelObject* object);
void dropReference(KernelObject* object);  // frees the object at zero
void wakeWaiters(KernelObject* object);
// Every live window, in no particular order.
std::vector<Handle> liveWindows();
// A stacking order above every window's so far.
uint64_t topStackingOrder();
ThreadState* liveThread(uint32_t threadId);  // nullptr once ended
// The calling thread's state, made (with its thread object) on first use.
ThreadState* currentThreadState();
// Ends the calling thread's state: owned mutexes become abandoned, windows
// go, the thread object is signalled.
void endThreadState(ThreadState* state);

// Monotonic milliseconds, as message times and time-outs use them.
uint32_t monotonicMilliseconds();

}  // namespace platform::detail
