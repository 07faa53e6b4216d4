// Structured exceptions over Linux signals.
//
// Invariant: a fault reaches a filter only on a thread that runs inside an
// exception frame, and leaves the handling in one of three ways only:
// resumed with the context a filter edited, unwound into the region of the
// frame whose filter asked for its handler, or passed on.
//
// Decisions:
// - int N and hlt arrive as SIGSEGV with si_code SI_KERNEL and no address,
//   eip at the instruction, as do writes through a cs: override; the first
//   code byte tells hlt (a privileged instruction) from the others (access
//   violations whose faulting address is 0).
// - int3 reports eip past its CC byte; the record names the CC byte.
// - Code bytes are read with process_vm_readv on the own process; where that
//   call is missing (the user-mode emulator) or refused, through a pipe,
//   whose write fails with EFAULT on unreadable bytes.
// - Passing on calls the handler installed before ours; when that was the
//   default action (or ignoring, which a fault cannot be), the default is
//   put back and the signal raised again, so the process ends by it.
// - SIGINT on a thread outside every frame goes on to the thread that asked
//   for the route, so a keyboard interrupt finds the Lisp thread; once that
//   thread has ended it is passed on where it arrived. A process started
//   with SIGINT ignored (a background job) keeps ignoring it.
// - The asynchronous signals (kAsynchronousSignals) wait while a fault or
//   the keyboard interrupt is handled; they arrive once it returns.
// - Both handlers keep the interrupted thread's %gs and %fs on its own bases
//   across their return (thread_segments.h): where the descriptor table is
//   one for all threads, a plain return would hand the thread the C library
//   thread pointer and block of whichever thread last wrote the entries.

#include "platform/faults.h"

#include "platform/thread_segments.h"

#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

namespace platform {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGFPE};
constexpr size_t kFaultStackBytes = 64 * 1024;
constexpr int kHighestHandledSignal = 31;
constexpr greg_t kPageFaultTrap = 14;
constexpr greg_t kNoTrapNumber = -1;  // what the user-mode emulator leaves in trapno
constexpr greg_t kPageFaultWrite = 2, kPageFaultFetch = 0x10;  // page-fault error-code bits
constexpr uint8_t kInt3Opcode = 0xcc;
constexpr size_t kPipeReadPiece = 4096;  // PIPE_BUF: a write this size goes in whole

// ---- the classification table ----

constexpr int kAnyCode = INT_MIN;
constexpr int kAnyByte = -1;
struct ClassificationRow {
  int linuxSignal;
  int code;       // si_code, or kAnyCode
  int firstByte;  // the byte at eip, or kAnyByte
  uint32_t exceptionCode;
};
// The first row that matches gives the code.
constexpr ClassificationRow kClassification[] = {
    {SIGSEGV, SI_KERNEL, 0xf4, exception_code::kPrivilegedInstruction},  // hlt
    {SIGSEGV, kAnyCode, kAnyByte, exception_code::kAccessViolation},
    {SIGBUS, BUS_ADRALN, kAnyByte, exception_code::kDataMisalignment},
    {SIGBUS, kAnyCode, kAnyByte, exception_code::kAccessViolation},
    {SIGTRAP, kAnyCode, kAnyByte, exception_code::kBreakpoint},
    {SIGILL, kAnyCode, kAnyByte, exception_code::kIllegalInstruction},
    {SIGFPE, FPE_INTDIV, kAnyByte, exception_code::kIntegerDivideByZero},
    {SIGFPE, FPE_INTOVF, kAnyByte, exception_code::kIntegerOverflow},
    {SIGFPE, FPE_FLTDIV, kAnyByte, exception_code::kFloatDivideByZero},
    {SIGFPE, FPE_FLTOVF, kAnyByte, exception_code::kFloatOverflow},
    {SIGFPE, FPE_FLTUND, kAnyByte, exception_code::kFloatUnderflow},
    {SIGFPE, FPE_FLTRES, kAnyByte, exception_code::kFloatInexactResult},
    {SIGFPE, FPE_FLTSUB, kAnyByte, exception_code::kArrayBoundsExceeded},
    {SIGFPE, kAnyCode, kAnyByte, exception_code::kFloatInvalidOperation},
};

// ---- frames ----

struct ExceptionFrame {
  ExceptionFrame* outer;
  ExceptionFilter filter;
  sigjmp_buf landing;
};
// Read in the signal handler: kept in the static TLS block.
thread_local ExceptionFrame* innermostFrame __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local bool threadHasFaultStack __attribute__((tls_model("initial-exec"))) = false;

// ---- installation state ----

std::once_flag installOnce;
std::once_flag keyboardOnce;
std::atomic<bool> handlingInstalled{false};
struct sigaction previousActions[kHighestHandledSignal + 1];
pthread_t interruptThread;
std::atomic<bool> interruptThreadLives{false};
std::once_flag stackKeyOnce;
pthread_key_t stackKey;
// Set once process_vm_readv turns out to be unavailable (the user-mode
// emulator answers ENOSYS; a sandbox may refuse it).
std::atomic<bool> crossProcessReadMissing{false};

void contextFromMachine(const mcontext_t& machine, ProcessorContext* context) {
  const greg_t* g = machine.gregs;
  context->gs = static_cast<uint32_t>(g[REG_GS]);
  context->fs = static_cast<uint32_t>(g[REG_FS]);
  context->es = static_cast<uint32_t>(g[REG_ES]);
  context->ds = static_cast<uint32_t>(g[REG_DS]);
  context->edi = static_cast<uint32_t>(g[REG_EDI]);
  context->esi = static_cast<uint32_t>(g[REG_ESI]);
  context->ebx = static_cast<uint32_t>(g[REG_EBX]);
  context->edx = static_cast<uint32_t>(g[REG_EDX]);
  context->ecx = static_cast<uint32_t>(g[REG_ECX]);
  context->eax = static_cast<uint32_t>(g[REG_EAX]);
  context->ebp = static_cast<uint32_t>(g[REG_EBP]);
  context->eip = static_cast<uint32_t>(g[REG_EIP]);
  context->cs = static_cast<uint32_t>(g[REG_CS]);
  context->eflags = static_cast<uint32_t>(g[REG_EFL]);
  context->esp = static_cast<uint32_t>(g[REG_ESP]);
  context->ss = static_cast<uint32_t>(g[REG_SS]);
}

// Segment registers are left as they were.
void contextToMachine(const ProcessorContext& context, mcontext_t* machine) {
  greg_t* g = machine->gregs;
  g[REG_EDI] = static_cast<greg_t>(context.edi);
  g[REG_ESI] = static_cast<greg_t>(context.esi);
  g[REG_EBX] = static_cast<greg_t>(context.ebx);
  g[REG_EDX] = static_cast<greg_t>(context.edx);
  g[REG_ECX] = static_cast<greg_t>(context.ecx);
  g[REG_EAX] = static_cast<greg_t>(context.eax);
  g[REG_EBP] = static_cast<greg_t>(context.ebp);
  g[REG_EIP] = static_cast<greg_t>(context.eip);
  g[REG_EFL] = static_cast<greg_t>(context.eflags);
  g[REG_ESP] = static_cast<greg_t>(context.esp);
}

// Whether the fault is a page fault, whose error code says the access. The
// kernel names the trap; the user-mode emulator leaves the trap number
// unset but fills the error code, and its si_code is a page fault's.
bool pageFault(const FaultFacts& facts, const mcontext_t& machine) {
  const greg_t trap = machine.gregs[REG_TRAPNO];
  if (trap == kPageFaultTrap) return true;
  return trap == kNoTrapNumber && facts.linuxSignal == SIGSEGV &&
         (facts.code == SEGV_MAPERR || facts.code == SEGV_ACCERR);
}

// An access violation names the faulting address and the kind of access. A
// fault at the instruction's own address that is no write is its fetch:
// the error code has no fetch bit without no-execute paging, nor under the
// emulator.
void fillInformation(const FaultFacts& facts, const mcontext_t& machine, ExceptionRecord* record) {
  if (record->code != exception_code::kAccessViolation) return;
  record->informationCount = 2;
  if (pageFault(facts, machine)) {
    const greg_t error = machine.gregs[REG_ERR];
    const bool atInstruction = facts.address == static_cast<uint32_t>(machine.gregs[REG_EIP]);
    record->information[0] = (error & kPageFaultFetch)   ? kAccessExecute
                             : (error & kPageFaultWrite) ? kAccessWrite
                             : atInstruction             ? kAccessExecute
                                                         : kAccessRead;
  }
  if (facts.code != SI_KERNEL) record->information[1] = facts.address;
}

// Hands the signal to the handler that was there before ours, or ends the
// process by it.
void passOn(int linuxSignal, siginfo_t* info, void* machineContext) {
  const struct sigaction& previous = previousActions[linuxSignal];
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction) {
      previous.sa_sigaction(linuxSignal, info, machineContext);
      return;
    }
  } else if (previous.sa_handler == SIG_IGN && linuxSignal == SIGINT) {
    return;
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(linuxSignal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(linuxSignal, &fallback, nullptr);
  raise(linuxSignal);  // blocked until the handler returns, then it ends the process
}

// Asks the frames about an exception; false when none took it.
bool offerToFrames(uint32_t code, ExceptionRecord* record, ProcessorContext* context,
                   ucontext_t* machineContext) {
  ExceptionPointers pointers{record, context};
  for (ExceptionFrame* frame = innermostFrame; frame; frame = frame->outer) {
    const int32_t answer = frame->filter(code, &pointers);
    if (answer == kContinueExecution) {
      contextToMachine(*context, &machineContext->uc_mcontext);
      return true;
    }
    if (answer == kExecuteHandler) siglongjmp(frame->landing, 1);
  }
  return false;
}

// The interrupted thread's segment registers, taken on a handler's entry
// (they still hold the thread's own bases there) and given back by its
// return. Kept in the handler's frame: the landing that loads them runs
// below the interrupted stack pointer, above the signal frame, with every
// signal blocked, so no later handler reuses the storage before it is read.
class OwnSegments {
 public:
  OwnSegments() {
    detail::SegmentReload gs;
    detail::describeThreadPointer(&gs);
    detail::takeOwnSegmentsOnEntry(gs, &segments_);
  }
  void keepAcrossReturn(ucontext_t* context) {
    detail::reloadOwnSegmentsAfterReturn(&segments_, context);
  }

 private:
  detail::ThreadSegments segments_{};
};

void onFault(int linuxSignal, siginfo_t* info, void* machineContext) {
  const int savedErrno = errno;
  auto* ucontext = static_cast<ucontext_t*>(machineContext);
  OwnSegments segments;
  if (innermostFrame) {
    ProcessorContext context{};
    contextFromMachine(ucontext->uc_mcontext, &context);
    const FaultFacts facts{linuxSignal, info->si_code,
                           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr))};
    ExceptionRecord record{};
    record.code = classifyFault(facts, &context);
    record.address = context.eip;
    fillInformation(facts, ucontext->uc_mcontext, &record);
    if (record.code != 0 && offerToFrames(record.code, &record, &context, ucontext)) {
      segments.keepAcrossReturn(ucontext);
      errno = savedErrno;
      return;
    }
  }
  passOn(linuxSignal, info, machineContext);
  segments.keepAcrossReturn(ucontext);
  errno = savedErrno;
}

void onKeyboardInterrupt(int linuxSignal, siginfo_t* info, void* machineContext) {
  const int savedErrno = errno;
  auto* ucontext = static_cast<ucontext_t*>(machineContext);
  OwnSegments segments;
  if (!innermostFrame && interruptThreadLives.load() &&
      !pthread_equal(pthread_self(), interruptThread)) {
    pthread_kill(interruptThread, linuxSignal);
    segments.keepAcrossReturn(ucontext);
    errno = savedErrno;
    return;
  }
  ProcessorContext context{};
  contextFromMachine(ucontext->uc_mcontext, &context);
  ExceptionRecord record{};
  record.code = exception_code::kControlBreakExit;
  record.address = context.eip;
  if (!offerToFrames(record.code, &record, &context, ucontext))
    passOn(linuxSignal, info, machineContext);
  segments.keepAcrossReturn(ucontext);
  errno = savedErrno;
}

// At the thread's exit: the alternate stack is switched off and unmapped.
void releaseFaultStack(void* stack) {
  if (pthread_equal(pthread_self(), interruptThread)) interruptThreadLives.store(false);
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(stack, kFaultStackBytes);
}

// Blocked while a fault or the keyboard interrupt is handled: a handler
// that came in between would find the trap half delivered. Not the thread
// suspension signal: another thread, holding a lock, may be waiting for this
// one to take it.
constexpr int kAsynchronousSignals[] = {SIGINT,  SIGQUIT, SIGTERM, SIGHUP,  SIGALRM, SIGVTALRM,
                                        SIGPROF, SIGIO,   SIGCHLD, SIGUSR1, SIGUSR2, SIGWINCH};

void installHandler(int linuxSignal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int asynchronous : kAsynchronousSignals) sigaddset(&action.sa_mask, asynchronous);
  sigaction(linuxSignal, &action, &previousActions[linuxSignal]);
}

// The kernel checks the source of a write: bytes that cannot be read make
// it fail with EFAULT instead of faulting. A fresh pipe per call keeps this
// safe in a signal handler and on any thread; each piece fits in the pipe.
bool readThroughPipe(uint32_t address, uint8_t* into, size_t count) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  bool readable = true;
  for (size_t done = 0; readable && done < count;) {
    const size_t piece = std::min<size_t>(count - done, kPipeReadPiece);
    const void* from = reinterpret_cast<const void*>(static_cast<uintptr_t>(address + done));
    readable = write(ends[1], from, piece) == static_cast<ssize_t>(piece) &&
               read(ends[0], into + done, piece) == static_cast<ssize_t>(piece);
    done += piece;
  }
  close(ends[0]);
  close(ends[1]);
  return readable;
}

}  // namespace

bool readCodeBytes(uint32_t address, void* into, size_t count) {
  if (count == 0) return true;
  const int savedErrno = errno;  // callers run in signal handlers
  if (address + (count - 1) < address) return false;  // wraps round the address space
  if (!crossProcessReadMissing.load(std::memory_order_relaxed)) {
    iovec local{into, count};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), count};
    const ssize_t read = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (read >= 0 || errno == EFAULT) {  // read, or found unreadable
      errno = savedErrno;
      return read == static_cast<ssize_t>(count);
    }
    crossProcessReadMissing.store(true, std::memory_order_relaxed);
  }
  const bool whole = readThroughPipe(address, static_cast<uint8_t*>(into), count);
  errno = savedErrno;
  return whole;
}

uint32_t classifyFault(const FaultFacts& facts, ProcessorContext* context) {
  if (facts.linuxSignal == SIGTRAP && facts.code == SI_KERNEL) {
    uint8_t before = 0;
    if (readCodeBytes(context->eip - 1, &before, 1) && before == kInt3Opcode) context->eip -= 1;
  }
  int firstByte = kAnyByte;  // read once, when a row asks for it
  for (const ClassificationRow& row : kClassification) {
    if (row.linuxSignal != facts.linuxSignal) continue;
    if (row.code != kAnyCode && row.code != facts.code) continue;
    if (row.firstByte != kAnyByte) {
      uint8_t byte = 0;
      if (firstByte == kAnyByte && readCodeBytes(context->eip, &byte, 1)) firstByte = byte;
      if (firstByte != row.firstByte) continue;
    }
    return row.exceptionCode;
  }
  return 0;
}

uint32_t runGuarded(ExceptionFilter filter, uint32_t (*body)(void*), void* argument) {
  installFaultHandling();
  ensureFaultStack();
  ExceptionFrame frame;
  frame.outer = innermostFrame;
  frame.filter = filter;
  if (sigsetjmp(frame.landing, 1) != 0) {
    innermostFrame = frame.outer;
    return 0;
  }
  innermostFrame = &frame;
  const uint32_t result = body(argument);
  innermostFrame = frame.outer;
  return result;
}

bool insideExceptionFrame() {
  return innermostFrame != nullptr;
}

bool ensureFaultStack() {
  if (threadHasFaultStack) return true;
  std::call_once(stackKeyOnce, [] { pthread_key_create(&stackKey, releaseFaultStack); });
  void* stack =
      mmap(nullptr, kFaultStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return false;
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = kFaultStackBytes;
  if (sigaltstack(&alternate, nullptr) != 0) {
    munmap(stack, kFaultStackBytes);
    return false;
  }
  pthread_setspecific(stackKey, stack);  // kept for the thread's life, then given back
  threadHasFaultStack = true;
  return true;
}

bool faultHandlingInstalled() {
  return handlingInstalled.load();
}

void installFaultHandling() {
  std::call_once(installOnce, [] {
    detail::findOutWhetherDescriptorTableShared();
    ensureFaultStack();
    for (int linuxSignal : kFaultSignals) installHandler(linuxSignal, onFault);
    handlingInstalled.store(true);
  });
}

void routeKeyboardInterrupt() {
  std::call_once(keyboardOnce, [] {
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return;
    detail::findOutWhetherDescriptorTableShared();
    interruptThread = pthread_self();
    ensureFaultStack();  // its end is noticed with the stack's release
    interruptThreadLives.store(true);
    installHandler(SIGINT, onKeyboardInterrupt);
  });
}

}  // namespace platform
