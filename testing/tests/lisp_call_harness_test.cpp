#include "testing/lisp_call_harness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/rs/lisp_value.h"
#include "testing/lisp_test_objects.h"

extern "C" {
void harness_target_three_values();
void harness_target_clobbers_nil();
void harness_target_pops_home_slots();
void harness_target_sum_three();
void harness_target_enter_function();
void harness_target_pops_x87();
}

namespace {

using namespace testing_support;

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

constexpr uint32_t kNil = 0x20000685;
constexpr uint32_t kThread = 0x54001012;
constexpr uint32_t kCallerFunction = 0x30000102;

LispCallSetup baseSetup(void (*target)()) {
  LispCallSetup setup;
  setup.target = addressOf(target);
  setup.edi = kNil;
  setup.ebx = kThread;
  setup.esi = 0x11111112;
  setup.ecx = 2;
  setup.eax = lisp::makeFixnum(5);
  setup.edx = lisp::makeFixnum(7);
  setup.frame[frameIndex(0x4)] = kCallerFunction;
  setup.frame[frameIndex(0x10)] = kNil;
  setup.frame[frameIndex(0x1c)] = kThread;
  for (int i = 0; i < kHarnessStackWords; ++i) setup.stack[i] = 0xa0000000u + i;
  return setup;
}

TEST(LispCallHarness, RecorderSeesRegistersFrameAndArgumentsWhereTheConventionPutsThem) {
  resetRecorder(lisp::makeFixnum(99));
  LispCallSetup setup = baseSetup(lisp_recorder_entry);
  setup.frame[frameIndex(0x18)] = 0x77777777;
  const LispCallResult result = callWithLispConventions(setup);

  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const RecordedCall& call = lisp_recorder_log.calls[0];
  EXPECT_EQ(call.eax, setup.eax);
  EXPECT_EQ(call.edx, setup.edx);
  EXPECT_EQ(call.ecx, setup.ecx);
  EXPECT_EQ(call.ebx, setup.ebx);
  EXPECT_EQ(call.esi, setup.esi);
  EXPECT_EQ(call.edi, setup.edi);
  for (int i = 0; i < kHarnessFrameWords; ++i) EXPECT_EQ(call.callerFrame[i], setup.frame[i]) << i;
  for (int i = 0; i < kHarnessStackWords; ++i) EXPECT_EQ(call.stack[i], setup.stack[i]) << i;

  EXPECT_EQ(result.eax, lisp::makeFixnum(99));
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_TRUE(result.ediSurvived(setup));
  EXPECT_EQ(result.esi, kCallerFunction);  // reloaded from the caller's ebp-4
  EXPECT_EQ(result.edx, setup.edx);
}

TEST(LispCallHarness, RecorderReturnsSeveralValuesInTheOpenForm) {
  const struct {
    uint32_t count;
    uint32_t carry;
  } cases[] = {{0, 1}, {1, 0}, {2, 1}, {3, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    resetRecorder(0);
    setRecorderValues(c.count, lisp::makeFixnum(1), lisp::makeFixnum(2));
    const LispCallResult result = callWithLispConventions(baseSetup(lisp_recorder_entry));
    EXPECT_EQ(result.carry, c.carry);
    EXPECT_EQ(result.eax, lisp::makeFixnum(1));
    EXPECT_EQ(result.ecx, c.count == 1 ? 2u : c.count);  // one value: the count register kept
    EXPECT_EQ(result.edx, c.count == 1 ? lisp::makeFixnum(7) : lisp::makeFixnum(2));
  }
  resetRecorder(0);
}

TEST(LispCallHarness, MultipleValuesComeBackWithTheCarryFlagAndCount) {
  const LispCallResult result = callWithLispConventions(baseSetup(harness_target_three_values));
  EXPECT_EQ(result.carry, 1u);
  EXPECT_EQ(result.ecx, 3u);
  EXPECT_EQ(result.eax, 0x44u);
  EXPECT_EQ(result.espDelta, 0);
}

TEST(LispCallHarness, DetectsBrokenConventions) {
  const LispCallSetup clobber = baseSetup(harness_target_clobbers_nil);
  EXPECT_FALSE(callWithLispConventions(clobber).ediSurvived(clobber));

  const LispCallResult popped = callWithLispConventions(baseSetup(harness_target_pops_home_slots));
  EXPECT_EQ(popped.espDelta, 8);
}

TEST(LispCallHarness, RuntimeRoutineReadsStackedArgumentsAndKeepsTheCallerFrame) {
  LispCallSetup setup = baseSetup(harness_target_sum_three);
  setup.stack[2] = lisp::makeFixnum(30);
  const LispCallResult result = callWithLispConventions(setup);
  EXPECT_EQ(result.eax, lisp::makeFixnum(42));
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_TRUE(result.ediSurvived(setup));
  EXPECT_EQ(result.esi, kCallerFunction);
  for (int i = 0; i < kHarnessFrameWords; ++i) EXPECT_EQ(result.frame[i], setup.frame[i]) << i;
  for (int i = 0; i < kHarnessStackWords; ++i) EXPECT_EQ(result.stack[i], setup.stack[i]) << i;
}

TEST(LispCallHarness, StandInFunctionIsReachedThroughItsStartWord) {
  LispTestObjects objects(kNil);
  const lisp::lispval function = objects.makeFunction(recorderAddress());
  resetRecorder(kNil);
  LispCallSetup setup = baseSetup(harness_target_enter_function);
  setup.esi = function;
  const LispCallResult result = callWithLispConventions(setup);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].esi, function);
  EXPECT_EQ(result.eax, kNil);
  EXPECT_EQ(result.espDelta, 0);
}

}  // namespace

namespace {

TEST(LispCallHarness, PreloadsTheX87StackAndReportsWhatTheTargetLeft) {
  LispCallSetup setup = baseSetup(harness_target_pops_x87);
  setup.x87Count = 2;
  setup.x87Values[0] = 1.5;
  setup.x87Values[1] = -4.0;
  const LispCallResult result = callWithLispConventions(setup);
  float popped;
  std::memcpy(&popped, &result.eax, sizeof popped);
  EXPECT_EQ(popped, 1.5f);  // values[0] was on top
  EXPECT_EQ(result.x87Depth, 1u);
  EXPECT_EQ(result.x87Top, -4.0);
  // The harness empties the x87 stack again.
  setup.x87Count = 0;
  setup.target = addressOf(harness_target_three_values);
  EXPECT_EQ(callWithLispConventions(setup).x87Depth, 0u);
}

}  // namespace
