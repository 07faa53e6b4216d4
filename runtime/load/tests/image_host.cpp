// A child process for heap image tests, linked with the runtime's objects.
//
//   image_host save FILE
//       builds a small heap with objects in old and new space and a native
//       block, saves it to FILE, prints its state (below) and exits 0, or
//       prints "save result N" and exits 2.
//   image_host restore [--occupy ADDRESS BYTES]... [--env NAME=VALUE]... [--save-again]
//                      -- ARGUMENTS...
//       reserves each ADDRESS range first (to force a move; hexadecimal),
//       sets the environment variables, then calls
//       lisp_init with ARGUMENTS as the argument vector; a restore that
//       reaches lisp_main_reborn prints the state and exits 0 there (after
//       a move, with the slots of the heap checked); one that moved the
//       Lisp heap and failed later prints the state at its exit.
//       With --save-again the restored heap is first saved over the image;
//       with --jettisoned it prints how many functions of the heap lost
//       their code and how many of those start at this process's reload
//       entry. With --interrupt the restore goes on through the runtime to
//       the first Lisp thread, whose life (in place of a start-up library's)
//       has another thread send the process SIGINT and prints whether the
//       Lisp found signal 2 pending: "interrupt pending as signal 2" and
//       status 0, or "interrupt never arrived" and status 3.
//       With --interrupt-at-exit a failed restore's exit first
//       interrupts the Lisp as the console does (signal_lisp with 2) and
//       prints "interrupt handled N".
//
// The state: one line per saved area and for the native heap's used bytes
// with a hash of their memory, then the runtime words the restore sets.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/native_heap.h"
#include "runtime/load/image_file.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/signal_emulation.h"
#include "runtime/os/thread_operations.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"
#include "testing/console_host_record.h"

extern "C" {
extern uint32_t globreg;
extern lisp::lispval tval;
extern lisp::lispval UnboundValue;
extern uint32_t reborn;
}

extern char** environ;

namespace {

constexpr uint32_t kOldSize = 0x100000;
constexpr uint32_t kNewSize = 0x80000;
constexpr int32_t kSpread = 2;
constexpr int kHeaderBytes = 92;
constexpr int kTableOffset = 92;
constexpr int kEntryBytes = 12;
constexpr uint32_t kGlobalWordZero = 0x15;  // nil - 0x15
constexpr uint32_t kRawVectorType = 127;

uint32_t& at(uint32_t address) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

// The nil block with its entry table and trampolines: a restore links them
// into the running library, so they are compared word by word elsewhere.
constexpr uint32_t kBlockBelowNil = 0x580;
constexpr uint32_t kBlockAboveNil = 0x400;

uint64_t hashOf(uint32_t address, uint32_t bytes) {
  uint64_t hash = 1469598103934665603ull;
  const auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t here = address + i;
    if (here >= nilval - kBlockBelowNil && here < nilval + kBlockAboveNil) continue;
    hash = (hash ^ p[i]) * 1099511628211ull;
  }
  return hash;
}

uint32_t readWord(int file, uint64_t offset) {
  uint8_t b[4] = {};
  if (pread(file, b, 4, static_cast<off_t>(offset)) != 4) return 0;
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Prints the state, reading the area table from the image file.
void printState(const char* image) {
  const int file = open(image, O_RDONLY);
  const uint32_t count = readWord(file, kTableOffset);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = kTableOffset + 4 + uint64_t{i} * kEntryBytes;
    const uint32_t address = readWord(file, entry + 4) + lisp_heap_offset;
    const uint32_t length = readWord(file, entry + 8);
    if (length == 0) continue;
    std::printf("area %08x %08x %016llx\n", address, length,
                static_cast<unsigned long long>(hashOf(address, length)));
  }
  close(file);
  const uint32_t used = vxmmalloc_heap.brk - vxmmalloc_heap.base;
  std::printf("native %08x %08x %016llx\n", vxmmalloc_heap.base, used,
              static_cast<unsigned long long>(hashOf(vxmmalloc_heap.base, used)));
  std::printf("lisp heap %08x %08x\n", lisp_heap.base, lisp_heap.brk);
  std::printf("nil %08x t %08x unbound %08x globreg %08x\n", nilval, tval, UnboundValue, globreg);
  std::printf("old areas %08x new top %08x reborn %u\n", gc::areaAddress(GsOldAreas), GsNewTop,
              reborn);
  std::printf("markercar %08x\n", at(UnboundValue - 0x11));
  namespace to = lisp::thread_ops;
  std::printf("thread clock %08x type %08x request %08x start %08x marker %08x\n",
              to::runtimeGlobal(to::global::kClockQueueHeader),
              to::runtimeGlobal(to::global::kThreadStructureType),
              to::runtimeGlobal(to::global::kRescheduleRequest),
              to::runtimeGlobal(to::global::kThreadStartSymbol),
              to::runtimeGlobal(to::global::kThreadStartMarker));
  std::fflush(stdout);
}

void printMovedWords() {
  std::printf("moved globreg %08x nilcar %08x nilcdr %08x markercdr %08x basepage %08x\n", globreg,
              at(nilval - 0x11), at(nilval - 0xd), at(UnboundValue - 0xd), at(nilval - 0x191));
}

const char* g_image = nullptr;
bool g_saveAgain = false;
bool g_jettisoned = false;
bool g_interrupt = false;

uint32_t reloadEntry() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&functionfault));
}

// Functions whose code slot holds a code-file place, and those of them that
// start at this process's reload entry.
uint32_t g_withoutCode = 0, g_startingHere = 0;
uint32_t countJettisoned(uint32_t object) {
  if ((at(object) & 0xff) != lisp::type_code::Function || !lisp::isFixnum(at(object + 16)))
    return 0;
  ++g_withoutCode;
  if (at(object + 4) == reloadEntry()) ++g_startingHere;
  return 0;
}

// Heap slots that still name the range the heap was saved at, and slots
// whose value the verifier does not take for a valid one.
uint32_t g_savedBase = 0, g_savedEnd = 0, g_stale = 0, g_invalid = 0;
void countSlot(uint32_t slot) {
  const uint32_t value = at(slot);
  const uint32_t tag = value & 7;
  if (tag != 0 && tag != 4 && tag != 6 && value >= g_savedBase && value < g_savedEnd) ++g_stale;
  if (r_verify(slot, 0, 1) < gc::verify_code::kImmediate) ++g_invalid;
}
void countReturnAddress(uint32_t) {}

void atReborn(int, char**, char**) {
  // Saved over the very file this process maps its heap from.
  if (g_saveAgain) std::printf("saved again %d\n", save_image_file(g_image, 0));
  printState(g_image);
  // Global word 0 must name this process's thread slot when Lisp code runs.
  std::printf("slot word %s\n", at(globreg) == lisp_tls_index ? "ours" : "stale");
  std::printf("worst-case page %08x\n", GsWorstCasePagesize);
  std::printf("gc hooks %s\n",
              at(nilval - 0x4f1) == nilval && at(nilval - 0x4f5) == nilval ? "nil" : "other");
  // What the executable-stack probe decided for the image and the library.
  std::printf("mapping forbidden %d library executable %d\n", disallow_mapping, dep_style_vpl);
  std::printf("reserved native %08x %08x %08x\n", vxmmalloc_heap.committed_end,
              vxmmalloc_heap.reserved_end, vxmmalloc_heap.desired_end);
  if (lisp_heap_offset != 0) {
    printMovedWords();
    g_savedBase = lisp_heap.base - lisp_heap_offset;
    g_savedEnd = lisp_heap.reserved_end - lisp_heap_offset;
    gsgc_scan_all_slots(countSlot, countReturnAddress);
    std::printf("stale slots %u invalid slots %u\n", g_stale, g_invalid);
  }
  if (g_jettisoned) {
    gsgc_scan_all(nullptr, countJettisoned, 1, 1, 1);
    std::printf("jettisoned %u starting here %u\n", g_withoutCode, g_startingHere);
  }
  std::fflush(stdout);
  std::exit(0);
}

// At the exit of a restore that moved the Lisp heap and failed later: the
// state, and the words the restore moves itself.
bool g_interruptAtExit = false;

void atExit(int status) {
  if (g_interruptAtExit) std::printf("interrupt handled %d\n", signal_lisp(2));
  std::printf("exit %d offset %08x\n", status, lisp_heap_offset);
  if (lisp_heap_offset == 0) return;
  printState(g_image);
  printMovedWords();
  std::fflush(stdout);
}

// A heap like a running Lisp's: objects and conses in old and new space, t
// a cons in old space, and a native block with a pattern.
int save(const char* image) {
  const int32_t slot = platform::allocateThreadSlot();
  lisp_tls_index = static_cast<uint32_t>(slot) * 4;
  if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) return 3;
  GsInit(kOldSize, kNewSize, kSpread, 0);

  const uint32_t tCell = cons_from_old();
  at(tCell) = nilval;
  at(tCell + 4) = nilval;
  tval = tCell + lisp::kPointerBias + 1;
  for (uint32_t i = 0; i < 2000; ++i) {
    const uint32_t cell = cons_from_old();
    at(cell) = i * 4;
    at(cell + 4) = nilval;
  }
  // Raw 32-bit vectors (type 127), so that the heap can be walked.
  const uint32_t vector = other_from_old_xsmp(4096);
  at(vector) = kRawVectorType;
  at(vector + 4) = lisp::makeFixnum(1022);
  for (uint32_t i = 2; i < 1024; ++i) at(vector + 4 * i) = 0x01010101u * (i & 0xff);
  const uint32_t young = other_from_new_xsmp(256);
  at(young) = kRawVectorType;
  at(young + 4) = lisp::makeFixnum(62);
  for (uint32_t i = 2; i < 64; ++i) at(young + 4 * i) = 0xa5000000u + i;
  // A function whose code vector went to the code file (place 64): it
  // starts at the library's reload entry.
  const uint32_t jettisoned = other_from_old_xsmp(lisp::functionObjectBytes(0));
  at(jettisoned) = lisp::headerWord(lisp::type_code::Function);
  at(jettisoned + 4) = reloadEntry();
  at(jettisoned + 8) = 0;
  for (uint32_t word = 3; word < 6; ++word) at(jettisoned + 4 * word) = nilval;
  at(jettisoned + 16) = lisp::makeFixnum(64);
  for (uint32_t word = 6; word < 9; ++word) at(jettisoned + 4 * word) = lisp::makeFixnum(0);
  // The thread machinery's globals: objects of old and new space and fixnums.
  namespace to = lisp::thread_ops;
  to::setRuntimeGlobal(to::global::kClockQueueHeader, lisp::pointerWord(vector, lisp::Tag::Other));
  to::setRuntimeGlobal(to::global::kThreadStructureType, tval);
  to::setRuntimeGlobal(to::global::kRescheduleRequest, lisp::makeFixnum(1));
  to::setRuntimeGlobal(to::global::kThreadStartSymbol, lisp::pointerWord(young, lisp::Tag::Other));
  to::setRuntimeGlobal(to::global::kThreadStartMarker, lisp::makeFixnum(7));
  auto* block = static_cast<uint8_t*>(vxmmalloc(3000, 0, 0));
  for (int i = 0; i < 3000; ++i) block[i] = static_cast<uint8_t>(i * 7);
  reborn = 1;

  const int result = save_image_file(image, 0);
  if (result != kSaveOk) {
    std::printf("save result %d\n", result);
    return 2;
  }
  printState(image);
  std::printf("jettisoned function %08x\n", jettisoned);
  return 0;
}

// The first Lisp thread's life with --interrupt, run where a start-up
// library's would: inside the thread's exception frame.
int32_t awaitInterrupt(int32_t, void (*)(int32_t), void*) {
  constexpr int kInterruptSignal = 2;
  constexpr int kWaitMs = 20000;
  std::thread sender([] { kill(getpid(), SIGINT); });
  bool pending = false;
  for (int waited = 0; waited < kWaitMs && !pending; ++waited) {
    pending = std::find(std::begin(lsignals), std::end(lsignals), kInterruptSignal) !=
              std::end(lsignals);
    if (!pending) usleep(1000);
  }
  sender.join();
  std::printf("interrupt %s\n", pending ? "pending as signal 2" : "never arrived");
  std::fflush(stdout);
  std::_Exit(pending ? 0 : 3);
}

int restore(int argc, char** argv) {
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--occupy") == 0 && i + 2 < argc) {
      const uint32_t address = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 16));
      const uint32_t bytes = static_cast<uint32_t>(std::strtoul(argv[i + 2], nullptr, 16));
      if (platform::reserveAddressSpace(address, bytes) != address) {
        std::printf("cannot occupy %08x\n", address);
        return 4;
      }
      i += 2;
    } else if (std::strcmp(argv[i], "--save-again") == 0) {
      g_saveAgain = true;
    } else if (std::strcmp(argv[i], "--jettisoned") == 0) {
      g_jettisoned = true;
    } else if (std::strcmp(argv[i], "--interrupt") == 0) {
      g_interrupt = true;
    } else if (std::strcmp(argv[i], "--interrupt-at-exit") == 0) {
      g_interruptAtExit = true;
    } else if (std::strcmp(argv[i], "--env") == 0 && i + 1 < argc) {
      putenv(argv[++i]);
    } else if (std::strcmp(argv[i], "--") == 0) {
      arguments.assign(argv + i + 1, argv + argc);
      break;
    }
  }
  if (arguments.size() >= 3) g_image = arguments[2];
  arguments.push_back(nullptr);
  if (g_interrupt) {
    as_setupstack = reinterpret_cast<void*>(awaitInterrupt);
    // As a program started from a terminal: a test run in the background
    // may have been started with the interrupt ignored.
    std::signal(SIGINT, SIG_DFL);
  } else {
    image_file::setRebornHook(atReborn);
  }
  return lisp_init(static_cast<int>(arguments.size() - 1), arguments.data(), environ, atExit,
                   nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  setup_redir(&testing_support::consoleHostRecord());  // the console: standard output
  if (argc >= 3 && std::strcmp(argv[1], "save") == 0) return save(argv[2]);
  if (argc >= 2 && std::strcmp(argv[1], "restore") == 0) return restore(argc - 2, argv + 2);
  std::fprintf(stderr, "image_host: unknown mode\n");
  return 120;
}
