// filesys through its entry slot on a real heap. Probe rows stand in for
// the file operations: they note the native words they receive and answer
// what a case asks, so the conversions of the arguments, every result form,
// the reset of errno and cl_error and the cl_error test are seen from the
// Lisp side. The copy of code 23 runs for real.

#include "runtime/rs/file_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "runtime/gc/scavenger.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/hostile_hook.h"
#include "runtime/rs/tests/service_dispatch_heap.h"

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace fd = lisp::file_dispatch;
namespace tc = lisp::type_code;

constexpr int32_t kFilesys = 0x143;
constexpr uint32_t kCopyCode = 23;  // runs for real

// ---- the probe operation ----

struct ProbeState {
  uint32_t answer = 0;      // what the probe returns
  int32_t setsClError = 0;  // stored into cl_error by the probe
  int setsErrno = 0;
  int errnoSeen = -1;       // errno when the probe ran
  int32_t clErrorSeen = 1;  // cl_error when the probe ran
  std::vector<fd::NativeWords> calls;
};
ProbeState g_probe;

uint32_t probeOperation(const fd::NativeWords& words) {
  g_probe.calls.push_back(words);
  g_probe.errnoSeen = errno;
  g_probe.clErrorSeen = cl_error;
  if (g_probe.setsErrno) errno = g_probe.setsErrno;
  if (g_probe.setsClError) cl_error = g_probe.setsClError;
  return g_probe.answer;
}

class Filesys : public gc_test::ServiceDispatchHeap {
 protected:
  Filesys() : ServiceDispatchHeap(kFilesys) {}
  void SetUp() override {
    ServiceDispatchHeap::SetUp();
    g_probe = ProbeState{};
    probeRows_ = *fd::activeFileRows;
    for (uint32_t code = 0; code < fd::kCodeCount; ++code)
      if (probeRows_[code].operation && code != kCopyCode)
        probeRows_[code].operation = probeOperation;
  }
  void TearDown() override {
    fd::activeFileRows = savedRows_;
    cl_error = 0;
    ServiceDispatchHeap::TearDown();
  }
  void useProbes() { fd::activeFileRows = &probeRows_; }

  static uint32_t addressOf(lispval object) { return lisp::objectAddress(object); }

  const fd::FileRows* const savedRows_ = fd::activeFileRows;
  fd::FileRows probeRows_{};
};

// ---- argument conversions ----

TEST_F(Filesys, IntegersBecomeMachineWords) {
  useProbes();
  struct Case {
    lispval argument;
    uint32_t word;
  };
  const Case cases[] = {
      {makeFixnum(5), 5},
      {makeFixnum(-7), 0xfffffff9},
      {bignum(0x89abcdef), 0x89abcdef},
      {bignum(0x12345678, 0x80), 0u - 0x12345678},
      {bignum(0x0000ffff, 0, 1), 0xffff},
      {bignum(0x00010000, 0, 4), 0x10000},
      // No integer: no machine word, where its header would read as digits.
      {arenaObject({(3u << 8) | 117, makeFixnum(3), 0x00620061, 0x63}), 0},
      {nil(), 0},
  };
  for (const Case& c : cases) {
    g_probe.calls.clear();
    oneValue(run(12, {c.argument}));
    ASSERT_EQ(g_probe.calls.size(), 1u);
    EXPECT_EQ(g_probe.calls[0][0], c.word) << std::hex << c.argument;
  }
}

TEST_F(Filesys, VectorsGiveTheirDataAndLength) {
  useProbes();
  const lispval withLengthWord = arenaObject({117, makeFixnum(6), 0x00620061, 0x00640063});
  const lispval simpleVector = arenaObject({lisp::headerWithLength(96, 3), 1, 2, 3});
  g_probe.answer = 4;
  EXPECT_EQ(oneValue(run(24, {makeFixnum(9), withLengthWord})), makeFixnum(4));
  EXPECT_EQ(oneValue(run(24, {makeFixnum(9), simpleVector})), makeFixnum(4));
  ASSERT_EQ(g_probe.calls.size(), 2u);
  EXPECT_EQ(g_probe.calls[0][1], addressOf(withLengthWord) + 8);
  EXPECT_EQ(g_probe.calls[0][2], 6u);
  EXPECT_EQ(g_probe.calls[1][1], addressOf(simpleVector) + 4);
  EXPECT_EQ(g_probe.calls[1][2], 3u);

  g_probe.calls.clear();
  oneValue(run(8, {makeFixnum(3), withLengthWord, makeFixnum(-2), makeFixnum(6)}));
  ASSERT_EQ(g_probe.calls.size(), 1u);
  EXPECT_EQ(g_probe.calls[0], (fd::NativeWords{3, addressOf(withLengthWord) + 8, 0xfffffffe, 6}));

  // Vectors of doubles: their data follow the alignment word.
  for (const uint8_t type : {tc::DoubleFloatVector, tc::ComplexDoubleVector}) {
    const lispval doubles = arenaObject({lisp::headerWithLength(type, 1), 0, 0, 0, 0, 0});
    g_probe.calls.clear();
    oneValue(run(18, {makeFixnum(3), doubles, makeFixnum(0), makeFixnum(8)}));
    ASSERT_EQ(g_probe.calls.size(), 1u);
    EXPECT_EQ(g_probe.calls[0][1], addressOf(doubles) + 8) << int{type};
  }
}

TEST_F(Filesys, VectorArgumentsMustBeVectorsAndHoldWhatIsReadOrWritten) {
  useProbes();
  const lispval sixCharacters = arenaObject({117, makeFixnum(6), 0x00620061, 0x00640063});  // 12 bytes
  // Not a vector where one is read or written: nothing runs.
  for (lispval notAVector : {makeFixnum(4096), nil(), bignum(5)}) {
    EXPECT_EQ(refused(serviceSetup(9, {makeFixnum(3), notAVector, makeFixnum(0), makeFixnum(4)}), 22), 0u);
    EXPECT_EQ(refused(serviceSetup(24, {makeFixnum(9), notAVector}), 22), 0u);
  }
  // A transfer past the vector's 12 bytes, and a copy past either end.
  struct Span {
    int32_t code;
    std::vector<lispval> arguments;
  };
  const Span pastTheEnd[] = {
      {9, {makeFixnum(3), sixCharacters, makeFixnum(0), makeFixnum(13)}},
      {8, {makeFixnum(3), sixCharacters, makeFixnum(10), makeFixnum(3)}},
      {18, {makeFixnum(3), sixCharacters, makeFixnum(12), makeFixnum(1)}},
  };
  for (const Span& span : pastTheEnd) {
    LispCallSetup setup = serviceSetup(span.code, {});
    setup.ecx = static_cast<uint32_t>(span.arguments.size() + 1);
    for (size_t i = 0; i < span.arguments.size(); ++i) setup.stack[i + 1] = span.arguments[i];
    setup.edx = span.arguments[0];
    EXPECT_EQ(refused(setup, 22), 0u) << "code " << span.code;
  }
  EXPECT_TRUE(g_probe.calls.empty());
  // Exactly to the end is fine.
  g_probe.answer = 12;
  EXPECT_EQ(oneValue(run(9, {makeFixnum(3), sixCharacters, makeFixnum(0), makeFixnum(12)})),
            makeFixnum(12));
  EXPECT_EQ(g_probe.calls.size(), 1u);
}

TEST_F(Filesys, RawWordsAndMissingArgumentsPassAsTheyAre) {
  useProbes();
  g_probe.answer = makeFixnum(12);
  EXPECT_EQ(oneValue(run(1, {makeFixnum(1), makeFixnum(2), t()})), makeFixnum(12));
  ASSERT_EQ(g_probe.calls.size(), 1u);
  EXPECT_EQ(g_probe.calls[0], (fd::NativeWords{1, makeFixnum(2), t(), nil()}));
}

// ---- result forms ----

struct ResultCase {
  const char* name;
  int32_t code;
  uint32_t answer;
  int setsErrno;
  bool twoValues;
  lispval expected;  // the value, or the second of nil and it; 0: see bignum
  uint32_t bignum;   // when expected is 0: the magnitude of a two-digit bignum
};

TEST_F(Filesys, EachRowTurnsItsResultIntoItsLispAnswer) {
  useProbes();
  const lispval path = makeFixnum(0x100);
  const lispval buffer = arenaObject({117, makeFixnum(2), 0});
  const ResultCase cases[] = {
      {"exists", 0, 1, 0, false, t(), 0},
      {"missing file", 0, 0, 0, false, nil(), 0},
      {"open", 1, makeFixnum(3), 0, false, makeFixnum(3), 0},
      {"seek", 5, 40, 0, false, makeFixnum(40), 0},
      {"seek far", 5, 0x40000000, 0, false, 0, 0x40000000},
      {"seek fails", 5, 0xffffffff, ENOTEMPTY, true, makeFixnum(41), 0},
      {"write", 8, 17, 0, false, makeFixnum(17), 0},
      {"write fails", 8, static_cast<uint32_t>(-12), 0, true, makeFixnum(2), 0},
      {"read fails", 9, static_cast<uint32_t>(-10), 0, true, makeFixnum(0), 0},
      {"stat", 10, t(), 0, false, buffer, 0},
      {"stat fails", 10, nil(), 0, false, nil(), 0},
      {"fnstat", 11, makeFixnum(0), 0, false, buffer, 0},
      {"opendir", 14, static_cast<uint32_t>(-5), 0, false, makeFixnum(-5), 0},
      {"readdir", 15, 0x1fffffff, 0, false, makeFixnum(0x1fffffff), 0},
      {"readdir high", 15, 0x20000000, 0, false, 0, 0x20000000},
      {"select nothing", 18, 0xffffffff, 0, false, nil(), 0},
      {"select", 18, 2, 0, false, makeFixnum(2), 0},
      {"select fails", 18, static_cast<uint32_t>(-15), 0, true, makeFixnum(5), 0},
      {"nodelay", 20, 0, 0, false, t(), 0},
      {"nodelay fails", 20, 0xffffffff, ENOTEMPTY, true, makeFixnum(41), 0},
      {"readlink", 24, 7, 0, false, makeFixnum(7), 0},
      {"chmod", 29, t(), 0, false, t(), 0},
  };
  for (const ResultCase& c : cases) {
    g_probe.answer = c.answer;
    g_probe.setsErrno = c.setsErrno;
    const LispCallResult result =
        run(c.code, {path, c.code == 11 ? makeFixnum(1) : buffer, makeFixnum(0), makeFixnum(2)});
    if (c.code == 11) {  // fnstat's a2 is its second argument
      EXPECT_EQ(oneValue(result), makeFixnum(1)) << c.name;
      continue;
    }
    if (c.twoValues)
      EXPECT_EQ(secondOfNilAnd(result), c.expected) << c.name;
    else if (c.expected != 0)
      EXPECT_EQ(oneValue(result), c.expected) << c.name;
    else
      EXPECT_EQ(bignumMagnitude(oneValue(result)), c.bignum) << c.name;
  }
}

// ---- errno, cl_error and the codes without a case ----

TEST_F(Filesys, ErrnoAndClErrorAreClearWhenTheOperationStarts) {
  useProbes();
  errno = EINTR;
  cl_error = makeFixnum(9);
  oneValue(run(0, {makeFixnum(1)}));
  EXPECT_EQ(g_probe.errnoSeen, 0);
  EXPECT_EQ(g_probe.clErrorSeen, 0);
}

TEST_F(Filesys, RowsThatLookAtClErrorAnswerNilAndIt) {
  useProbes();
  g_probe.setsClError = makeFixnum(2);
  for (int32_t code : {0, 1, 3, 10, 11, 12, 13, 14, 15, 16, 26, 27, 29}) {
    g_probe.answer = makeFixnum(1);
    EXPECT_EQ(secondOfNilAnd(run(code, {makeFixnum(1), makeFixnum(2)})), makeFixnum(2))
        << "code " << code;
  }
  // The rows that answer for themselves do not look.
  const lispval buffer = arenaObject({117, makeFixnum(2), 0});
  for (int32_t code : {5, 8, 9, 18, 24}) {
    g_probe.answer = 1;
    EXPECT_EQ(oneValue(run(code, {makeFixnum(1), buffer, makeFixnum(0), makeFixnum(1)})),
              makeFixnum(1))
        << "code " << code;
  }
  g_probe.answer = 0;
  EXPECT_EQ(oneValue(run(20, {makeFixnum(1), makeFixnum(1)})), t());
}

TEST_F(Filesys, CodesWithoutACaseSignalError22AndThenLookAtClError) {
  useProbes();
  for (int32_t code : {2, 4, 6, 7, 17, 19, 21, 22, 25, 28, 30, 1000, -1}) {
    cl_error = makeFixnum(5);  // from an earlier call: filesys clears it first
    EXPECT_EQ(refused(serviceSetup(code, {makeFixnum(1)}), 22), 0u) << "code " << code;
    EXPECT_TRUE(g_probe.calls.empty());
  }
}

// ---- a collection inside the boxing runs Lisp code ----

class FilesysOnARegisteredThread : public Filesys {
 protected:
  void SetUp() override {
    Filesys::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    thread_ = lisp::registry::tagged(vxm_thread_control.registryTable[0]);
    threadWord(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
    threadWord(lisp::thread_record::kAnnotatingConsing) = nil();
    threadWord(lisp::thread_record::kValuesVectors) = nil();
  }
  void TearDown() override {
    Filesys::TearDown();
    lisp::registry::forgetRegistry();
  }
};

// Rows 14 and 15 fail (cl_error 8) with a word boxed as a bignum; the
// boxing collects, and the after-collection function makes a system call,
// which clears cl_error on entry: the answer is still nil and 8.
TEST_F(FilesysOnARegisteredThread, TheClErrorTestedIsTheRowsOwnThoughTheBoxingMakesASystemCall) {
  constexpr int32_t kSyscallSlot = 0x17b, kProcessIdCode = 19;
  const testing_support::HostileAfterHook hook({{.target = global(kSyscallSlot),
                                                 .eax = makeFixnum(kProcessIdCode),
                                                 .edx = nil(),
                                                 .ecx = 1}});
  useProbes();
  for (const int32_t code : {14, 15}) {
    SCOPED_TRACE(code);
    g_probe.setsClError = makeFixnum(8);
    g_probe.answer = 0x80000005;
    testing_support::useUpNewSpace();
    const uint32_t scavenges = ScavengeCt;
    const LispCallResult result = run(code, {makeFixnum(1)});
    ASSERT_EQ(ScavengeCt, scavenges + 1);
    EXPECT_EQ(secondOfNilAnd(result), makeFixnum(8));
    EXPECT_EQ(cl_error, makeFixnum(8));
  }
}

// ---- the copy of code 23 ----

class FilesysCopy : public Filesys {
 protected:
  // Copies count bytes from byte offset `from` of `source` to offset `to`
  // of `target`; the answer must be nil alone.
  void copy(lispval target, int32_t to, lispval source, int32_t from, int32_t count) {
    EXPECT_EQ(
        oneValue(run(23, {source, makeFixnum(from), target, makeFixnum(to), makeFixnum(count)})),
        nil());
  }
  static std::vector<uint8_t> bytesOf(lispval vector, uint32_t dataOffset, uint32_t n) {
    const auto* start = reinterpret_cast<const uint8_t*>(lisp::objectAddress(vector) + dataOffset);
    return {start, start + n};
  }
  static constexpr uint32_t kLongBytes = 600;
  lispval longByteVector() {  // type 98: kLongBytes bytes after the header, all different nearby
    auto* storage = static_cast<uint32_t*>(objects_->allocate(4 + kLongBytes));
    storage[0] = lisp::headerWithLength(98, kLongBytes);
    auto* bytes = reinterpret_cast<uint8_t*>(storage + 1);
    for (uint32_t i = 0; i < kLongBytes; ++i) bytes[i] = static_cast<uint8_t>(i * 7 % 251);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval byteVector() {  // type 98: 12 bytes 0 .. 11 after the header
    return arenaObject({lisp::headerWithLength(98, 12), 0x03020100, 0x07060504, 0x0b0a0908});
  }
};

// Long enough that a forward word-by-word copy would overwrite source bytes
// before reading them.
TEST_F(FilesysCopy, OverlappingCopiesWithinOneVectorKeepTheSourceBytes) {
  struct Case {
    int32_t to, from, count;
  };
  for (const Case& c :
       {Case{3, 0, 500}, Case{0, 3, 500}, Case{64, 1, 530}, Case{1, 64, 530}, Case{5, 5, 100}}) {
    const lispval vector = longByteVector();
    std::vector<uint8_t> expected = bytesOf(vector, 4, kLongBytes);
    const std::vector<uint8_t> source = expected;
    std::copy(source.begin() + c.from, source.begin() + c.from + c.count, expected.begin() + c.to);
    copy(vector, c.to, vector, c.from, c.count);
    EXPECT_EQ(bytesOf(vector, 4, kLongBytes), expected)
        << "to " << c.to << " from " << c.from << " count " << c.count;
  }
}

TEST_F(FilesysCopy, CopiesBetweenVectorsOfBothDataLayouts) {
  const lispval source = byteVector();
  const lispval target = arenaObject({125, makeFixnum(8), 0, 0});  // data after the length word
  copy(target, 1, source, 4, 5);
  EXPECT_EQ(bytesOf(target, 8, 8), (std::vector<uint8_t>{0, 4, 5, 6, 7, 8, 0, 0}));
  copy(target, 0, source, 0, -3);  // a negative count copies nothing
  EXPECT_EQ(bytesOf(target, 8, 8), (std::vector<uint8_t>{0, 4, 5, 6, 7, 8, 0, 0}));
}

TEST_F(FilesysCopy, CopiesPastEitherVectorAreRefused) {
  const lispval source = byteVector();                               // 12 bytes
  const lispval target = arenaObject({125, makeFixnum(8), 0, 0});  // 8 bytes
  EXPECT_EQ(refused(serviceSetup(23, {source, makeFixnum(4), target, makeFixnum(0), makeFixnum(9)}), 22),
            0u);
  EXPECT_EQ(refused(serviceSetup(23, {source, makeFixnum(8), target, makeFixnum(0), makeFixnum(5)}), 22),
            0u);
  EXPECT_EQ(bytesOf(target, 8, 8), (std::vector<uint8_t>(8, 0)));
}

}  // namespace
