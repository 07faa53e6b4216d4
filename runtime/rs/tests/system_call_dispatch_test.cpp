// lisp_syscall and its two inner dispatchers through entry slot nil+0x17b
// on a real heap. Probe rows stand in for the native operations: they note
// the native words they receive, errno and cl_error on entry, and answer
// what a case asks; the fixed rows and the native allocator run for real.

#include "runtime/rs/system_call_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "runtime/gc/native_heap.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/profiler.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/startup.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/process_times.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/dispatch_routines.h"
#include "runtime/rs/multiple_values.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "runtime/rs/tests/hostile_hook.h"
#include "runtime/rs/tests/service_dispatch_heap.h"
#include "testing/temp_path.h"

extern "C" void system_call_throw_landing();

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace sd = lisp::system_call_dispatch;
namespace tr = lisp::thread_record;

constexpr int32_t kSyscallSlot = 0x17b;

// The service codes each dispatcher serves, as its documentation lists them.
const std::vector<uint32_t> kMainCodes = {1,  2,  4,  5,  6,  7,  9,  10, 11,  13,  19,  20,
                                          21, 22, 23, 24, 27, 28, 29, 30, 31,  34,  36,  37,
                                          39, 40, 41, 42, 43, 44, 51, 52, 53,  55,  58,  64,
                                          70, 78, 80, 88, 91, 100, 105, 124, 125};
const std::vector<uint32_t> kAuxCodes = {0,  14, 18, 25, 26, 32, 33, 54, 56, 59, 60, 61, 66, 67, 68,
                                         69, 71, 72, 73, 74, 75, 76, 77, 79, 81, 82, 83, 87, 89, 127};
const std::vector<uint32_t> kAux2Codes = {15,  47,  49,  65,  84,  85,  90,  92,  93,  94,  95,  96,
                                          97,  98,  99,  102, 103, 104, 106, 107, 108, 109, 110, 111,
                                          112, 113, 115, 116, 117, 118, 119, 120, 121, 123, 126};

// ---- the probe operation ----

struct ProbeState {
  uint32_t answer = 0;
  int32_t setsClError = 0;
  int errnoSeen = -1;
  int32_t clErrorSeen = 1;
  std::vector<uint32_t> extras;      // written into the thread's extra result words
  int32_t* record = nullptr;         // filled from `recordWords` when set
  std::vector<int32_t> recordWords;
  lispval thread = 0;
  uint32_t continuation = 0;  // stored into the head foreign-call record when set
  std::vector<sd::NativeWords> calls;
};
ProbeState g_probe;

uint32_t probeOperation(const sd::NativeWords& words) {
  g_probe.calls.push_back(words);
  g_probe.errnoSeen = errno;
  g_probe.clErrorSeen = cl_error;
  if (g_probe.setsClError) cl_error = g_probe.setsClError;
  for (size_t k = 0; k < g_probe.extras.size(); ++k)
    lisp::wordAt(g_probe.thread, tr::kExtraResults + static_cast<int32_t>(4 * k)) = g_probe.extras[k];
  if (!g_probe.recordWords.empty()) {
    auto* record = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(words[0]));
    std::copy(g_probe.recordWords.begin(), g_probe.recordWords.end(), record);
  }
  if (g_probe.continuation) {
    auto* record = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(
        lisp::wordAt(g_probe.thread, tr::kClinkHead)));
    record[3] = g_probe.continuation;
  }
  return g_probe.answer;
}

class SystemCalls : public gc_test::ServiceDispatchHeap {
 protected:
  SystemCalls() : ServiceDispatchHeap(kSyscallSlot) {}
  void SetUp() override {
    ServiceDispatchHeap::SetUp();
    g_probe = ProbeState{};
    g_probe.thread = thread_;
    threadWord(tr::kValuesVectors) = nil();
    probes_ = sd::builtInTables();
  }
  void TearDown() override {
    sd::activeTables = &sd::builtInTables();
    cl_error = 0;
    ServiceDispatchHeap::TearDown();
  }
  // Code `code` of the table is served by the probe with these conversions.
  template <size_t N>
  void probe(std::array<sd::Row, N>& rows, uint32_t index,
             std::array<sd::Argument, sd::kArgumentWords> arguments, sd::Result result,
             bool testsClError = false) {
    rows[index] = {true, probeOperation, arguments, result, testsClError};
    sd::activeTables = &probes_;
  }

  std::vector<lispval> values(const LispCallResult& result) {
    EXPECT_EQ(result.carry, 1u);
    std::vector<lispval> items;
    for (uint32_t i = 0; i < result.ecx; ++i)
      items.push_back(i == 0   ? result.eax
                      : i == 1 ? result.edx
                               : lisp::wordAt(threadWord(tr::kValuesVectors),
                                              lisp::multiple_values::elementOffset(i + 1)));
    return items;
  }
  static uint32_t addressOf(void (*routine)()) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
  }

  sd::Tables probes_{};
};

// ---- the tables ----

TEST_F(SystemCalls, EveryListedCodeIsServedByItsOwnDispatcherAndNoOther) {
  const sd::Tables& tables = sd::builtInTables();
  const auto check = [](const auto& rows, const std::vector<uint32_t>& listed, uint32_t first,
                        const char* name) {
    const std::set<uint32_t> golden(listed.begin(), listed.end());
    EXPECT_EQ(golden.size(), listed.size()) << name << ": a code listed twice";
    for (uint32_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i].served, golden.count(i + first) == 1) << name << " code " << i + first;
  };
  check(tables.main, kMainCodes, 0, "lisp_syscall");
  check(tables.aux, kAuxCodes, 0, "lisp_syscall_aux");
  check(tables.aux2, kAux2Codes, sd::kAux2FirstCode, "lisp_syscall_aux2");
  EXPECT_EQ(kMainCodes.size() + kAuxCodes.size() + kAux2Codes.size(), 110u);
}

TEST_F(SystemCalls, CodesNoDispatcherServesSignalError22) {
  for (int32_t code : {200, -4, 3, 8, 12, 128, 1000}) {
    EXPECT_EQ(refused(serviceSetup(code, {makeFixnum(1)}), 22), 0u) << "code " << code;
  }
}

// ---- arguments and conversions ----

TEST_F(SystemCalls, ProbesSeeTheArgumentsInOrderThroughEveryDispatcher) {
  const std::array<sd::Argument, 8> raw = {{{sd::From::Raw, 1}, {sd::From::Raw, 2},
                                            {sd::From::Raw, 3}, {sd::From::Raw, 4}}};
  probe(probes_.main, 4, raw, sd::Result::Word);
  probe(probes_.aux, 0, raw, sd::Result::Word);
  probe(probes_.aux2, 15 - sd::kAux2FirstCode, raw, sd::Result::Word);
  g_probe.answer = makeFixnum(3);
  for (int32_t code : {4, 0, 15}) {
    g_probe.calls.clear();
    EXPECT_EQ(oneValue(run(code, {makeFixnum(11), makeFixnum(12), makeFixnum(13), makeFixnum(14)})),
              makeFixnum(3));
    ASSERT_EQ(g_probe.calls.size(), 1u) << "code " << code;
    EXPECT_EQ(g_probe.calls[0][0], makeFixnum(11));
    EXPECT_EQ(g_probe.calls[0][1], makeFixnum(12));
    EXPECT_EQ(g_probe.calls[0][2], makeFixnum(13));
    EXPECT_EQ(g_probe.calls[0][3], makeFixnum(14));
    // Arguments the caller did not pass reach the inner dispatchers as nil.
    g_probe.calls.clear();
    oneValue(run(code, {makeFixnum(11)}));
    ASSERT_EQ(g_probe.calls.size(), 1u);
    EXPECT_EQ(g_probe.calls[0][1], nil());
    EXPECT_EQ(g_probe.calls[0][3], nil());
  }
}

TEST_F(SystemCalls, MachineIntegersAndVectorData) {
  probe(probes_.main, 4, {{{sd::From::Int, 1}, {sd::From::Data, 2}, {sd::From::Fix, 3},
                           {sd::From::NotNil, 4}}},
        sd::Result::Word);
  const lispval vector = arenaObject({117, makeFixnum(2), 0});
  struct Case {
    lispval argument;
    uint32_t word;
  };
  for (const Case& c : {Case{makeFixnum(5), 5}, Case{makeFixnum(-7), 0xfffffff9},
                        Case{bignum(0x89abcdef), 0x89abcdef},
                        Case{bignum(0x12345678, 0x80), 0u - 0x12345678}}) {
    g_probe.calls.clear();
    run(4, {c.argument, vector, makeFixnum(-3), t()});
    ASSERT_EQ(g_probe.calls.size(), 1u);
    EXPECT_EQ(g_probe.calls[0][0], c.word);
    EXPECT_EQ(g_probe.calls[0][1], lisp::objectAddress(vector) + 8);
    EXPECT_EQ(g_probe.calls[0][2], static_cast<uint32_t>(-3));
    EXPECT_EQ(g_probe.calls[0][3], 1u);
  }
}

TEST_F(SystemCalls, VectorDataThatIsNoSuchVectorIsRefusedAndNothingRuns) {
  probe(probes_.main, 4, {{{sd::From::Data, 1}}}, sd::Result::Word);
  // A fixnum, nil, and a vector without a length word (its data is not at
  // p-0xa) would each hand the service an address of no object's data.
  for (lispval argument : {makeFixnum(4096), nil(), arenaObject({96, nil(), nil()})}) {
    g_probe.calls.clear();
    EXPECT_EQ(refused(serviceSetup(4, {argument}), 22), 0u);
    EXPECT_TRUE(g_probe.calls.empty());
  }
}

TEST_F(SystemCalls, ResultsAreBoxedSignedOrUnsigned) {
  probe(probes_.main, 4, {}, sd::Result::Unsigned);
  probe(probes_.main, 5, {}, sd::Result::Signed);
  g_probe.answer = 0x80000000;
  EXPECT_EQ(bignumMagnitude(oneValue(run(4, {}))), 0x80000000u);
  g_probe.answer = 0xffffffff;
  EXPECT_EQ(oneValue(run(5, {})), makeFixnum(-1));
  g_probe.answer = 7;
  EXPECT_EQ(oneValue(run(4, {})), makeFixnum(7));
}

// ---- errno and cl_error ----

TEST_F(SystemCalls, ErrnoAndClErrorAreClearWhenAServiceStarts) {
  probe(probes_.aux, 0, {}, sd::Result::Word);
  errno = EINTR;
  cl_error = makeFixnum(9);
  g_probe.answer = nil();
  oneValue(run(0, {}));
  EXPECT_EQ(g_probe.errnoSeen, 0);
  EXPECT_EQ(g_probe.clErrorSeen, 0);
}

TEST_F(SystemCalls, ClErrorTurnsInnerAndCode41AnswersIntoNilAndIt) {
  probe(probes_.aux, 0, {}, sd::Result::Word);
  probe(probes_.aux2, 15 - sd::kAux2FirstCode, {}, sd::Result::Word);
  probe(probes_.main, 4, {}, sd::Result::Word);
  probe(probes_.main, 41, {}, sd::Result::Unsigned, true);
  g_probe.setsClError = makeFixnum(2);
  g_probe.answer = makeFixnum(1);
  EXPECT_EQ(secondOfNilAnd(run(0, {})), makeFixnum(2));
  EXPECT_EQ(secondOfNilAnd(run(15, {})), makeFixnum(2));
  EXPECT_EQ(oneValue(run(4, {})), makeFixnum(1));  // lisp_syscall's own rows do not look
  g_probe.answer = 1;
  EXPECT_EQ(secondOfNilAnd(run(41, {})), makeFixnum(2));
}

// ---- several values ----

TEST_F(SystemCalls, VersionAnswersFiveValuesFromTheThreadsExtraWords) {
  probe(probes_.main, 64, {{{sd::From::Int, 1}}}, sd::Result::WordAndExtras);
  g_probe.answer = makeFixnum(40);
  g_probe.extras = {makeFixnum(41), makeFixnum(42), makeFixnum(43), nil()};
  EXPECT_EQ(values(run(64, {makeFixnum(1)})),
            (std::vector<lispval>{makeFixnum(40), makeFixnum(41), makeFixnum(42), makeFixnum(43),
                                  nil()}));
}

TEST_F(SystemCalls, ShellCommandSeesEightArgumentsAndAnswersFiveValues) {
  const auto& built = sd::builtInTables().main[100];
  probe(probes_.main, 100, built.arguments, built.result);
  g_probe.extras = {makeFixnum(7), makeFixnum(8), nil(), nil()};
  g_probe.answer = makeFixnum(0);
  LispCallSetup setup = serviceSetup(100, {});
  setup.ecx = 9;
  setup.edx = makeFixnum(1);
  for (int k = 1; k <= 8; ++k) setup.stack[k] = makeFixnum(k);
  setup.stack[8] = bignum(0x87654321);
  const LispCallResult result = call(setup);
  ASSERT_EQ(g_probe.calls.size(), 1u);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(g_probe.calls[0][k], makeFixnum(k + 1)) << k;
  EXPECT_EQ(g_probe.calls[0][7], 0x87654321u);
  EXPECT_EQ(values(result), (std::vector<lispval>{makeFixnum(0), makeFixnum(7), makeFixnum(8),
                                                  nil(), nil()}));
}

// The wait answers three values: the status rs_sy_wait returns (nil for a
// child still running), then the id and nil it leaves in the extra result
// words, so a running child is told from an unknown id (nil, nil, nil).
TEST_F(SystemCalls, ChildWaitAnswersTheStatusTheIdAndNil) {
  const struct {
    const char* name;
    lispval answer, id;
  } cases[] = {
      {"ended", makeFixnum(7), makeFixnum(4242)},
      {"still running", nil(), makeFixnum(4242)},
      {"unknown id", nil(), nil()},
  };
  const auto& built = sd::builtInTables().main[13];
  probe(probes_.main, 13, built.arguments, built.result);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_probe.calls.clear();
    g_probe.extras = {c.id, nil(), makeFixnum(9), makeFixnum(9)};
    g_probe.answer = c.answer;
    const LispCallResult result = run(13, {makeFixnum(4242), nil()});
    ASSERT_EQ(g_probe.calls.size(), 1u);
    EXPECT_EQ(g_probe.calls[0][0], makeFixnum(4242)) << "the id as it is";
    EXPECT_EQ(g_probe.calls[0][1], nil());
    EXPECT_EQ(values(result), (std::vector<lispval>{c.answer, c.id, nil()}));
  }
}

// ---- a collection inside the boxing runs Lisp code ----

class SystemCallsOnARegisteredThread : public SystemCalls {
 protected:
  void SetUp() override {
    SystemCalls::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    thread_ = lisp::registry::tagged(vxm_thread_control.registryTable[0]);
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    threadWord(tr::kAnnotatingConsing) = nil();
    threadWord(tr::kValuesVectors) = nil();
    g_probe.thread = thread_;
  }
  void TearDown() override {
    SystemCalls::TearDown();
    lisp::registry::forgetRegistry();
  }
};

// A row that looks at cl_error fails (its service sets it to 8) and answers
// a word boxed as a bignum. The boxing collects, and the after-collection
// function makes a system call of its own, which clears cl_error: the
// answer is still nil and 8, from lisp_syscall's own row and through its
// forward tail, and cl_error is left as the row set it.
TEST_F(SystemCallsOnARegisteredThread, ARowsErrorWordIsItsOwnThoughTheBoxingMakesASystemCall) {
  const testing_support::HostileAfterHook hook(
      {{.target = global(kSyscallSlot), .eax = makeFixnum(19), .edx = nil(), .ecx = 1}});
  probe(probes_.main, 41, {}, sd::Result::Unsigned, true);
  probe(probes_.aux, 0, {}, sd::Result::Unsigned, true);
  for (const int32_t code : {41, 0}) {
    SCOPED_TRACE(code);
    g_probe.setsClError = makeFixnum(8);
    g_probe.answer = 0x80000005;
    testing_support::useUpNewSpace();
    const uint32_t scavenges = ScavengeCt;
    const LispCallResult result = run(code, {});
    ASSERT_EQ(ScavengeCt, scavenges + 1);
    EXPECT_EQ(secondOfNilAnd(result), makeFixnum(8));
    EXPECT_EQ(cl_error, makeFixnum(8));
  }
}

// The host version numbers are unsigned; the terminal-character services
// get their arguments (fixnums, and machine integers for the computed
// words) and answer signed.
TEST_F(SystemCalls, VersionAndTerminalRowsConvertAsTheirOperationsDeclare) {
  for (const uint32_t code : {60u, 61u}) {
    const auto& built = sd::builtInTables().aux[code];
    probe(probes_.aux, code, built.arguments, built.result);
    g_probe.answer = 0x80000005;
    EXPECT_EQ(bignumMagnitude(oneValue(run(static_cast<int32_t>(code), {}))), 0x80000005u)
        << code;
  }
  for (const uint32_t code : {36u, 37u}) {
    const auto& built = sd::builtInTables().main[code];
    probe(probes_.main, code, built.arguments, built.result);
  }
  g_probe.calls.clear();
  g_probe.answer = 0xffffffff;
  LispCallSetup setup =
      serviceSetup(36, {makeFixnum(1), bignum(0x89abcdef), makeFixnum(3), makeFixnum(4)});
  setup.ecx = 6;
  setup.stack[5] = makeFixnum(5);
  EXPECT_EQ(oneValue(call(setup)), makeFixnum(-1));
  EXPECT_EQ(oneValue(run(37, {makeFixnum(2)})), makeFixnum(-1));
  ASSERT_EQ(g_probe.calls.size(), 2u);
  EXPECT_EQ(g_probe.calls[0], (sd::NativeWords{1, 0x89abcdef, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(g_probe.calls[1], (sd::NativeWords{2, 0, 0, 0, 0, 0, 0, 0}));
}

// A page hook that makes a system call of its own while the several values
// of a call are being boxed (as a collector hook may): each call answers
// its own values.
std::function<void()> g_pageHookBody;
__attribute__((force_align_arg_pointer)) void pageHookCallingBack(int, uint32_t) {
  if (g_pageHookBody) std::exchange(g_pageHookBody, nullptr)();
}

TEST_F(SystemCalls, SeveralValuesBelongToTheirCallWhenBoxingRunsAnother) {
  probe(probes_.main, 2, {}, sd::Result::ProcessTimes);
  const int32_t saved[] = {s_utime, s_stime, s_gcutime, s_gcstime};
  std::vector<lispval> inner;
  g_pageHookBody = [&] {
    s_utime = 1, s_stime = 2, s_gcutime = 3, s_gcstime = 4;
    inner = values(run(2, {}));
  };
  pageallochook = pageHookCallingBack;
  s_utime = 0x30000001, s_stime = 0x30000002, s_gcutime = 0x30000003, s_gcstime = 0x30000004;
  // Four bignums of 16 bytes are boxed from the last value to the first;
  // the second crosses into the next 8 KB page.
  const uint32_t boundary = (global(gc::global::kNewOtherTop) | 0x1fff) + 1;
  const uint32_t filler = boundary - 24 - global(gc::global::kNewOtherTop) - 8;
  const lispval made = call(setupFor(0x263, filler)).eax;
  at(made - 0x12) = lisp::headerWithLength(lisp::type_code::ByteVector, filler - 4);
  const std::vector<lispval> outer = values(run(2, {}));
  pageallochook = nullptr;
  g_pageHookBody = nullptr;
  std::tie(s_utime, s_stime, s_gcutime, s_gcstime) = std::tie(saved[0], saved[1], saved[2], saved[3]);
  EXPECT_EQ(inner, (std::vector<lispval>{makeFixnum(1), makeFixnum(2), makeFixnum(3), makeFixnum(4)}));
  ASSERT_EQ(outer.size(), 4u);
  for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(bignumMagnitude(outer[k]), 0x30000001u + k) << k;
}

TEST_F(SystemCalls, RecordTimesBoxTheFirstWordAsAnInteger) {
  const auto& built = sd::builtInTables().main[1];
  probe(probes_.main, 1, built.arguments, built.result);
  const lispval record = arenaObject({(4u << 8) | 119, makeFixnum(4), 0, 0, 0, 0});
  g_probe.recordWords = {0x20000000, 5, 6, 7};
  EXPECT_EQ(values(run(1, {record})).size(), 4u);
  const LispCallResult result = run(1, {record});
  const std::vector<lispval> items = values(result);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(bignumMagnitude(items[0]), 0x20000000u);
  EXPECT_EQ(items[1], makeFixnum(5));
  EXPECT_EQ(items[3], makeFixnum(7));
  g_probe.recordWords = {12, 5, 6, 7};
  EXPECT_EQ(values(run(1, {record}))[0], makeFixnum(12));
}

// A service that writes or reads a known number of bytes at a vector's data
// refuses a vector with less room, before it runs.
TEST_F(SystemCalls, VectorDataTooShortForTheServiceIsRefusedAndNothingRuns) {
  const auto& built = sd::builtInTables().main[1];
  probe(probes_.main, 1, built.arguments, built.result);
  g_probe.recordWords = {1, 2, 3, 4};
  const lispval threeWords = arenaObject({(3u << 8) | 119, makeFixnum(3), 0, 0, 0, 0});
  EXPECT_EQ(refused(serviceSetup(1, {threeWords}), 22), 0u);
  EXPECT_TRUE(g_probe.calls.empty());
  EXPECT_EQ(lisp::wordAt(threeWords, 2), 0u);  // the word past its data

  sd::activeTables = &sd::builtInTables();
  const lispval text = arenaObject({(3u << 8) | 117, makeFixnum(3), 0x00636261});
  const lispval digest = arenaObject({(16u << 8) | 117, makeFixnum(16), 0, 0, 0, 0});
  const auto bytes = [&](uint32_t n) {
    std::vector<uint32_t> words = {(n << 8) | 125, makeFixnum(static_cast<int32_t>(n))};
    words.resize(2 + (n + 3) / 4);
    auto* storage = static_cast<uint32_t*>(objects_->allocate(4 * words.size() + 8));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  };
  const lispval shortDigest = bytes(15);
  const lispval shortContext = bytes(87);
  struct Case {
    int32_t code;
    std::vector<lispval> arguments;
  };
  for (const Case& c : {Case{107, {text, makeFixnum(7), digest}},       // more text than it holds
                        Case{107, {text, makeFixnum(-1), digest}},      // a negative count
                        Case{107, {text, makeFixnum(3), shortDigest}},  // 15 bytes for 16
                        Case{108, {shortContext}},
                        Case{109, {shortContext, makeFixnum(0), text}},
                        Case{110, {digest, shortContext}},
                        Case{111, {text, makeFixnum(7)}}}) {
    LispCallSetup setup = serviceSetup(c.code, {});
    setup.ecx = static_cast<uint32_t>(c.arguments.size() + 1);
    setup.edx = c.arguments[0];
    for (size_t i = 0; i < c.arguments.size(); ++i) setup.stack[i + 1] = c.arguments[i];
    EXPECT_EQ(refused(setup, 22), 0u) << "code " << c.code;
  }
  for (int32_t offset = -0xa; offset <= 2; offset += 4)
    EXPECT_EQ(lisp::wordAt(shortDigest, offset), 0u);
}

TEST_F(SystemCalls, ErrorNumbersGiveTheLibrarysText) {
  const lispval v = oneValue(run(97, {makeFixnum(ENOENT)}));
  const uint32_t address =
      lisp::isFixnum(v) ? static_cast<uint32_t>(lisp::fixnumValue(v)) : bignumMagnitude(v);
  EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(address)),
               std::strerror(ENOENT));
}

TEST_F(SystemCalls, ProcessMicroTimesAreTwelveValues) {
  const std::vector<lispval> items = values(run(40, {}));
  ASSERT_EQ(items.size(), 12u);
  const int32_t numbers[] = {s_usec,   s_uusec,   s_ssec,   s_susec,
                             s_gcusec, s_gcuusec, s_gcssec, s_gcsusec};
  for (size_t k = 0; k < 8; ++k) EXPECT_EQ(items[k], makeFixnum(numbers[k])) << k;
  // Page faults are not counted here: the four words hold nil.
  EXPECT_EQ(items[8], s_pfmajor);
  EXPECT_EQ(items[11], s_gcpfminor);
}

TEST_F(SystemCalls, ClockTimesComeFromTheTimeWords) {
  const std::vector<lispval> items = values(run(88, {}));
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[1], makeFixnum(s_stime));
  EXPECT_EQ(items[2], makeFixnum(s_secs));
  EXPECT_EQ(items[3], makeFixnum(s_days));
}

// ---- the fixed rows ----

TEST_F(SystemCalls, RoutineAddressesAndMethodTrampolines) {
  const auto address = [&](int32_t code, std::initializer_list<lispval> arguments) {
    const lispval v = oneValue(run(code, arguments));
    return lisp::isFixnum(v) ? static_cast<uint32_t>(lisp::fixnumValue(v)) : bignumMagnitude(v);
  };
  EXPECT_EQ(address(74, {}), addressOf(lisp_missing_stub));
  EXPECT_EQ(address(87, {}), addressOf(bind_and_call));
  EXPECT_EQ(address(89, {}), addressOf(call_semidirect));
  EXPECT_EQ(address(93, {makeFixnum(1)}), addressOf(method_tramp1));
  EXPECT_EQ(address(93, {makeFixnum(2)}), addressOf(method_tramp2));
  EXPECT_EQ(address(93, {makeFixnum(3)}), addressOf(method_tramp3));
  EXPECT_EQ(address(93, {makeFixnum(4)}), addressOf(method_tramp4));
  EXPECT_EQ(address(93, {makeFixnum(5)}), addressOf(lisp_missing_stub));
}

// t is the word nil - 0x3e itself, never a word read from the block there.
TEST_F(SystemCalls, FlagCodesAnswerTheWordTOrNil) {
  const uint32_t savedReborn = reborn, savedRealArguments = load_real_args;
  const int savedWindows = vxm_under_windows;
  const struct {
    int32_t code;
    void (*set)(uint32_t);
  } cases[] = {
      {18, [](uint32_t v) { reborn = v; }},
      {56, [](uint32_t v) { load_real_args = v; }},
      {73, [](uint32_t v) { vxm_under_windows = static_cast<int>(v); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    c.set(2);
    EXPECT_EQ(oneValue(run(c.code, {})), nil() - 0x3e);
    c.set(0);
    EXPECT_EQ(oneValue(run(c.code, {})), nil());
  }
  reborn = savedReborn;
  load_real_args = savedRealArguments;
  vxm_under_windows = savedWindows;
}

TEST_F(SystemCalls, NativeAllocationFollowsTheNilTest) {
  const std::array<sd::Argument, 8> asMalloc = sd::builtInTables().main[21].arguments;
  probe(probes_.main, 21, asMalloc, sd::Result::Unsigned);
  run(21, {makeFixnum(16), nil()});
  run(21, {makeFixnum(16), t()});
  ASSERT_EQ(g_probe.calls.size(), 2u);
  EXPECT_EQ(g_probe.calls[0][0], 16u);
  EXPECT_EQ(g_probe.calls[0][1], 0u);
  EXPECT_EQ(g_probe.calls[0][2], 0u);
  EXPECT_EQ(g_probe.calls[1][2], 1u);
  // The real allocator, then its release through code 22.
  sd::activeTables = &sd::builtInTables();
  const lispval block = oneValue(run(21, {makeFixnum(24), nil()}));
  EXPECT_NE(block, makeFixnum(0));
  EXPECT_TRUE(lisp::isFixnum(oneValue(run(22, {block, nil()}))));
  EXPECT_EQ(lisp_recorder_log.count, 0u);  // no error on the way
}

TEST_F(SystemCalls, LispStaticTellsANilSecondArgument) {
  const auto& built = sd::builtInTables().aux2[92 - sd::kAux2FirstCode];
  probe(probes_.aux2, 92 - sd::kAux2FirstCode, built.arguments, built.result);
  const lispval object = arenaObject({117, makeFixnum(0)});
  EXPECT_EQ(oneValue(run(92, {object, nil()})), nil());
  EXPECT_EQ(oneValue(run(92, {object, t()})), nil());
  ASSERT_EQ(g_probe.calls.size(), 2u);
  EXPECT_EQ(g_probe.calls[0][0], object);
  EXPECT_EQ(g_probe.calls[0][2], 0u);  // delete_lispstatic
  EXPECT_EQ(g_probe.calls[1][1], t());
  EXPECT_EQ(g_probe.calls[1][2], 1u);  // add_lispstatic
}

TEST_F(SystemCalls, ProfilerRowsStartAndStopAProfileAndRefuseBadArguments) {
  const auto lispString = [&](const std::string& text) {
    std::vector<uint32_t> words = {
        (static_cast<uint32_t>(text.size()) << 8) | lisp::type_code::SimpleString,
        makeFixnum(static_cast<int32_t>(text.size()))};
    for (size_t i = 0; i < text.size(); i += 2)
      words.push_back(static_cast<uint8_t>(text[i]) |
                      (i + 1 < text.size() ? uint32_t{static_cast<uint8_t>(text[i + 1])} << 16 : 0));
    auto* storage = static_cast<uint32_t*>(objects_->allocate(4 * words.size() + 8));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  };
  const std::string dataPath = testing_support::processTempPath("profile.data");
  const std::string indexPath = testing_support::processTempPath("profile.index");
  ::unlink(dataPath.c_str());
  ::unlink(indexPath.c_str());
  const lispval data = lispString(dataPath), index = lispString(indexPath);
  const auto start = [&](int32_t type, lispval dataName) {
    return oneValue(run(27, {makeFixnum(type), makeFixnum(10), makeFixnum(5), makeFixnum(0),
                             dataName, index}));
  };
  EXPECT_EQ(start(3, data), makeFixnum(-1));           // no such type
  EXPECT_EQ(start(2, makeFixnum(7)), makeFixnum(-1));  // a file name that is no string
  EXPECT_NE(::access(indexPath.c_str(), F_OK), 0);
  EXPECT_EQ(start(2, data), makeFixnum(2));
  EXPECT_EQ(timerrate, 5000u);
  EXPECT_EQ(profiler_max_samples, 10);
  EXPECT_EQ(::access(dataPath.c_str(), F_OK), 0);
  EXPECT_EQ(::access(indexPath.c_str(), F_OK), 0);
  EXPECT_EQ(oneValue(run(29, {})), makeFixnum(0));
  EXPECT_EQ(pageallochook, space_record_stack);
  EXPECT_EQ(oneValue(run(31, {})), makeFixnum(0));
  EXPECT_EQ(oneValue(run(30, {})), makeFixnum(0));
  EXPECT_EQ(pageallochook, nullptr);
  EXPECT_EQ(oneValue(run(28, {})), makeFixnum(0));
  EXPECT_EQ(profiler_type, 0);
  EXPECT_EQ(lisp_recorder_log.count, 0u);  // no error on the way
}

TEST_F(SystemCalls, HostVersionRowsAnswerTheDetectedSystem) {
  determine_host_os();
  EXPECT_EQ(oneValue(run(60, {})), makeFixnum(sy_win_major_version()));
  EXPECT_EQ(oneValue(run(61, {})), makeFixnum(sy_win_minor_version()));
  EXPECT_EQ(oneValue(run(79, {})), makeFixnum(1));
}

TEST_F(SystemCalls, ProcessIdAndDigestRunForReal) {
  EXPECT_EQ(oneValue(run(19, {})), makeFixnum(static_cast<int32_t>(getpid())));
  // The digest of "abc" into a 16-byte vector.
  const lispval text = arenaObject({(3u << 8) | 117, makeFixnum(3), 0x00636261});
  const lispval digest = arenaObject({(16u << 8) | 117, makeFixnum(16), 0, 0, 0, 0});
  EXPECT_EQ(oneValue(run(107, {text, makeFixnum(3), digest})), nil());
  const auto* bytes = reinterpret_cast<const uint8_t*>(lisp::objectAddress(digest) + 8);
  const uint8_t expected[4] = {0x90, 0x01, 0x50, 0x98};  // 900150983cd24fb0...
  EXPECT_TRUE(std::equal(expected, expected + 4, bytes));
}

// Code 20 answers the runtime's own user-id substitute (0), not the C
// library's id: a child process that runs under another user asks.
TEST_F(SystemCalls, UserIdIsTheRuntimesSubstitute) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && setuid(65534) != 0) _exit(3);
    if (getuid() == 0) _exit(3);
    const testing_support::LispCallResult result = call(serviceSetup(20, {}));
    _exit(result.eax == makeFixnum(0) && result.carry == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not the substitute's 0; 3: no other user to run as";
}

TEST_F(SystemCalls, AThrowOverTheServiceContinuesWhereItWasSent) {
  probe(probes_.aux, 0, {}, sd::Result::Word);
  g_probe.continuation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&system_call_throw_landing));
  EXPECT_EQ(run(0, {}).eax, makeFixnum(-2));
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

}  // namespace
