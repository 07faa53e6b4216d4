// Exception frames over real faults: the classification table seen through
// a filter, the order in which nested frames are asked, unwinding into a
// region, and what happens to a fault nobody takes (child processes).
#include <asm/ldt.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/code_memory.h"
#include "platform/faults.h"
#include "platform/thread_block.h"
#include "platform/thread_segments.h"
#include "testing/emulation.h"

namespace {

namespace code = platform::exception_code;
using platform::ExceptionPointers;

constexpr size_t kCodeBytes = 4096;

uint32_t addressOf(const void* place) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(place));
}

// The C library's thread pointer: the first word of the thread's control
// block, reached through %gs, points at the block itself.
uint32_t threadPointer() {
  uint32_t pointer;
  asm volatile("movl %%gs:0, %0" : "=r"(pointer));
  return pointer;
}

// A low slot read the way the runtime's hand-written code reads it: through %fs.
uint32_t slotThroughSegment(int32_t index) {
  uint32_t value;
  asm volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(platform::kLowSlotsOffset + 4 * index));
  return value;
}

// What the recording filter saw of the last exception.
struct Seen {
  uint32_t code;
  uint32_t address;
  uint32_t informationCount;
  uint32_t information[2];
  uint32_t count;
};
Seen seen;
// How the recording filter resumes: past `skip` bytes, or (skip 0) by
// returning to the address on top of the stack.
uint32_t skip = 0;

int32_t recordAndResume(uint32_t exceptionCode, ExceptionPointers* pointers) {
  const platform::ExceptionRecord& record = *pointers->record;
  seen = {exceptionCode,
          record.address,
          record.informationCount,
          {record.information[0], record.information[1]},
          seen.count + 1};
  platform::ProcessorContext& context = *pointers->context;
  if (skip != 0) {
    context.eip = record.address + skip;
  } else {
    context.eip = *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(context.esp));
    context.esp += 4;
  }
  return platform::kContinueExecution;
}
int32_t searchOn(uint32_t, ExceptionPointers*) {
  return platform::kContinueSearch;
}
int32_t executeHandler(uint32_t, ExceptionPointers*) {
  return platform::kExecuteHandler;
}

class FaultFrames : public testing::Test {
 protected:
  void SetUp() override {
    code_ = static_cast<uint8_t*>(platform::allocateCodeMemory(kCodeBytes));
    ASSERT_NE(code_, nullptr);
    seen = {};
  }
  void TearDown() override { platform::releaseCodeMemory(code_, kCodeBytes); }

 public:
  // Lays out `lead` (run first), then `faulting`, then a ret.
  void layOut(const std::vector<uint8_t>& lead, const std::vector<uint8_t>& faulting) {
    std::copy(lead.begin(), lead.end(), code_);  // an empty lead has no data pointer
    std::copy(faulting.begin(), faulting.end(), code_ + lead.size());
    code_[lead.size() + faulting.size()] = 0xc3;
  }
  static uint32_t runCode(void* code) {
    reinterpret_cast<void (*)()>(code)();
    return 1;
  }
  uint32_t runGuarded(platform::ExceptionFilter filter) {
    return platform::runGuarded(filter, runCode, code_);
  }

  uint8_t* code_ = nullptr;
};

TEST_F(FaultFrames, EachFaultReachesTheFilterWithItsCodeAndResumesWhereTheFilterSays) {
  const struct {
    const char* what;
    std::vector<uint8_t> lead, faulting;
    uint32_t code;
    uint32_t informationCount, access, faultAddress;
  } cases[] = {
      {"hlt", {}, {0xf4}, code::kPrivilegedInstruction, 0, 0, 0},
      {"int 0x62", {}, {0xcd, 0x62}, code::kAccessViolation, 2, 0, 0},
      {"read of 0", {0x31, 0xc0}, {0x8b, 0x00}, code::kAccessViolation, 2, 0, 0},
      {"write of 8", {}, {0xc7, 0x05, 8, 0, 0, 0, 1, 0, 0, 0}, code::kAccessViolation, 2, 1, 8},
      {"ud2", {}, {0x0f, 0x0b}, code::kIllegalInstruction, 0, 0, 0},
      {"int3", {}, {0xcc}, code::kBreakpoint, 0, 0, 0},
      {"div by 0", {0x31, 0xc9}, {0xf7, 0xf1}, code::kIntegerDivideByZero, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    layOut(c.lead, c.faulting);
    skip = static_cast<uint32_t>(c.faulting.size());
    seen = {};
    EXPECT_EQ(runGuarded(recordAndResume), 1u) << "the body ran to its end";
    EXPECT_EQ(seen.count, 1u);
    EXPECT_EQ(seen.code, c.code);
    EXPECT_EQ(seen.address, addressOf(code_) + c.lead.size()) << "the faulting instruction";
    EXPECT_EQ(seen.informationCount, c.informationCount);
    EXPECT_EQ(seen.information[0], c.access);
    EXPECT_EQ(seen.information[1], c.faultAddress);
  }
  EXPECT_FALSE(platform::insideExceptionFrame());
}

// An asynchronous signal raised while a fault is handled waits until the
// handling is over: a handler that came in between would find the fault's
// delivery half done. The alarm raised in the filter arrives once the
// guarded code has resumed.
std::atomic<int> alarmsSeen{0};
int alarmsInFilter = -1;
bool interruptBlockedInFilter = false;
int32_t raiseAlarmAndResume(uint32_t exceptionCode, ExceptionPointers* pointers) {
  raise(SIGALRM);
  alarmsInFilter = alarmsSeen.load();
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  interruptBlockedInFilter = sigismember(&blocked, SIGINT) == 1;
  return recordAndResume(exceptionCode, pointers);
}

TEST_F(FaultFrames, AsynchronousSignalsWaitWhileAFaultIsHandled) {
  struct sigaction counting {
  }, previous{};
  counting.sa_handler = [](int) { ++alarmsSeen; };
  sigemptyset(&counting.sa_mask);
  sigaction(SIGALRM, &counting, &previous);
  alarmsSeen = 0;
  layOut({}, {0xcd, 0x62});
  skip = 2;
  EXPECT_EQ(runGuarded(raiseAlarmAndResume), 1u);
  EXPECT_EQ(seen.count, 1u);
  EXPECT_EQ(alarmsInFilter, 0) << "the alarm waited";
  EXPECT_TRUE(interruptBlockedInFilter);
  EXPECT_EQ(alarmsSeen.load(), 1) << "and came once the handling was over";
  sigaction(SIGALRM, &previous, nullptr);
}

// A write through a cs: override to writable data: the code segment may not
// be written, so the processor raises a general protection fault, which
// names no address.
TEST_F(FaultFrames, AWriteThroughTheCodeSegmentIsAnAccessViolationWithoutAnAddress) {
  SKIP_UNDER_EMULATOR(
      "does not check the segment of a write: a write through a cs: override goes to memory "
      "and raises no fault");
  static uint32_t dataWord = 0;
  std::vector<uint8_t> loadData{0xb8};  // mov eax, &dataWord
  for (int i = 0; i < 4; ++i)
    loadData.push_back(static_cast<uint8_t>(addressOf(&dataWord) >> (8 * i)));
  layOut(loadData, {0x2e, 0x89, 0x00});  // mov cs:[eax], eax
  skip = 3;
  EXPECT_EQ(runGuarded(recordAndResume), 1u);
  EXPECT_EQ(seen.count, 1u);
  EXPECT_EQ(seen.code, code::kAccessViolation);
  EXPECT_EQ(seen.address, addressOf(code_) + loadData.size());
  EXPECT_EQ(seen.informationCount, 2u);
  EXPECT_EQ(seen.information[0], 0u);
  EXPECT_EQ(seen.information[1], 0u);
  EXPECT_EQ(dataWord, 0u) << "nothing was written";
}

TEST_F(FaultFrames, ACallIntoMemoryThatMayNotRunIsAnExecuteAccessViolation) {
  void* data = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(data, MAP_FAILED);
  static_cast<uint8_t*>(data)[0] = 0xc3;
  skip = 0;
  EXPECT_EQ(platform::runGuarded(recordAndResume, runCode, data), 1u);
  EXPECT_EQ(seen.code, code::kAccessViolation);
  EXPECT_EQ(seen.information[0], platform::kAccessExecute);
  EXPECT_EQ(seen.information[1], addressOf(data));
  munmap(data, 4096);
}

// Frames are asked innermost first; a frame answering 0 sends the search out.
TEST_F(FaultFrames, AnInnerFrameThatSearchesOnLeavesTheFaultToTheOuterOne) {
  layOut({}, {0xf4});
  skip = 1;
  struct Nest {
    FaultFrames* self;
    uint32_t innerResult;
  } nest{this, 0};
  const uint32_t outer = platform::runGuarded(
      recordAndResume,
      [](void* argument) -> uint32_t {
        auto* n = static_cast<Nest*>(argument);
        n->innerResult = n->self->runGuarded(searchOn);
        return 2;
      },
      &nest);
  EXPECT_EQ(outer, 2u);
  EXPECT_EQ(nest.innerResult, 1u) << "resumed inside the inner body";
  EXPECT_EQ(seen.count, 1u);
}

TEST_F(FaultFrames, AFilterThatAsksForItsHandlerUnwindsToItsRegionWhichAnswers0) {
  layOut({0x31, 0xc0}, {0x8b, 0x00});
  EXPECT_EQ(runGuarded(executeHandler), 0u);
  EXPECT_FALSE(platform::insideExceptionFrame());
  // The region can be entered again and runs to its end without a fault.
  layOut({}, {0x90});
  EXPECT_EQ(runGuarded(executeHandler), 1u);
}

// A thread started later sets up its own %gs and %fs entries; a thread resumed
// after a fault still goes on with its own thread pointer and its own block.
TEST_F(FaultFrames, AResumedThreadGoesOnWithItsOwnThreadPointerAndBlock) {
  const int32_t slot = platform::allocateThreadSlot();
  ASSERT_GE(slot, 0);
  ASSERT_LT(slot, platform::kLowSlotCount);
  ASSERT_TRUE(platform::setThreadSlot(slot, 1));
  const uint32_t ownPointer = threadPointer();
  std::thread([slot] { platform::setThreadSlot(slot, 2); }).join();
  layOut({0x31, 0xc0}, {0x8b, 0x00});
  skip = 2;
  EXPECT_EQ(runGuarded(recordAndResume), 1u);
  EXPECT_EQ(seen.count, 1u);
  EXPECT_EQ(threadPointer(), ownPointer);
  EXPECT_EQ(slotThroughSegment(slot), 1u);
  platform::setThreadSlot(slot, 0);
  platform::freeThreadSlot(slot);
}

// Whether a thread started later changes the calling thread's %gs entry (a
// descriptor table shared by all threads) is known once the handling is
// installed, before any handler runs: a handler's return that found it out
// itself could race with another thread's write of the entries.
TEST(FaultHandling, KnowsWhetherTheDescriptorTableIsOneForAllThreadsOnceInstalled) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, no handler run yet
  EXPECT_EXIT(
      {
        platform::installFaultHandling();
        const bool known = platform::detail::descriptorTableShared();
        uint32_t selector;
        asm volatile("movl %%gs, %0" : "=r"(selector));
        user_desc entry{};
        entry.entry_number = (selector & 0xffff) >> 3;
        std::thread([] {}).join();
        const bool shared = syscall(SYS_get_thread_area, &entry) == 0 &&
                            entry.base_addr != threadPointer();
        _exit(known == shared ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(FaultFrames, InsideMarksOnlyTheThreadInTheFrame) {
  std::atomic<bool> otherInside{true};
  struct Probe {
    std::atomic<bool>* other;
    bool inside;
  } probe{&otherInside, false};
  platform::runGuarded(
      searchOn,
      [](void* argument) -> uint32_t {
        auto* p = static_cast<Probe*>(argument);
        p->inside = platform::insideExceptionFrame();
        std::thread([p] { *p->other = platform::insideExceptionFrame(); }).join();
        return 0;
      },
      &probe);
  EXPECT_TRUE(probe.inside);
  EXPECT_FALSE(otherInside.load());
  EXPECT_FALSE(platform::insideExceptionFrame());
}

// ---- faults nobody takes, in child processes ----

TEST_F(FaultFrames, AFaultNoFilterTakesEndsTheProcessByItsSignal) {
  layOut({0x31, 0xc0}, {0x8b, 0x00});
  EXPECT_EXIT(runGuarded(searchOn), testing::KilledBySignal(SIGSEGV), "");
  layOut({}, {0x0f, 0x0b});
  EXPECT_EXIT(runGuarded(searchOn), testing::KilledBySignal(SIGILL), "");
  layOut({}, {0xcc});
  EXPECT_EXIT(runGuarded(searchOn), testing::KilledBySignal(SIGTRAP), "");
}

TEST_F(FaultFrames, AFaultOnAThreadOutsideEveryFrameEndsTheProcessByItsSignal) {
  layOut({0x31, 0xc0}, {0x8b, 0x00});
  platform::installFaultHandling();
  EXPECT_EXIT(
      {
        std::thread([this] { runCode(code_); }).join();
        _exit(0);
      },
      testing::KilledBySignal(SIGSEGV), "");
}

void previousHandler(int, siginfo_t* info, void*) {
  _exit(info->si_signo == SIGSEGV ? 7 : 8);
}

TEST_F(FaultFrames, AFaultNobodyTakesGoesToTheHandlerInstalledBeforeOurs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process installs in order
  layOut({0x31, 0xc0}, {0x8b, 0x00});
  EXPECT_EXIT(
      {
        struct sigaction action {};
        action.sa_sigaction = previousHandler;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        runGuarded(searchOn);
      },
      testing::ExitedWithCode(7), "");
}

// ---- the keyboard interrupt ----

int32_t recordInterrupt(uint32_t exceptionCode, ExceptionPointers*) {
  seen.code = exceptionCode;
  ++seen.count;
  return platform::kContinueExecution;
}

TEST(KeyboardInterrupt, ReachesTheFrameAsControlBreakAlsoFromAnotherThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto interruptTwice = [] {
    platform::routeKeyboardInterrupt();
    seen = {};
    platform::runGuarded(
        recordInterrupt,
        [](void*) -> uint32_t {
          raise(SIGINT);
          std::thread([] { raise(SIGINT); }).join();  // sent on to this thread
          for (int i = 0; i < 1000 && seen.count < 2; ++i) usleep(1000);
          return 0;
        },
        nullptr);
    _exit(seen.count == 2 && seen.code == code::kControlBreakExit ? 0 : 1);
  };
  EXPECT_EXIT(interruptTwice(), testing::ExitedWithCode(0), "");
}

// The thread an interrupt was sent on to goes on with its own thread pointer,
// not with that of the thread that sent it (which was started after it).
TEST(KeyboardInterrupt, TheThreadItIsSentOnToGoesOnWithItsOwnThreadPointer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto interruptFromAnother = [] {
    platform::routeKeyboardInterrupt();
    seen = {};
    const uint32_t ownPointer = threadPointer();
    platform::runGuarded(
        recordInterrupt,
        [](void*) -> uint32_t {
          std::thread([] { raise(SIGINT); }).join();
          for (int i = 0; i < 1000 && seen.count < 1; ++i) usleep(1000);
          return 0;
        },
        nullptr);
    _exit(seen.count == 1 && threadPointer() == ownPointer ? 0 : 1);
  };
  EXPECT_EXIT(interruptFromAnother(), testing::ExitedWithCode(0), "");
}

TEST(KeyboardInterrupt, OutsideEveryFrameEndsTheProcessByIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::routeKeyboardInterrupt();
        raise(SIGINT);
        _exit(0);
      },
      testing::KilledBySignal(SIGINT), "");
}

TEST(KeyboardInterrupt, OnceTheRoutedThreadHasEndedItEndsTheProcessWhereItArrives) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread([] { platform::routeKeyboardInterrupt(); }).join();
        raise(SIGINT);
        _exit(0);
      },
      testing::KilledBySignal(SIGINT), "");
}

TEST(KeyboardInterrupt, AnIgnoredInterruptStaysIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGINT, SIG_IGN);
        platform::routeKeyboardInterrupt();
        platform::runGuarded(
            recordInterrupt, [](void*) -> uint32_t { return raise(SIGINT); }, nullptr);
        _exit(seen.count == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Code bytes are read without faulting: all of them, or false when any
// cannot be read (unmapped, inaccessible, or past the end of a mapping).
TEST(CodeBytes, AreReadWholeOrRefused) {
  constexpr size_t kPage = 4096;
  auto* pages = static_cast<uint8_t*>(
      mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  for (size_t i = 0; i < 2 * kPage; ++i) pages[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(mprotect(pages + 2 * kPage, kPage, PROT_NONE), 0);
  const uint32_t at = addressOf(pages);
  std::vector<uint8_t> into(2 * kPage, 0);

  EXPECT_TRUE(platform::readCodeBytes(at + 5, into.data(), 3));
  EXPECT_TRUE(std::equal(into.begin(), into.begin() + 3, pages + 5));
  EXPECT_TRUE(platform::readCodeBytes(at + 100, into.data(), 2 * kPage - 100))
      << "more than a page, across the pages";
  EXPECT_TRUE(std::equal(into.begin(), into.begin() + 2 * kPage - 100, pages + 100));
  EXPECT_TRUE(platform::readCodeBytes(at, into.data(), 0));

  const struct {
    const char* what;
    uint32_t address;
    size_t count;
  } refused[] = {
      {"address 0", 0, 1},
      {"an inaccessible page", at + 2 * kPage, 1},
      {"running into an inaccessible page", at + 2 * kPage - 2, 4},
      {"wrapping round the address space", 0xfffffffe, 4},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    into.assign(into.size(), 0);
    EXPECT_FALSE(platform::readCodeBytes(r.address, into.data(), r.count));
  }
  munmap(pages, 3 * kPage);
}

}  // namespace
