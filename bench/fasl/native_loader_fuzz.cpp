// libFuzzer target over libfasl: any bytes, read from an fmemopen stream, are
// loaded into a real heap laid out afresh for every input, in boot mode and
// outside it. The loader must end with one of its results and leave the load
// stack as it found it; UndefinedBehaviorSanitizer catches the rest. The
// heap sits at the runtime's fixed addresses, so the target runs without
// AddressSanitizer.
//
// Objects a file asks for are capped at 64 KB and the semispaces hold
// 8 MB, so no input of up to 512 bytes can start a scavenge in its load
// (the boot symbol table and the segment cell are no roots here).
//
// Run by hand, bounded (seeds: bench/fasl/seeds, made by make_native_loader_seeds):
//   build/bin/fuzz_native_fasl_loader -max_total_time=60 -max_len=512 -close_fd_mask=3 \
//     bench/fasl/seeds

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/startup_services.h"
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
constexpr uint32_t kBootTableSlots = 509;

// Global words whose symbols' functions the loader's native entries call.
constexpr int32_t kLispCallSymbols[] = {-0x65, -0xc5, -0xe9, -0x311, -0x39d, -0x3a9};

alignas(8) uint32_t threadRecord[tr::kRecordWords];
lispval bootTable[kBootTableSlots];
int32_t threadSlot = -1;

uint32_t& globalWord(int32_t offset) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(nilval + offset));
}

int loadOnce(const uint8_t* data, size_t size, uint32_t boot) {
  testing_support::forgetHeaps();
  if (setup_heaps(0, 0, 0, 0, 0, 0) != 1) std::abort();
  GsInit(kOldSize, kNewSize, 2, 0);
  maxheapsize = kObjectLimit;
  std::fill(std::begin(threadRecord), std::end(threadRecord), 0);
  const lispval thread =
      lisp::pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(threadRecord)),
                        lisp::Tag::Other);
  lisp::wordAt(thread, tr::kClinkHead) = tr::kEmptyClinkChain;
  lisp::wordAt(thread, tr::kAnnotatingConsing) = nilval;
  lisp::wordAt(thread, tr::kFaslStack) = nilval;
  platform::setThreadSlot(threadSlot, thread);

  auto objects = std::make_unique<testing_support::LispTestObjects>(nilval);
  const lispval recorder =
      objects->makeSymbol(objects->makeFunction(testing_support::recorderAddress()));
  for (int32_t offset : kLispCallSymbols) globalWord(offset) = recorder;
  globalWord(lisp::nil_block::global::kErrorSymbol) = recorder;
  globalWord(lisp::nil_block::global::kErrorSymbolWithDatum) = recorder;
  testing_support::resetRecorder(nilval);

  std::fill(std::begin(bootTable), std::end(bootTable), 0);
  oblist = bootTable;
  ob_size = kBootTableSlots;
  bootmode = boot;
  faslversion = min_faslversion = 61;
  rsversion = min_rsversion = 31;

  std::vector<uint8_t> bytes(data, data + size);
  std::FILE* stream = fmemopen(bytes.empty() ? nullptr : bytes.data(), bytes.size(), "rb");
  if (stream == nullptr) stream = std::fopen("/dev/null", "rb");
  lispval cell = 0;
  const uint32_t before = lisp::wordAt(thread, tr::kSpecialFill);
  const int result = libfasl(stream, &cell, lisp::makeFixnum(0), thread);
  // The first load keeps its string buffer; nothing else stays.
  if (before != 0 && lisp::wordAt(thread, tr::kSpecialFill) != before) std::abort();
  if (lisp::wordAt(thread, tr::kSpecialFill) > 2) std::abort();
  objects.reset();
  oblist = nullptr;
  ob_size = 0;
  free_heaps(0);
  return result;
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
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (uint32_t boot : {1u, 0u}) {
    // A package item in boot mode ends the process by design; leave it out.
    bool bootPackage = false;
    for (size_t i = 0; i < size; ++i) bootPackage = bootPackage || data[i] == 20;
    if (boot == 1 && bootPackage) continue;
    const int result = loadOnce(data, size, boot);
    switch (result) {
      case 0: case 1: case 2: case 3: case 4: case 5: case 7: case 8: case 9:
        break;
      default:
        std::abort();
    }
  }
  return 0;
}
