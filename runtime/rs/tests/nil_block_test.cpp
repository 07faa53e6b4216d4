#include "runtime/rs/nil_block.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_memory.h"
#include "platform/thread_block.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/entry_table.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_test_objects.h"
#include "testing/run_program.h"

extern "C" {
extern lisp::lispval nilval;
extern lisp::lispval UnboundValue;
extern uint32_t globreg;
extern uint32_t globs[32];
uint32_t probe_native_entry_thread();
}

namespace {

using namespace lisp;
using namespace testing_support;
namespace nb = lisp::nil_block;
namespace et = lisp::entry_table;

constexpr uint32_t kBlockBytes = 0x4000;
constexpr uint32_t kStampPlusOne = 5;
constexpr uint32_t kThread = 0x54001012;

uint8_t byteAt(uint32_t address) {
  return *reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address));
}

class NilBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    memory_ = static_cast<uint8_t*>(platform::allocateCodeMemory(kBlockBytes));
    ASSERT_NE(memory_, nullptr);
    slot_ = platform::allocateThreadSlot();
    ASSERT_GE(slot_, 0);
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
  }
  void TearDown() override {
    platform::freeThreadSlot(slot_);
    platform::releaseCodeMemory(memory_, kBlockBytes);
  }
  uint32_t base() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory_)); }
  // Builds a block at base + offset; returns the free position.
  uint32_t build(uint32_t offset = 0) {
    start_ = base() + offset;
    free_ = setupglobs(start_, kStampPlusOne);
    nil_ = nilval;
    return free_;
  }
  uint32_t& global(int32_t offset) { return nb::word(nil_, offset); }

  uint8_t* memory_ = nullptr;
  int32_t slot_ = -1;
  uint32_t start_ = 0, free_ = 0;
  lispval nil_ = 0;
};

TEST_F(NilBlock, NilIsPlacedAboveTheBlockStart) {
  const struct {
    uint32_t startOffset;
    uint32_t nilOffset;  // from the block start
  } cases[] = {{0x100, 0x685}, {0x17b, 0x60a}, {0x1f8, 0x68d}};
  for (const auto& c : cases) {
    nilval = 0;  // a fresh library: setupglobs must not read nil before placing it
    build(c.startOffset);
    EXPECT_EQ(nil_, start_ + c.nilOffset) << std::hex << c.startOffset;
    EXPECT_EQ(tagOf(nil_), Tag::Nil);
    EXPECT_EQ(globreg, nil_ - 0x15);
    EXPECT_EQ(globs[0], nil_);
  }
}

TEST_F(NilBlock, GoldenBytesAroundNil) {
  build();
  const uint8_t expected[] = {
      0x00, 0xb9, 0x02, 0x00, 0x00, 0x00,                    // nil-6: 0xb900, then 2
      0x83, 0xe1, 0x7f, 0x8b, 0x73, 0xf5, 0x89, 0x5d, 0xe8,  // nil
      0x89, 0x4d, 0xf0, 0x8b, 0x5d, 0xe4, 0x89, 0x44, 0x24, 0x04, 0x89,
      0x54, 0x24, 0x08, 0xf7, 0x55, 0xf0, 0xff, 0x66, 0xf2, 0x90,
  };
  static_assert(sizeof expected == 6 + 0x1e);
  for (uint32_t i = 0; i < sizeof expected; ++i)
    EXPECT_EQ(byteAt(nil_ - 6 + i), expected[i]) << "nil" << int(i) - 6;
}

TEST_F(NilBlock, BytesFromNilMinus5DisassembleToTheStub) {
  build();
  char path[] = "/tmp/nil_stub_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, reinterpret_cast<const void*>(static_cast<uintptr_t>(nil_ - 5)), 5 + 0x1e),
            5 + 0x1e);
  close(fd);
  const ProgramRun run =
      runProgram("/usr/bin/objdump", {"-D", "-b", "binary", "-m", "i386", "-M", "intel", path});
  std::remove(path);
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;

  std::vector<std::string> instructions;
  std::istringstream lines(run.standardOutput);
  for (std::string line; std::getline(lines, line);) {
    const size_t lastTab = line.rfind('\t');
    if (line.find(":\t") == std::string::npos || lastTab == std::string::npos) continue;
    std::string text = line.substr(lastTab + 1);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    instructions.push_back(text);
  }
  const std::vector<std::string> expected = {
      "mov    ecx,0x2",
      "and    ecx,0x7f",
      "mov    esi,DWORD PTR [ebx-0xb]",
      "mov    DWORD PTR [ebp-0x18],ebx",
      "mov    DWORD PTR [ebp-0x10],ecx",
      "mov    ebx,DWORD PTR [ebp-0x1c]",
      "mov    DWORD PTR [esp+0x4],eax",
      "mov    DWORD PTR [esp+0x8],edx",
      "not    DWORD PTR [ebp-0x10]",
      "jmp    DWORD PTR [esi-0xe]",
      "nop",
  };
  EXPECT_EQ(instructions, expected) << run.standardOutput;
}

TEST_F(NilBlock, StartUpValuesOfAFreshBlock) {
  build(0x100);
  EXPECT_EQ(global(nb::global::kAllocationStamp), kStampPlusOne - 1);
  EXPECT_EQ(car(nil_), nil_);
  EXPECT_EQ(cdr(nil_), nil_);
  EXPECT_EQ(global(nb::global::kThreadSlotIndex), lisp_tls_index);
  EXPECT_EQ(platform::threadSlot(slot_), dummyThreadWord());
  EXPECT_EQ(global(nb::global::kDivisorScratch), nil_);
  EXPECT_EQ(global(nb::global::kConsingMode), 0u);
  uint16_t controlWord;
  std::memcpy(&controlWord, reinterpret_cast<void*>(nil_ + nb::global::kFloatControlWord), 2);
  EXPECT_EQ(controlWord, nb::kFreshFloatControlWord);
  EXPECT_EQ(global(nb::global::kGlobsAddress),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(globs)));
  for (const auto& start : nb::kStartValues)
    EXPECT_EQ(global(start.offset), start.value == nb::StartValue::Nil ? nil_ : 0u)
        << std::hex << -start.offset;

  // Trampoline area right after the entry table, then two scratch bignums and
  // the unbound marker, each 8-aligned.
  const uint32_t area = nb::align8(nil_ + 0x383);
  EXPECT_EQ(global(nb::global::kTrampolineAreaStart), area);
  EXPECT_EQ(global(nb::global::kTrampolineAreaEnd), area + 53);
  const uint32_t bignums = nb::align8(area + 53);
  EXPECT_EQ(global(nb::global::kScratchBignum1), bignums + 0x12);
  EXPECT_EQ(global(nb::global::kScratchBignum2), bignums + 16 + 0x12);
  for (int32_t g : {nb::global::kScratchBignum1, nb::global::kScratchBignum2})
    EXPECT_EQ(wordAt(global(g), kHeaderOffset), 18u);

  const lispval marker = global(nb::global::kUnboundMarker);
  EXPECT_EQ(marker, bignums + 32 + 0x11);
  EXPECT_EQ(UnboundValue, marker);
  EXPECT_EQ(cdr(marker), nil_);
  const lispval string = car(marker);
  EXPECT_EQ(string, bignums + 40 + 0x12);
  EXPECT_EQ(wordAt(string, kHeaderOffset), uint32_t{type_code::SimpleString});
  EXPECT_EQ(wordAt(string, -0xe), makeFixnum(13));
  EXPECT_EQ(free_, bignums + 32 + 48);
}

TEST_F(NilBlock, EveryWrittenSlotHoldsItsRoutine) {
  build();
  std::set<int32_t> written;
  for (const auto& slot : et::kStubSlots) {
    EXPECT_EQ(global(slot.offset), nil_ + slot.stubEntry) << std::hex << slot.offset;
    written.insert(slot.offset);
  }
  for (const auto& slot : et::kRoutineSlots) {
    EXPECT_NE(slot.routine, nullptr) << slot.name;
    EXPECT_EQ(global(slot.offset), et::routineFor(slot)) << slot.name;
    EXPECT_TRUE(written.insert(slot.offset).second) << "slot written twice: " << slot.name;
  }
  // 193 slots above nil, the other 23 positions untouched; 9 entry words below.
  int above = 0;
  for (int32_t offset : written) above += offset > 0;
  EXPECT_EQ(above, 193);
  EXPECT_EQ(written.size(), 193u + 9u);
  for (int32_t offset = nb::kFirstEntrySlot; offset <= nb::kLastEntrySlot; offset += 4) {
    const bool unwritten = std::find(et::kUnwrittenSlots.begin(), et::kUnwrittenSlots.end(),
                                     offset) != et::kUnwrittenSlots.end();
    EXPECT_NE(written.count(offset) == 1, unwritten) << std::hex << offset;
  }
}

TEST_F(NilBlock, RestoreglobsRewritesTheTableAndLeavesUnwrittenPositions) {
  build();
  for (int32_t offset = nb::kFirstEntrySlot; offset <= nb::kLastEntrySlot; offset += 4)
    global(offset) = 0xdead0000u + static_cast<uint32_t>(offset);
  for (const auto& copy : nb::kTrampolineCopies) global(copy.global) = 0xbad;
  const uint32_t area = global(nb::global::kTrampolineAreaStart);
  std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(area)), 0xcc, 53);
  global(nb::global::kGlobsAddress) = 0;
  global(nb::global::kConsingMode) = static_cast<uint32_t>(-3);

  const uint32_t result = restoreglobs();

  EXPECT_EQ(result, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(globs)));
  EXPECT_EQ(global(nb::global::kGlobsAddress), result);
  EXPECT_EQ(global(nb::global::kConsingMode), 0u);
  for (const auto& slot : et::kRoutineSlots) EXPECT_EQ(global(slot.offset), et::routineFor(slot));
  for (const auto& slot : et::kStubSlots) EXPECT_EQ(global(slot.offset), nil_ + slot.stubEntry);
  for (int32_t offset : et::kUnwrittenSlots)
    EXPECT_EQ(global(offset), 0xdead0000u + static_cast<uint32_t>(offset)) << std::hex << offset;
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(static_cast<uintptr_t>(area)), gtrampstart, 53), 0);
  for (const auto& copy : nb::kTrampolineCopies)
    EXPECT_EQ(global(copy.global), area + copy.offsetInStretch);
  EXPECT_EQ(global(nb::global::kClosureEntryForNew), area + 3);
}

TEST_F(NilBlock, TrampolineOffsetsMatchTheLibraryCode) {
  const auto offsetOf = [](void (*routine)()) {
    return routineAddress(routine) -
           static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gtrampstart));
  };
  EXPECT_EQ(gtrampend - gtrampstart, 53);
  EXPECT_EQ(offsetOf(closure_start), 3u);
  EXPECT_EQ(offsetOf(gt_undeffunc), 15u);
  EXPECT_EQ(offsetOf(gt_illeg_macro_or_spec_call), 23u);
  EXPECT_EQ(offsetOf(gt_comp_to_interp), 31u);
  EXPECT_EQ(offsetOf(gt_comp_to_byte), 39u);
  EXPECT_EQ(offsetOf(gt_fwrap_start), 47u);
}

TEST_F(NilBlock, NativeEntryLoadsTheThreadFromLowAndHighSlots) {
  build();
  ASSERT_TRUE(platform::setThreadSlot(slot_, kThread));
  EXPECT_EQ(probe_native_entry_thread(), kThread);

  // A slot of 64 or more lies in the expansion array (byte index 0x100 and up).
  std::vector<int32_t> taken;
  int32_t high;
  while ((high = platform::allocateThreadSlot()) >= 0 && high < platform::kLowSlotCount)
    taken.push_back(high);
  ASSERT_GE(high, platform::kLowSlotCount);
  lisp_tls_index = static_cast<uint32_t>(high) * 4;
  build();
  EXPECT_EQ(global(nb::global::kThreadSlotIndex), lisp_tls_index);
  EXPECT_EQ(probe_native_entry_thread(), dummyThreadWord());
  ASSERT_TRUE(platform::setThreadSlot(high, kThread + 8));
  EXPECT_EQ(probe_native_entry_thread(), kThread + 8);
  for (int32_t index : taken) platform::freeThreadSlot(index);
  platform::freeThreadSlot(high);
}

// ---- calls through the stub and the error path, with the recorder ----

class NilBlockCalls : public NilBlock {
 protected:
  void SetUp() override {
    NilBlock::SetUp();
    build();
    objects_ = std::make_unique<LispTestObjects>(nil_);
    function_ = objects_->makeFunction(recorderAddress());
    symbol_ = objects_->makeSymbol(function_);
    resetRecorder(makeFixnum(321));
  }
  LispCallSetup setupFor(uint32_t target) {
    LispCallSetup setup;
    setup.target = target;
    setup.edi = nil_;
    setup.ebx = symbol_;
    setup.esi = 0x99999992;
    setup.ecx = 0x85;
    setup.eax = makeFixnum(11);
    setup.edx = makeFixnum(22);
    setup.frame[frameIndex(0x4)] = 0x30000102;
    setup.frame[frameIndex(0x10)] = nil_;
    setup.frame[frameIndex(0x1c)] = kThread;
    setup.stack[2] = makeFixnum(33);
    return setup;
  }

  std::unique_ptr<LispTestObjects> objects_;
  lispval function_ = 0, symbol_ = 0;
};

TEST_F(NilBlockCalls, EachStubEntryCallsTheFunctionTheConventionSays) {
  const struct {
    const char* entry;
    int32_t target;      // from nil
    uint32_t presetEsi;  // 0: the stub loads the function from the symbol
    uint32_t countSeen;  // ecx when the function starts
  } cases[] = {
      {"nil", 0, 0, 5},  // count masked to 7 bits
      {"nil-5", -5, 0, 2},
      {"nil+3", 3, 0, 0x85},
      {"nil+6", 6, 1, 0x85},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    resetRecorder(makeFixnum(321));
    LispCallSetup setup = setupFor(nil_ + c.target);
    if (c.presetEsi) setup.esi = function_;
    const LispCallResult result = callWithLispConventions(setup);

    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const RecordedCall& call = lisp_recorder_log.calls[0];
    EXPECT_EQ(call.esi, function_);
    EXPECT_EQ(call.ecx, c.countSeen);
    EXPECT_EQ(call.ebx, kThread);  // reloaded from ebp-0x1c
    EXPECT_EQ(call.edi, nil_);
    EXPECT_EQ(call.callerFrame[frameIndex(0x18)], symbol_);
    EXPECT_EQ(call.callerFrame[frameIndex(0x10)], ~c.countSeen);
    EXPECT_EQ(call.stack[0], setup.eax);  // home slots written by the stub
    EXPECT_EQ(call.stack[1], setup.edx);
    EXPECT_EQ(call.stack[2], makeFixnum(33));
    EXPECT_EQ(call.eax, setup.eax);
    EXPECT_EQ(call.edx, setup.edx);

    EXPECT_EQ(result.eax, makeFixnum(321));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_TRUE(result.ediSurvived(setup));
  }
}

TEST_F(NilBlockCalls, RuntimeErrorCallsTheErrorFunctionWithTheCode) {
  const lispval errorSymbol = objects_->makeSymbol(function_);
  global(nb::global::kErrorSymbol) = errorSymbol;
  LispCallSetup setup = setupFor(routineAddress(rs_error));
  setup.eax = makeFixnum(17);
  setup.ebx = kThread;
  const LispCallResult result = callWithLispConventions(setup);

  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& call = lisp_recorder_log.calls[0];
  EXPECT_EQ(call.eax, makeFixnum(17));
  EXPECT_EQ(call.ecx, 1u);
  EXPECT_EQ(call.ebx, kThread);
  EXPECT_EQ(call.callerFrame[frameIndex(0x4)], nb::marker::kRuntimeRoutine);
  EXPECT_EQ(call.callerFrame[frameIndex(0x14)], 0u);  // never a stale word for the stack walk
  EXPECT_EQ(call.callerFrame[frameIndex(0x18)], errorSymbol);
  EXPECT_EQ(call.callerFrame[frameIndex(0x1c)], kThread);
  EXPECT_EQ(result.eax, makeFixnum(321));
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.esi, setup.frame[frameIndex(0x4)]);
  EXPECT_TRUE(result.ediSurvived(setup));
}

TEST_F(NilBlockCalls, RuntimeErrorWithDatumGoesThroughTheTwoArgumentEntry) {
  const lispval errorSymbol = objects_->makeSymbol(function_);
  global(nb::global::kErrorSymbolWithDatum) = errorSymbol;
  LispCallSetup setup = setupFor(routineAddress(rs_error_with_datum));
  setup.eax = makeFixnum(13);
  setup.edx = makeCharacter('x');
  setup.ebx = kThread;
  const LispCallResult result = callWithLispConventions(setup);

  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& call = lisp_recorder_log.calls[0];
  EXPECT_EQ(call.eax, makeFixnum(13));
  EXPECT_EQ(call.edx, makeCharacter('x'));
  EXPECT_EQ(call.ecx, 2u);
  EXPECT_EQ(call.stack[0], makeFixnum(13));
  EXPECT_EQ(call.stack[1], makeCharacter('x'));
  EXPECT_EQ(call.callerFrame[frameIndex(0x18)], errorSymbol);
  EXPECT_EQ(result.eax, makeFixnum(321));
  EXPECT_EQ(result.espDelta, 0);
}

TEST_F(NilBlockCalls, ClosureEntryAndTrampolineCopiesRunFromTheBlock) {
  // closure_start: frame slot ebp-0x14 gets the closure, esi its template.
  auto* closure = static_cast<ClosureObject*>(objects_->allocate(24));
  closure->header = headerWord(type_code::Closure);
  closure->start = global(-0x1c5);
  closure->templateFunction = function_;
  const lispval closureWord = wordOf(closure, Tag::Other);
  LispCallSetup setup = setupFor(global(-0x1c5));
  setup.esi = closureWord;
  callWithLispConventions(setup);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].esi, function_);
  EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[frameIndex(0x14)], closureWord);

  // gt_undeffunc's copy jumps through nil-0x1e5 with the call state unchanged.
  resetRecorder(nil_);
  global(-0x1e5) = recorderAddress();
  setup = setupFor(global(-0x1cd));
  const LispCallResult result = callWithLispConventions(setup);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].ebx, symbol_);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 0x85u);
  EXPECT_EQ(result.eax, nil_);
}

}  // namespace
