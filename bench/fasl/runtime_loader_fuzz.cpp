// libFuzzer target over the runtime loader and the fasl scanner: any bytes,
// put in a memfd and read through a runtime descriptor, are loaded into a
// real heap laid out afresh for every input (in boot mode and outside it,
// with and without a section key) and then scanned, verbose. The loader
// must end with one of its results and leave only the scratch string's cell
// on the thread's cell stack; the scanner with 0, -1 or -2;
// UndefinedBehaviorSanitizer catches the rest. The heap sits at the
// runtime's fixed addresses, so the target runs without AddressSanitizer.
//
// Objects a file asks for are capped at 64 KB and the semispaces hold 8 MB,
// so no input of up to 512 bytes can start a scavenge in its load.
//
// Run by hand, bounded (seeds: bench/fasl/seeds, made by make_native_loader_seeds):
//   build/bin/fuzz_runtime_fasl_loader -max_total_time=60 -max_len=512 -close_fd_mask=3 \
//     bench/fasl/seeds

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "launcher/host_record.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/fasl_scanner.h"
#include "runtime/load/runtime_fasl_loader.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"
#include "testing/forget_heaps.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_test_objects.h"

namespace {

namespace tr = lisp::thread_record;
using lisp::lispval;

constexpr uint32_t kOldSize = 0x100000;
constexpr uint32_t kNewSize = 0x1000000;  // two semispaces of 8 MB
constexpr uint32_t kObjectLimit = 0x10000;
constexpr int32_t kDescriptor = 10;

// Global words whose symbols' functions the loader's native entries call.
constexpr int32_t kLispCallSymbols[] = {-0x65, -0xc5, -0xe9, -0x311, -0x39d, -0x3a9};

alignas(8) uint32_t threadRecord[tr::kRecordWords];
int32_t threadSlot = -1;
host::HostRecord hostRecord{};
std::vector<host::DescriptorEntry> descriptors(host::kDescriptorCount);

uint32_t& globalWord(int32_t offset) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(nilval + offset));
}

uint32_t cellStackLength(lispval thread) {
  uint32_t n = 0;
  for (lispval c = lisp::wordAt(thread, tr::kFaslCellStack); lisp::isCons(c); c = lisp::cdr(c)) ++n;
  return n;
}

void runOnce(int fd, uint32_t boot, bool keyed) {
  testing_support::forgetHeaps();
  if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) std::abort();
  GsInit(kOldSize, kNewSize, 2, 0);
  maxheapsize = kObjectLimit;
  std::fill(std::begin(threadRecord), std::end(threadRecord), 0);
  const lispval thread = lisp::pointerWord(
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(threadRecord)), lisp::Tag::Other);
  lisp::wordAt(thread, tr::kClinkHead) = tr::kEmptyClinkChain;
  lisp::wordAt(thread, tr::kAnnotatingConsing) = nilval;
  lisp::wordAt(thread, tr::kFaslCellStack) = nilval;
  lisp::wordAt(thread, tr::kFaslFreeCells) = nilval;
  platform::setThreadSlot(threadSlot, thread);

  auto objects = std::make_unique<testing_support::LispTestObjects>(nilval);
  const lispval recorder =
      objects->makeSymbol(objects->makeFunction(testing_support::recorderAddress()));
  for (int32_t offset : kLispCallSymbols) globalWord(offset) = recorder;
  globalWord(lisp::nil_block::global::kErrorSymbol) = recorder;
  globalWord(lisp::nil_block::global::kErrorSymbolWithDatum) = recorder;
  const lispval key = objects->makeSymbol(nilval);
  globalWord(lisp::fasl::runtimeGlobalOffset(121)) = key;
  testing_support::resetRecorder(nilval);
  bootmode = boot;
  faslversion = min_faslversion = 61;
  rsversion = min_rsversion = 31;

  ::lseek(fd, 0, SEEK_SET);
  lispval cell = nilval;
  const int result =
      runtime_load_fasl(kDescriptor, &cell, keyed ? key : nilval, nilval, nilval, thread);
  switch (result) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 8:
    case 9:
      break;
    default:
      std::abort();
  }
  if (cellStackLength(thread) != 1) std::abort();
  if (!keyed && boot == 0) {
    ::lseek(fd, 0, SEEK_SET);
    const int32_t scanned = scan_fasl_descriptor(kDescriptor, lisp::makeFixnum(1));
    if (scanned != 0 && scanned != -1 && scanned != -2) std::abort();
  }
  objects.reset();
  free_heaps(0);
}

}  // namespace

// Calling a function a file made runs the file's own machine code, as it
// should; here the call is left out (the link wraps rfun).
extern "C" lispval __wrap_rfun(lispval) {
  return nilval;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  threadSlot = platform::allocateThreadSlot();
  lisp_tls_index = static_cast<uint32_t>(threadSlot) * 4;
  hostRecord.descriptorTable = descriptors.data();
  hostRecord.readHook = win_read;
  redir = reinterpret_cast<uint32_t*>(&hostRecord);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("fasl", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (size != 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  descriptors[kDescriptor].handle = static_cast<uint32_t>(fd);
  descriptors[kDescriptor].kind = host::kKindRuntimeDescriptor;
  // A package item in boot mode ends the process by design; leave it out.
  bool package = false;
  for (size_t i = 0; i < size; ++i) package = package || data[i] == 20;
  for (uint32_t boot : {0u, 1u}) {
    if (boot == 1 && package) continue;
    for (bool keyed : {false, true}) runOnce(fd, boot, keyed);
  }
  ::close(fd);
  return 0;
}
