// The collector's calls into Lisp through the bridge start-up installs: a
// heap laid out by GsInit and the thread registry set up as start-up sets it
// up (both the build and the restore run initialize_thread_registry), then
// collections run from Lisp through the runtime routine `gc`. The Lisp
// functions are the harness recorder, which only observes the call.
#include "runtime/os/collector_lisp_calls.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/memory.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_statistics.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/gc_call_probe.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_call_harness.h"
#include "testing/lisp_heap_fixture.h"
#include "testing/temp_working_directory.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;

constexpr int32_t kGcRoutine = 0x13b;
constexpr int32_t kGcAfterFunction = -0x15 - 4 * 36;
constexpr int32_t kHeapExhaustedFunction = -0x15 - 4 * 128;
constexpr int32_t kRootGlobal = -0x15 - 4 * 100;
constexpr uint32_t kFailCommit = 1;

bool failCommits(platform::MemoryOperation operation, uintptr_t, size_t) {
  return operation == platform::MemoryOperation::Commit;
}

// Every slot of the heap holds a live value or an immediate.
void verifySlot(uint32_t slot) {
  namespace vc = gc::verify_code;
  const int code = verify_slot(slot, 0, 1);
  if (code != vc::kImmediate && code != vc::kSpecial && code != vc::kCons &&
      code != vc::kObject && code != vc::kOutsideHeap)
    ADD_FAILURE() << "slot 0x" << std::hex << slot << " holds 0x" << at(slot) << " (code "
                  << std::dec << code << ")";
}
uint32_t verifyCons(uint32_t cell) {
  verifySlot(cell);
  verifySlot(cell + 4);
  return 0;
}
uint32_t verifyObject(uint32_t object) {
  static const gc::SlotTreatment treatment{verifySlot, verifySlot};
  scan_other_item(object, &treatment);
  return 0;
}

// An after-hook that, once, uses up the cons page and new space as Lisp
// code would, so that the bridge's first cons collects; it notes the
// figures of the collection it runs after.
struct Figures {
  uint32_t newCopy = 0, oldCopy = 0, efficiency = 0;
};
bool g_fillArmed = false;
Figures g_outerFigures;
void fillNewSpace() {
  if (!g_fillArmed) return;
  g_fillArmed = false;
  g_outerFigures = {new_copy, old_copy, GsUT};
  uint32_t& next = gc::globalWord(gc::global::kConsFill);
  while (next < gc::globalWord(gc::global::kConsLimit)) next += gc::kConsCellBytes;
  const auto free = static_cast<int32_t>(gc::globalWord(gc::global::kNewFree));
  if (free > 64) other_from_new_xsmp(static_cast<uint32_t>(free - 64) & ~7u);
}

class CollectorLispCalls : public gc_test::LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    thread_ = first_thread;
    savedFlags_ = GsCtlFlags;
    testing_support::resetRecorder(nil());
    function_ = recorderFunction();
  }
  void TearDown() override {
    platform::setMemoryFaultHook(nullptr);
    gc::setLispCaller(nullptr);
    GsCtlFlags = savedFlags_;
    lisp::registry::forgetRegistry();
    LispHeap::TearDown();
  }

  // A function object whose calls the recorder takes.
  lispval recorderFunction(bool inNewSpace = false) {
    const uint32_t bytes = lisp::functionObjectBytes(0);
    const uint32_t address = inNewSpace ? other_from_new_xsmp(bytes) : other_from_old_xsmp(bytes);
    auto* function = reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(address));
    function->header = lisp::headerWord(lisp::type_code::Function);
    function->start = testing_support::recorderAddress();
    function->lispSlot1 = function->codeVector = function->lispSlot2 = nil();
    return lisp::wordOf(function, lisp::Tag::Other);
  }

  // Runs the routine `gc` from Lisp code: nil scavenges, t collects globally.
  void collectFromLisp(lispval flag) {
    testing_support::LispCallSetup setup;
    setup.target = global(kGcRoutine);
    setup.edi = nil();
    setup.ebx = thread_;
    setup.ecx = 1;
    setup.eax = flag;
    setup.frame[testing_support::frameIndex(0x4)] = lisp::nil_block::marker::kRuntimeRoutine;
    setup.frame[testing_support::frameIndex(0x1c)] = thread_;
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.edi, nil());
    gsgc_scan_all(verifyCons, verifyObject, 1, 1, 1);
  }

  // The arguments of recorded call i, in order.
  static std::vector<lispval> arguments(uint32_t i) {
    const testing_support::RecordedCall& call = lisp_recorder_log.calls[i];
    std::vector<lispval> values;
    for (uint32_t a = 0; a < call.ecx; ++a)
      values.push_back(a == 0 ? call.eax : a == 1 ? call.edx : call.stack[a]);
    return values;
  }

  lispval thread_ = 0;
  lispval function_ = 0;
  uint32_t savedFlags_ = 0;
};

TEST_F(CollectorLispCalls, TheAfterGcFunctionIsCalledWithItsFiveArgumentsAfterEachCollection) {
  const struct {
    const char* name;
    bool global;
  } cases[] = {{"scavenge", false}, {"global collection", true}};
  global(kGcAfterFunction) = function_;
  GsCtlFlags |= gc::flag::kAfterGcHook;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(nil());
    // Something live in new space, so the copy counts are not all zero.
    const uint32_t vector = other_from_new_xsmp(64);
    at(vector) = lisp::headerWord(lisp::type_code::SimpleVector);
    at(vector + 4) = makeFixnum(14);
    for (uint32_t i = 0; i < 14; ++i) at(vector + 8 + 4 * i) = makeFixnum(static_cast<int32_t>(i));
    global(kRootGlobal) = lisp::pointerWord(vector, lisp::Tag::Other);
    const lispval t = lisp::nil_block::tFor(nil());

    collectFromLisp(c.global ? t : nil());

    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].esi, function_);
    const auto fixnum = [](uint32_t value) { return makeFixnum(static_cast<int32_t>(value)); };
    const std::vector<lispval> expected = {c.global ? t : nil(), fixnum(new_copy),
                                           fixnum(old_copy), fixnum(GsUT), makeFixnum(0)};
    EXPECT_EQ(arguments(0), expected);
    EXPECT_GT(new_copy + old_copy, 0u);
    global(kRootGlobal) = nil();
  }
}

TEST_F(CollectorLispCalls, ACollectionWhileTheArgumentsAreConsedCallsBothInOrder) {
  // In new space, the function moves at each collection: the bridge must
  // call it where the nested one left it.
  global(kGcAfterFunction) = recorderFunction(true);
  GsCtlFlags |= gc::flag::kAfterGcHook;
  global(gc_test::kGcAfterHooksWord) =
      gc_test::hookListAt(other_from_old_xsmp(16), cons_from_old(), fillNewSpace);
  g_fillArmed = true;
  const uint32_t scavenges = ScavengeCt;

  collectFromLisp(nil());

  EXPECT_EQ(ScavengeCt, scavenges + 2) << "the bridge's cons collected";
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  const auto fixnum = [](uint32_t value) { return makeFixnum(static_cast<int32_t>(value)); };
  // The nested collection's call returns first; the outer one's follows with
  // its own figures.
  const std::vector<lispval> nested = {nil(), fixnum(new_copy), fixnum(old_copy), fixnum(GsUT),
                                       makeFixnum(0)};
  const std::vector<lispval> outer = {nil(), fixnum(g_outerFigures.newCopy),
                                      fixnum(g_outerFigures.oldCopy),
                                      fixnum(g_outerFigures.efficiency), makeFixnum(0)};
  EXPECT_EQ(arguments(0), nested);
  EXPECT_EQ(arguments(1), outer);
  for (uint32_t i = 0; i < 2; ++i)
    EXPECT_EQ(lisp_recorder_log.calls[i].esi, global(kGcAfterFunction)) << "call " << i;
}

TEST_F(CollectorLispCalls, TheHeapExhaustedFunctionIsCalledWhenTheHeapCannotGrow) {
  const testing_support::TempWorkingDirectory directory;  // the memory status report
  global(kHeapExhaustedFunction) = function_;
  GsCtlFlags &= ~gc::flag::kAfterGcHook;
  // New space grows at the top when its lower half is the allocation semispace.
  if (GsNewAllocationArea.start > GsNewScavengeToArea) collectFromLisp(nil());
  ASSERT_LT(GsNewAllocationArea.start, GsNewScavengeToArea);
  GsNewExpansion = 4 * GsNewQuantum;
  const uint32_t wanted = GsNewExpansion;
  platform::setMemoryFaultHook(failCommits);
  testing::internal::CaptureStdout();
  collectFromLisp(nil());
  testing::internal::GetCapturedStdout();
  platform::setMemoryFaultHook(nullptr);

  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].esi, function_);
  const std::vector<lispval> expected = {makeFixnum(0),
                                         makeFixnum(0),
                                         makeFixnum(0),
                                         makeFixnum(static_cast<int32_t>(wanted)),
                                         nil(),
                                         makeFixnum(kFailCommit)};
  EXPECT_EQ(arguments(0), expected);
}

}  // namespace
