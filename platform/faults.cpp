// The fault filter over Linux signals.
//
// Decisions:
// - int N and hlt arrive as SIGSEGV with si_code SI_KERNEL and no address,
//   eip at the instruction: CD nn (or 2E CD nn) is the int form, F4 a
//   breakpoint. Any other SIGSEGV, and SIGBUS, is an access violation.
// - int3 (SIGTRAP, eip past the CC byte) gets its eip moved back to the CC
//   byte and is passed on, as are SIGILL and SIGFPE: the default action is
//   restored and the re-executed instruction ends the process with it.
// - A dispatcher that answers 0 does not own the fault: it is passed on too.

#include "platform/faults.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr int kFilteredSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGFPE};
constexpr size_t kFaultStackBytes = 64 * 1024;
constexpr uint8_t kIntOpcode = 0xcd;
constexpr uint8_t kCsPrefix = 0x2e;
constexpr uint8_t kHltOpcode = 0xf4;

std::atomic<FaultDispatcher> installedDispatcher{nullptr};
std::atomic<FaultClassifier> installedClassifier{nullptr};
thread_local bool threadHasFaultStack = false;

void passOn(int linuxSignal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(linuxSignal, &fallback, nullptr);
}

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

void filter(int linuxSignal, siginfo_t* info, void* machineContext) {
  const int savedErrno = errno;
  auto* ucontext = static_cast<ucontext_t*>(machineContext);
  ProcessorContext context{};
  contextFromMachine(ucontext->uc_mcontext, &context);
  const FaultFacts facts{linuxSignal, info->si_code,
                         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr))};
  FaultClassifier classify = installedClassifier.load();
  const FaultKind kind = (classify ? classify : classifyFault)(facts, &context);
  const FaultDispatcher dispatch = installedDispatcher.load();
  int signal = 0;
  switch (kind) {
    case FaultKind::Interrupt:
      signal = kFaultSignalInterrupt;
      break;
    case FaultKind::Breakpoint:
      signal = kFaultSignalBreakpoint;
      break;
    case FaultKind::AccessViolation:
      signal = kFaultSignalAccess;
      break;
    case FaultKind::PassedOn:
      break;
  }
  ExceptionRecord exception{};
  exception.code = kAccessViolation;
  exception.address = context.eip;
  exception.informationCount = 2;
  exception.information[1] = facts.address;
  if (signal == 0 || !dispatch ||
      dispatch(signal, signal == kFaultSignalAccess ? &exception : nullptr, &context) == 0) {
    passOn(linuxSignal);
    ucontext->uc_mcontext.gregs[REG_EIP] = static_cast<greg_t>(context.eip);
    errno = savedErrno;
    return;
  }
  contextToMachine(context, &ucontext->uc_mcontext);
  errno = savedErrno;
}

}  // namespace

bool readCodeBytes(uint32_t address, void* into, size_t count) {
  iovec local{into, count};
  iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), count};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(count);
}

FaultKind classifyFault(const FaultFacts& facts, ProcessorContext* context) {
  switch (facts.linuxSignal) {
    case SIGBUS:
      return FaultKind::AccessViolation;
    case SIGTRAP:
      context->eip -= 1;  // back onto the CC byte
      return FaultKind::PassedOn;
    case SIGSEGV: {
      if (facts.code != SI_KERNEL || facts.address != 0) return FaultKind::AccessViolation;
      uint8_t code[3] = {};
      if (!readCodeBytes(context->eip, code, 1)) return FaultKind::AccessViolation;
      if (code[0] == kHltOpcode) return FaultKind::Breakpoint;
      if (code[0] == kIntOpcode) return FaultKind::Interrupt;
      if (code[0] == kCsPrefix && readCodeBytes(context->eip + 1, code + 1, 1) &&
          code[1] == kIntOpcode)
        return FaultKind::Interrupt;
      return FaultKind::AccessViolation;
    }
    default:
      return FaultKind::PassedOn;
  }
}

bool ensureFaultStack() {
  if (threadHasFaultStack) return true;
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
  threadHasFaultStack = true;  // kept for the thread's life
  return true;
}

bool faultFilterInstalled() {
  return installedDispatcher.load() != nullptr;
}

void installFaultFilter(FaultDispatcher dispatcher, FaultClassifier classifier) {
  installedClassifier.store(classifier);
  installedDispatcher.store(dispatcher);
  ensureFaultStack();
  struct sigaction action {};
  action.sa_sigaction = filter;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int linuxSignal : kFilteredSignals) sigaction(linuxSignal, &action, nullptr);
}

}  // namespace platform
