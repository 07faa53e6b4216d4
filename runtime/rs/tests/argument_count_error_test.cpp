// argerr entered as the trap dispatcher enters it, from a function that
// owns its frame and from one that trapped before building it: the report
// and error 22 reach Lisp with the frame a backtrace needs, and the trapping
// code resumes with its registers, flags and whole floating-point state.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/os/exception_filter.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"

extern "C" {
void argerr_probe_owned();
void argerr_probe_unowned();
void argerr_probe_prepare_fp();
void fp_clobbering_start();
extern uint32_t argerr_probe_in[5];
extern uint32_t argerr_probe_before[9];
extern uint32_t argerr_probe_after[9];
extern uint32_t argerr_probe_symbol;
extern uint8_t argerr_probe_fp_before[512];
extern uint8_t argerr_probe_fp_after[512];
}

namespace calling_protocol_test {
namespace {

constexpr int32_t kReporterGlobal = -0x4cd;
constexpr uint32_t kWrongArgumentCount = 22;
constexpr uint32_t kTrapFlags = 0x8d5;  // OF SF ZF AF PF CF
constexpr size_t kFxsaveDefinedBytes = 464;
enum { kEax, kEcx, kEdx, kEsi, kEbx, kEdi, kEbp, kEsp, kEflags };

class ArgumentCountError : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    reporter_ = symbol(objects_->makeFunction(addressOf(fp_clobbering_start)));
    global(kReporterGlobal) = reporter_;
    calledFunction_ = objects_->makeFunction(0);
    calledName_ = symbol(calledFunction_);
  }
  lispval reporter_ = 0, calledFunction_ = 0, calledName_ = 0;
};

TEST_F(ArgumentCountError, ReportsTheCallThenResumesWithEverythingAsItWas) {
  for (bool owned : {true, false}) {
    SCOPED_TRACE(owned ? "frame owned" : "no frame yet");
    testing_support::resetRecorder(kErrorValue);
    argerr_probe_prepare_fp();
    const uint32_t in[5] = {makeFixnum(11), 3, makeFixnum(12), calledFunction_, kTrapFlags};
    std::memcpy(argerr_probe_in, in, sizeof in);
    inhibitprof = 1;
    LispCallSetup setup = setupFor(0);
    setup.target = addressOf(owned ? argerr_probe_owned : argerr_probe_unowned);
    setup.frame[frameIndex(0x18)] = owned ? calledName_ : nil();
    argerr_probe_symbol = owned ? nil() : calledName_;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.esi, kCallerFunction);

    ASSERT_EQ(lisp_recorder_log.count, 2u);
    const RecordedCall& report = lisp_recorder_log.calls[0];
    EXPECT_EQ(report.eax, calledName_);
    EXPECT_EQ(report.edx, calledFunction_);
    EXPECT_EQ(report.ecx, 3u);
    EXPECT_EQ(report.stack[2], makeFixnum(3));
    EXPECT_EQ(report.ebx, thread_);
    // The report's caller is argerr's frame, returning to the trap address.
    EXPECT_EQ(report.callerFrame[frameIndex(4)], lisp::nil_block::marker::kTrapHandler);
    EXPECT_EQ(report.callerReturn, threadWord(lisp::thread_record::kTrapAddress));
    const uint32_t trapEsp = argerr_probe_before[kEsp] - 4;  // after the trap call's push
    if (owned) {
      EXPECT_EQ(report.callerLink, argerr_probe_before[kEbp]);  // the trapping frame
      EXPECT_EQ(report.linkFrame[frameIndex(4)], 6u);
    } else {
      // A frame inserted below the trapping function's stack top.
      EXPECT_EQ(report.callerLink, trapEsp - 4);
      EXPECT_EQ(report.linkFrame[frameIndex(4)], calledFunction_);
      EXPECT_EQ(report.linkFrame[frameIndex(0x1c)], thread_);
    }
    EXPECT_EQ(recorded()[1], error(kWrongArgumentCount, 0));
    EXPECT_EQ(inhibitprof, 0u);

    for (int r = kEax; r <= kEflags; ++r)
      EXPECT_EQ(argerr_probe_after[r], argerr_probe_before[r]) << "register " << r;
    EXPECT_EQ(argerr_probe_before[kEflags] & kTrapFlags, kTrapFlags);
    EXPECT_EQ(
        std::vector<uint8_t>(argerr_probe_fp_after, argerr_probe_fp_after + kFxsaveDefinedBytes),
        std::vector<uint8_t>(argerr_probe_fp_before, argerr_probe_fp_before + kFxsaveDefinedBytes));
  }
}

}  // namespace
}  // namespace calling_protocol_test
