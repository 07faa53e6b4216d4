// Threads, their suspension and context, and child-process handles.
//
// Suspension works through a real-time signal: the suspender sends it to the
// thread with a pointer to the thread's state; the handler publishes its
// ucontext_t, tells the suspender, and waits until the last resume. Registers
// written into the published context take effect when the handler returns.
// Where the descriptor table is one for all threads (the user-mode emulator),
// the handler also keeps %gs and %fs on the thread's own bases
// (thread_segments.h).

#include "platform/threads.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/error_numbers.h"
#include "platform/object_table.h"
#include "platform/thread_block.h"

namespace platform {

using namespace detail;

namespace {

// How long a suspender waits for the thread to reach the signal handler.
constexpr uint32_t kParkMilliseconds = 10000;

// Nice values of the priority levels kLowestPriority .. kHighestPriority.
constexpr int kNiceOfLevel[] = {10, 5, 0, -5, -10};

struct StartPacket {
  ThreadStart start;
  void* argument;
  sem_t ready;
  KernelObject* object = nullptr;  // the new thread's object, with a reference for the creator
};

void* threadEntry(void* raw) {
  auto* packet = static_cast<StartPacket*>(raw);
  const ThreadStart start = packet->start;
  void* const argument = packet->argument;
  ensureThreadBlock();
  ThreadState* me;
  {
    TableLock lock;
    me = currentThreadState();
    me->hasQueue = true;
    addReference(me->object);
    packet->object = me->object;
  }
  sem_post(&packet->ready);  // the packet belongs to the creator from here on
  me->exitCode = start(argument);
  return nullptr;
}

void onSuspensionSignal(int, siginfo_t* info, void* raw) {
  auto* state = static_cast<ThreadState*>(info->si_value.sival_ptr);
  auto* context = static_cast<ucontext_t*>(raw);
  takeOwnSegmentsOnEntry(state->ownThreadPointer, &state->segments);
  const int savedErrno = errno;
  state->context = context;
  sem_post(&state->parked);
  while (sem_wait(&state->resumed) != 0) {
  }
  state->context = nullptr;
  errno = savedErrno;
  reloadOwnSegmentsAfterReturn(&state->segments, context);
}

void installSuspensionHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    findOutWhetherDescriptorTableShared();
    struct sigaction action {};
    action.sa_sigaction = onSuspensionSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(suspensionSignal(), &action, nullptr);
  });
}

// A thread handle's object with a reference taken, or nullptr (last error set).
KernelObject* holdThread(Handle handle) {
  TableLock lock;
  KernelObject* object = objectOf(handle);
  if (!object || object->kind != ObjectKind::Thread) {
    setLastSystemError(system_error::kInvalidHandle);
    return nullptr;
  }
  addReference(object);
  return object;
}

void release(KernelObject* object) {
  TableLock lock;
  dropReference(object);
}

// Holds a thread object for the duration of one call.
class HeldThread {
 public:
  explicit HeldThread(Handle handle) : object_(holdThread(handle)) {}
  ~HeldThread() {
    if (object_) release(object_);
  }
  explicit operator bool() const { return object_ != nullptr; }
  ThreadState* state() const { return object_->thread; }

 private:
  KernelObject* object_;
};

bool sendSuspensionSignal(ThreadState* state) {
  siginfo_t info{};
  info.si_signo = suspensionSignal();
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = state;
  return syscall(SYS_rt_tgsigqueueinfo, getpid(), state->id, suspensionSignal(), &info) == 0;
}

bool waitUntilParked(ThreadState* state) {
  const timespec deadline = [] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += kParkMilliseconds / 1000;
    return now;
  }();
  for (;;) {
    if (sem_clockwait(&state->parked, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Processor times of a live thread other than the caller, from /proc.
// Read with open/read, not stdio: the profiler's timer asks for the times of
// threads while another thread is suspended, maybe inside the allocator.
bool procThreadTimes(uint32_t threadId, ThreadTimes* times) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%u/stat", threadId);
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char line[1024];
  ssize_t got;
  do {
    got = ::read(file, line, sizeof line - 1);
  } while (got < 0 && errno == EINTR);
  ::close(file);
  if (got <= 0) return false;
  line[got] = '\0';
  const char* afterName = std::strrchr(line, ')');  // the name may hold spaces and parentheses
  unsigned long long user = 0, kernel = 0;
  if (!afterName ||
      std::sscanf(afterName + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &kernel) != 2)
    return false;
  const uint64_t microsecondsPerTick = 1000000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  times->userMicroseconds = user * microsecondsPerTick;
  times->kernelMicroseconds = kernel * microsecondsPerTick;
  return true;
}

bool ownThreadTimes(ThreadTimes* times) {
  rusage usage{};
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return false;
  times->userMicroseconds =
      uint64_t(usage.ru_utime.tv_sec) * 1000000 + uint64_t(usage.ru_utime.tv_usec);
  times->kernelMicroseconds =
      uint64_t(usage.ru_stime.tv_sec) * 1000000 + uint64_t(usage.ru_stime.tv_usec);
  return true;
}

uint32_t exitCodeOfStatus(int status) {
  if (WIFSIGNALED(status)) return 128 + static_cast<uint32_t>(WTERMSIG(status));
  return static_cast<uint32_t>(WEXITSTATUS(status));
}

}  // namespace

namespace {
std::atomic<ThreadCreationFaultHook> g_creationFaultHook{nullptr};
}  // namespace

void setThreadCreationFaultHook(ThreadCreationFaultHook hook) {
  g_creationFaultHook.store(hook);
}

Handle createThread(ThreadStart start, void* argument, size_t stackBytes, uint32_t* threadId) {
  if (const ThreadCreationFaultHook hook = g_creationFaultHook.load(); hook && hook()) {
    noteLinuxFailure(EAGAIN);
    return kNoHandle;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackBytes != 0) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t bytes = (stackBytes + page - 1) / page * page;
    if (bytes < size_t{PTHREAD_STACK_MIN}) bytes = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attributes, bytes);
  }
  StartPacket packet{start, argument, {}};
  sem_init(&packet.ready, 0, 0);
  pthread_t thread;
  const int failure = pthread_create(&thread, &attributes, threadEntry, &packet);
  pthread_attr_destroy(&attributes);
  if (failure != 0) {
    sem_destroy(&packet.ready);
    noteLinuxFailure(failure);
    return kNoHandle;
  }
  while (sem_wait(&packet.ready) != 0) {
  }
  sem_destroy(&packet.ready);
  TableLock lock;
  if (threadId) *threadId = packet.object->thread->id;
  const Handle handle = insertObject(packet.object);
  dropReference(packet.object);  // the handle holds it now
  return handle;
}

void exitThread(uint32_t exitCode) {
  {
    TableLock lock;
    currentThreadState()->exitCode = exitCode;
  }
  pthread_exit(nullptr);
}

uint32_t currentThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

Handle currentThreadHandle() {
  TableLock lock;
  return insertObject(currentThreadState()->object);
}

uint32_t threadIdOf(Handle handle) {
  TableLock lock;
  KernelObject* object = objectOf(handle);
  return object && object->kind == ObjectKind::Thread ? object->thread->id : 0;
}

int32_t suspendThread(Handle handle) {
  HeldThread held(handle);
  if (!held) return -1;
  ThreadState* state = held.state();
  if (state->id == currentThreadId()) {
    setLastSystemError(system_error::kInvalidParameter);
    return -1;
  }
  installSuspensionHandler();
  std::lock_guard guard(state->suspendLock);
  if (state->ended) {
    setLastSystemError(system_error::kInvalidHandle);
    return -1;
  }
  if (state->suspendCount == 0) {
    while (sem_trywait(&state->parked) == 0) {
    }
    if (!sendSuspensionSignal(state)) {
      noteLinuxFailure(errno);
      return -1;
    }
    if (!waitUntilParked(state)) {
      sem_post(&state->resumed);  // a late handler passes straight through
      setLastSystemError(system_error::kWaitTimeout);
      return -1;
    }
  }
  return state->suspendCount++;
}

int32_t resumeThread(Handle handle) {
  HeldThread held(handle);
  if (!held) return -1;
  ThreadState* state = held.state();
  std::lock_guard guard(state->suspendLock);
  const int32_t previous = state->suspendCount;
  if (previous > 0 && --state->suspendCount == 0) sem_post(&state->resumed);
  return previous;
}

bool readThreadContext(Handle handle, ThreadContext* context) {
  HeldThread held(handle);
  if (!held) return false;
  ThreadState* state = held.state();
  std::lock_guard guard(state->suspendLock);
  if (state->suspendCount == 0 || !state->context) {
    setLastSystemError(system_error::kInvalidParameter);
    return false;
  }
  const greg_t* r = state->context->uc_mcontext.gregs;
  const auto word = [&](int index) { return static_cast<uint32_t>(r[index]); };
  if (context->parts & context_part::kInteger) {
    context->edi = word(REG_EDI), context->esi = word(REG_ESI), context->ebx = word(REG_EBX);
    context->edx = word(REG_EDX), context->ecx = word(REG_ECX), context->eax = word(REG_EAX);
  }
  if (context->parts & context_part::kControl) {
    context->ebp = word(REG_EBP), context->eip = word(REG_EIP), context->cs = word(REG_CS);
    context->eflags = word(REG_EFL), context->esp = word(REG_ESP), context->ss = word(REG_SS);
  }
  if (context->parts & context_part::kSegments) {
    context->gs = word(REG_GS), context->fs = word(REG_FS);
    context->es = word(REG_ES), context->ds = word(REG_DS);
  }
  return true;
}

bool writeThreadContext(Handle handle, const ThreadContext& context) {
  HeldThread held(handle);
  if (!held) return false;
  ThreadState* state = held.state();
  std::lock_guard guard(state->suspendLock);
  if (state->suspendCount == 0 || !state->context) {
    setLastSystemError(system_error::kInvalidParameter);
    return false;
  }
  greg_t* r = state->context->uc_mcontext.gregs;
  const auto set = [&](int index, uint32_t value) { r[index] = static_cast<greg_t>(value); };
  if (context.parts & context_part::kInteger) {
    set(REG_EDI, context.edi), set(REG_ESI, context.esi), set(REG_EBX, context.ebx);
    set(REG_EDX, context.edx), set(REG_ECX, context.ecx), set(REG_EAX, context.eax);
  }
  if (context.parts & context_part::kControl) {
    set(REG_EBP, context.ebp), set(REG_EIP, context.eip), set(REG_CS, context.cs);
    set(REG_EFL, context.eflags), set(REG_ESP, context.esp), set(REG_SS, context.ss);
  }
  if (context.parts & context_part::kSegments) {
    set(REG_GS, context.gs), set(REG_FS, context.fs);
    set(REG_ES, context.es), set(REG_DS, context.ds);
  }
  return true;
}

bool threadTimes(Handle handle, ThreadTimes* times) {
  HeldThread held(handle);
  if (!held) return false;
  ThreadState* state = held.state();
  {
    std::lock_guard guard(state->suspendLock);
    if (state->ended) {
      *times = state->finalTimes;
      return true;
    }
  }
  const bool read =
      state->id == currentThreadId() ? ownThreadTimes(times) : procThreadTimes(state->id, times);
  if (!read) noteLinuxFailure(errno);
  return read;
}

bool raiseCallerToRealTime() {
  sched_param parameter{};
  parameter.sched_priority = sched_get_priority_max(SCHED_FIFO);
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
}

bool setThreadPriority(Handle handle, int level) {
  if (level < kLowestPriority || level > kHighestPriority) {
    setLastSystemError(system_error::kInvalidParameter);
    return false;
  }
  const uint32_t id = threadIdOf(handle);
  if (id == 0) {
    setLastSystemError(system_error::kInvalidHandle);
    return false;
  }
  if (setpriority(PRIO_PROCESS, id, kNiceOfLevel[level - kLowestPriority]) != 0) {
    noteLinuxFailure(errno);
    return false;
  }
  return true;
}

int threadPriority(Handle handle) {
  const uint32_t id = threadIdOf(handle);
  if (id == 0) return 0;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, id);
  if (errno != 0) return 0;
  int nearest = 0;
  for (int level = kLowestPriority; level <= kHighestPriority; ++level) {
    const int distance = std::abs(kNiceOfLevel[level - kLowestPriority] - nice);
    if (distance < std::abs(kNiceOfLevel[nearest - kLowestPriority] - nice)) nearest = level;
  }
  return nearest;
}

Handle watchChildProcess(pid_t pid) {
  auto* process = new KernelObject(ObjectKind::Process);
  Handle handle;
  {
    TableLock lock;
    handle = insertObject(process);
    addReference(process);  // held by the watcher until the child ends
  }
  std::thread([pid, process] {
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    TableLock lock;
    process->exitCode = reaped == pid ? exitCodeOfStatus(status) : 0;
    process->signalled = true;
    wakeWaiters(process);
    dropReference(process);
  }).detach();
  return handle;
}

}  // namespace platform
