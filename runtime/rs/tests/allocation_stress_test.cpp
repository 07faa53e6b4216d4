// The runtime's allocating routines with a collection at each of their
// allocations in turn, and a hostile after-collection function run by
// every collection through the real bridge into Lisp: it conses, makes a
// values vector, binds a special, makes a system call that sets the error
// words, unbinds and returns five values. Whatever shared state a routine
// reads after an allocation (values in flight, error words, results of its
// own calls) must come out as it does without a collection.
//
// A routine's allocations are found by construction: a run without a
// collection measures the new-space bytes it takes, then new space is left
// with L free bytes for L = 0, 8, 16, ... up to that, so that each of its
// allocations in turn is the one that collects; each L runs once more with
// the cons page used up, so that its first cons collects too.
//
// The CTest run takes every ALLOCATION_STRESS_STRIDE-th L (default below);
// ALLOCATION_STRESS_STRIDE=1 sweeps them all, as bench_allocation_stress
// does.
//
// To add a routine, add a row to `rows()`: its name, a function that sets
// up its call (objects it needs are made afresh for every run, in new space
// where they should move), whether the answer is the open form or a closed
// values vector, and whether cl_error belongs to the answer. `describe`
// reads the answer; teach it a new kind of object when a row answers one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/pure_library.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/file_dispatch.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/system_call_dispatch.h"
#include "runtime/rs/tests/collection_probes.h"
#include "runtime/rs/tests/hostile_hook.h"
#include "runtime/rs/tests/values_heap.h"
#include "testing/lisp_binding_thread.h"
#include "testing/pure_library_file.h"
#include "testing/temp_path.h"

#ifndef ALLOCATION_STRESS_DEFAULT_STRIDE
#define ALLOCATION_STRESS_DEFAULT_STRIDE 5
#endif

extern "C" void list_length_entry();
extern "C" void code_vector_load_probe();

namespace calling_protocol_test {
namespace {

namespace sd = lisp::system_call_dispatch;
namespace fd = lisp::file_dispatch;
using testing_support::walkedFrame;

constexpr int32_t kValues = 0x9f;
constexpr int32_t kValuesList = 0xf3;
constexpr int32_t kAppendValues = 0x21b;
constexpr int32_t kCloseValues = 0x21f;
constexpr int32_t kMvList = 0x223;
constexpr int32_t kQcons = 0x2b;
constexpr int32_t kShortVector = 0xf7;
constexpr int32_t kNewSymbol = 0x127;
constexpr uint8_t kShortVectorType = 96;  // length in the header
constexpr int32_t kIntegerAdd = 0x18b;
constexpr int32_t kIntegerMultiply = 0x193;
constexpr int32_t kShiftLeft = 0x1a7;
constexpr int32_t kBindOneSpec = 0x47;
constexpr int32_t kUnbindOneSpec = 0x3b;
constexpr int32_t kSyscall = 0x17b;
constexpr int32_t kFilesys = 0x143;
constexpr int32_t kLengthSymbol = -0x171;
constexpr int32_t kPackHeap = 0x31b;

// The system-call rows: the hook's (sets both error words), one that fails
// with cl_error 8 and a bignum-sized answer, one that succeeds with one,
// and one of lisp_syscall_aux reached through the forward tail.
constexpr uint32_t kHookCode = 4, kFailingCode = 41, kSucceedingCode = 5, kAuxCode = 0;
constexpr uint32_t kWaitCode = 13, kSeveralCode = 6, kAuxSeveralCode = 1,
                   kAuxFailingSeveralCode = 2;
constexpr uint32_t kAux2FailingSeveralCode = 9;  // passed on twice
constexpr int32_t kHookError = 99;
// filesys rows 14 (signed) and 15 (unsigned), which look at cl_error: the
// first fails with a bignum-sized answer, the second succeeds with one.
constexpr uint32_t kListingCode = 14, kNextNameCode = 15;

// The thread whose extra result words the rows write.
lispval g_stressThread = 0;
void setExtras(lispval first, lispval second) {
  lisp::wordAt(g_stressThread, tr::kExtraResults) = first;
  lisp::wordAt(g_stressThread, tr::kExtraResults + 4) = second;
}

uint32_t hookRow(const sd::NativeWords&) {
  errno = kHookError;
  cl_error = makeFixnum(kHookError);
  setExtras(makeFixnum(kHookError), makeFixnum(kHookError));
  return makeFixnum(7);
}
// Several values: a child wait's status, id and nil; an unsigned word boxed
// as a bignum and an extra word, succeeding or failing with cl_error 8.
uint32_t waitRow(const sd::NativeWords&) {
  setExtras(makeFixnum(4242), nilval);
  return makeFixnum(7);
}
uint32_t severalRow(const sd::NativeWords&) {
  setExtras(makeFixnum(77), makeFixnum(78));
  return 0xfffffff0;
}
uint32_t failingSeveralRow(const sd::NativeWords& words) {
  cl_error = makeFixnum(8);
  return severalRow(words);
}
uint32_t failingRow(const sd::NativeWords&) {
  cl_error = makeFixnum(8);
  return 0x80000005;
}
uint32_t succeedingRow(const sd::NativeWords&) {
  return 0xfffffff0;
}
uint32_t failingFileRow(const fd::NativeWords&) {
  cl_error = makeFixnum(8);
  return 0x80000005;
}
uint32_t succeedingFileRow(const fd::NativeWords&) {
  return 0xfffffff0;
}

// The pure library the code-vector rows load against: a vector the row's
// load shares its first 600 bytes with (so its match state holds bytes of
// the library when it makes its own vector), and one the hook's load finds
// whole (so that load sets the match state anew).
constexpr uint32_t kSharedHash = 0x500, kFoundHash = 0x600;
constexpr uint32_t kSharedBytes = 600;
std::vector<uint8_t> codePattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> code(bytes);
  for (size_t i = 0; i < bytes; ++i) code[i] = static_cast<uint8_t>(seed + 29 * i + (i >> 7));
  return code;
}
const std::vector<uint8_t>& libraryCode(uint32_t index) {
  static const std::vector<uint8_t> code[2] = {codePattern(1000, 3), codePattern(1200, 9)};
  return code[index];
}
const std::vector<uint8_t>& missingCode() {
  static const std::vector<uint8_t> code = [] {
    std::vector<uint8_t> bytes = libraryCode(0);
    for (size_t i = kSharedBytes; i < bytes.size(); ++i) bytes[i] ^= 0x5a;
    return bytes;
  }();
  return code;
}

uint32_t stride() {
  const char* text = std::getenv("ALLOCATION_STRESS_STRIDE");
  const long value = text ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 ? static_cast<uint32_t>(value) : ALLOCATION_STRESS_DEFAULT_STRIDE;
}

class AllocationStress : public ValuesHeap {
 protected:
  struct Row {
    const char* name;
    std::function<LispCallSetup()> setup;
    enum class Answer { Open, Closed } answer = Answer::Open;
    bool errorWords = false;  // cl_error belongs to the answer
  };

  void SetUp() override {
    ValuesHeap::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    thread_ = lisp::registry::tagged(vxm_thread_control.registryTable[0]);
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    threadWord(tr::kAnnotatingConsing) = nil();
    head() = nil();
    global(kLengthSymbol) = symbol(objects_->makeFunction(addressOf(list_length_entry)));
    tables_ = sd::builtInTables();
    tables_.main[kHookCode] = {true, hookRow, {}, sd::Result::Word, false};
    tables_.main[kFailingCode] = {true, failingRow, {}, sd::Result::Unsigned, true};
    tables_.main[kSucceedingCode] = {true, succeedingRow, {}, sd::Result::Unsigned, true};
    tables_.aux[kAuxCode] = {true, succeedingRow, {}, sd::Result::Unsigned, true};
    tables_.main[kWaitCode] = {true, waitRow, {}, sd::Result::WordAndTwoExtras, false};
    tables_.main[kSeveralCode] = {true, severalRow, {}, sd::Result::UnsignedAndExtra, true};
    // Codes passed on by lisp_syscall to lisp_syscall_aux.
    tables_.main[kAuxSeveralCode] = tables_.main[kAuxFailingSeveralCode] = {};
    tables_.aux[kAuxSeveralCode] = {true, severalRow, {}, sd::Result::UnsignedAndExtra, true};
    tables_.aux[kAuxFailingSeveralCode] = {
        true, failingSeveralRow, {}, sd::Result::UnsignedAndExtra, true};
    tables_.main[kAux2FailingSeveralCode] = tables_.aux[kAux2FailingSeveralCode] = {};
    tables_.aux2[kAux2FailingSeveralCode - sd::kAux2FirstCode] = {
        true, failingSeveralRow, {}, sd::Result::UnsignedAndExtra, true};
    g_stressThread = thread_;
    sd::activeTables = &tables_;
    fileRows_ = *fd::activeFileRows;
    fileRows_[kListingCode].operation = failingFileRow;
    fileRows_[kNextNameCode].operation = succeedingFileRow;
    fd::activeFileRows = &fileRows_;
    // A special the hook binds (to a new heap cell) and unbinds: a symbol
    // whose value vector holds its global cell for binding index 0.
    testing_support::prepareThreadForBinding(thread_, 0, nil());
    special_ = symbol();
    mapLibrary();
    lisp::wordAt(special_, 1) = arenaObject(
        {lisp::headerWithLength(lisp::type_code::SimpleVector, 1), makeFixnum(1), special_});
  }
  void TearDown() override {
    sd::activeTables = &sd::builtInTables();
    fd::activeFileRows = savedFileRows_;
    cl_error = 0;
    forgetLibrary();
    ValuesHeap::TearDown();
    lisp::registry::forgetRegistry();
  }

  static void forgetLibrary() {
    unmap_lso_file();
    lso_file[0] = '\0';
    lsoinit();
  }
  void mapLibrary() {
    forgetLibrary();
    const std::vector<uint8_t> bytes = testing_support::libraryBytes(
        {.code = {{kSharedHash, libraryCode(0)}, {kFoundHash, libraryCode(1)}}});
    const std::string path = testing_support::processTempPath("stress.vpl");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    std::strcpy(lso_file, path.c_str());
    ASSERT_EQ(map_lso_file(0x10000000), 0);
  }

  // What every collection runs: allocations, a system call that sets the
  // error words, a code-vector load that the library holds, and five values.
  std::vector<HostileCall> hostileCalls() {
    HostileCall five{
        .target = global(kValues), .eax = makeFixnum(101), .edx = makeFixnum(102), .ecx = 5};
    for (uint32_t k = 0; k < 3; ++k) five.stacked[k] = makeFixnum(103 + static_cast<int32_t>(k));
    return {
        {.target = global(kQcons), .eax = makeFixnum(100), .edx = nil(), .ecx = 2},
        {.target = addressOf(new_mv_vector), .eax = makeFixnum(30), .edx = nil(), .ecx = 1},
        {.target = global(kBindOneSpec), .eax = makeFixnum(42), .edx = special_, .ecx = 1},
        {.target = global(kSyscall), .eax = makeFixnum(kHookCode), .edx = nil(), .ecx = 1},
        {.target = global(kUnbindOneSpec), .eax = nil(), .edx = nil(), .ecx = 0},
        {.target = addressOf(code_vector_load_probe), .eax = makeFixnum(1), .edx = nil(), .ecx = 1},
        five,
    };
  }

  LispCallSetup syscall(uint32_t code) {
    return setupFor(kSyscall, makeFixnum(static_cast<int32_t>(code)), nil(), 1);
  }

  // A new-space cons (which a collection moves) of n and nil.
  lispval cons(int32_t n) { return call(setupFor(kQcons, makeFixnum(n), nil(), 2)).eax; }
  // A new-space bignum (which a collection moves) of an unsigned word.
  lispval boxUnsigned(uint32_t word) {
    return call(setupForRoutine(unsigned_fixnum_or_bignum, word, 0, 1)).eax;
  }
  LispCallSetup fileCall(uint32_t code) {
    return setupFor(kFilesys, makeFixnum(static_cast<int32_t>(code)), makeFixnum(1), 2);
  }

  std::vector<Row> rows() {
    using A = Row::Answer;
    return {
        {"values of six",
         [this] {
           LispCallSetup s = setupFor(kValues, makeFixnum(1), makeFixnum(2), 6);
           for (uint32_t k = 2; k < 6; ++k) s.stack[k] = makeFixnum(static_cast<int32_t>(k + 1));
           return s;
         }},
        {"values_list of 25", [this] { return setupFor(kValuesList, list(fixnums(1, 25)), 0, 1); }},
        {"append_values 3 to 19",
         [this] {
           const lispval v = closedVector(21, fixnums(1, 19));
           LispCallSetup s = openForm(kAppendValues, fixnums(20, 3));
           s.frame[frameIndex(0x18)] = v;
           return s;
         },
         A::Closed},
        {"close_values of 5", [this] { return openForm(kCloseValues, fixnums(1, 5)); }, A::Closed},
        {"m_v_list of 25", [this] { return openForm(kMvList, fixnums(1, 25)); }},
        {"new_mv_vector of 20",
         [this] { return setupForRoutine(new_mv_vector, makeFixnum(20), 0, 1); }, A::Closed},
        {"qcons", [this] { return setupFor(kQcons, makeFixnum(1), makeFixnum(2), 2); }},
        {"unsigned_fixnum_or_bignum",
         [this] { return setupForRoutine(unsigned_fixnum_or_bignum, 0xfffffff0u, 0, 1); }},
        {"integer multiply into a bignum",
         [this] {
           return setupFor(kIntegerMultiply, makeFixnum(0x10000), makeFixnum(0x18000), 2);
         }},
        {"integer add of two bignums",
         [this] {
           return setupFor(kIntegerAdd, boxUnsigned(0xfffffff0u), boxUnsigned(0xfffffff1u), 2);
         }},
        {"shift left into a bignum",
         [this] { return setupFor(kShiftLeft, makeFixnum(3), makeFixnum(40), 2); }},
        {"short_vector of six moving conses",
         [this] {
           LispCallSetup s = setupFor(kShortVector, cons(1), cons(2), 6);
           for (uint32_t k = 2; k < 6; ++k) s.stack[k] = cons(static_cast<int32_t>(k + 1));
           return s;
         }},
        {"new_symbol", [this] { return setupFor(kNewSymbol, nil(), makeFixnum(0), 2); }},
        {"fixnum_or_bignum",
         [this] { return setupForRoutine(fixnum_or_bignum, 0x80000000u, 0, 1); }},
        {"lisp_syscall, failing row", [this] { return syscall(kFailingCode); }, A::Open, true},
        {"lisp_syscall, succeeding row", [this] { return syscall(kSucceedingCode); }, A::Open,
         true},
        {"lisp_syscall_aux through the forward tail", [this] { return syscall(kAuxCode); }, A::Open,
         true},
        {"lisp_syscall, a child wait's three values", [this] { return syscall(kWaitCode); },
         A::Open, true},
        {"lisp_syscall, a bignum and an extra value", [this] { return syscall(kSeveralCode); },
         A::Open, true},
        {"lisp_syscall_aux, several values through the forward tail",
         [this] { return syscall(kAuxSeveralCode); }, A::Open, true},
        {"lisp_syscall_aux, several values failing through the forward tail",
         [this] { return syscall(kAuxFailingSeveralCode); }, A::Open, true},
        {"lisp_syscall_aux2, several values failing through both forward tails",
         [this] { return syscall(kAux2FailingSeveralCode); }, A::Open, true},
        {"filesys row 14, failing", [this] { return fileCall(kListingCode); }, A::Open, true},
        {"filesys row 15, succeeding", [this] { return fileCall(kNextNameCode); }, A::Open, true},
        {"cached_or_new_codevec, a library prefix then its own vector",
         [this] { return setupForRoutine(code_vector_load_probe, makeFixnum(0), 0, 1); }},
    };
  }

  // A readable form of a value: fixnums, nil, conses, bignums, values
  // vectors, and the type code of anything else.
  std::string describe(lispval value, int depth = 0) {
    if (value == nil()) return "nil";
    if (lisp::isFixnum(value)) return std::to_string(lisp::fixnumValue(value));
    if (depth > 40) return "...";
    if (lisp::isCons(value))
      return "(" + describe(lisp::car(value), depth + 1) + " . " +
             describe(lisp::cdr(value), depth + 1) + ")";
    if ((value & 7) == static_cast<uint32_t>(lisp::Tag::Symbol))
      return "#<symbol " + describe(lisp::wordAt(value, -0x13), depth + 1) + ">";  // its value
    if (!lisp::isOther(value)) return "#<word " + std::to_string(value) + ">";
    const uint32_t header = lisp::wordAt(value, lisp::kHeaderOffset);
    const uint8_t type = lisp::typeCodeOf(header);
    if (type == lisp::type_code::Bignum) {
      // Sign and length in the header, then the 16-bit digits.
      std::string text = "#big(" + std::to_string(header >> 8);
      const uint32_t digits = std::min<uint32_t>(header >> 16, 8);
      for (uint32_t k = 0; k < digits; ++k)
        text += " " + std::to_string(gc_test::at<uint16_t>(value - 0xe + 2 * k));
      return text + ")";
    }
    if (type == lisp::type_code::ValuesVector) {
      const lispval count = element(value, 0);
      if (!lisp::isFixnum(count) || lisp::fixnumValue(count) < 0 ||
          static_cast<uint32_t>(lisp::fixnumValue(count)) >= elementCount(value))
        return "#mv[" + std::to_string(elementCount(value)) + " elements]";
      std::string text = "#mv(";
      for (const lispval item : closedValues(value)) text += describe(item, depth + 1) + " ";
      return text + ")";
    }
    if (type == lisp::type_code::CodeVector) {
      // Its code units and a digest of their bytes.
      const uint32_t units = (header >> 8) - lisp::kCodeVectorExtraUnits;
      uint32_t digest = 2166136261u;
      for (uint32_t k = 0; k < 2 * units; ++k)
        digest = (digest ^ gc_test::at<uint8_t>(value - 0xe + k)) * 16777619u;
      return "#code(" + std::to_string(units) + " units " + std::to_string(digest) + ")";
    }
    if (type == kShortVectorType) {
      std::string text = "#(";
      for (uint32_t k = 0; k < std::min<uint32_t>(header >> 8, 64); ++k)
        text += describe(lisp::wordAt(value, -0xe + 4 * static_cast<int32_t>(k)), depth + 1) + " ";
      return text + ")";
    }
    return "#<type " + std::to_string(type) + ">";
  }
  std::string answerOf(const Row& row, const LispCallResult& result) {
    std::string text;
    if (row.answer == Row::Answer::Closed) {
      text = describe(result.eax);
    } else {
      const uint32_t count = result.carry ? result.ecx : 1;
      text = std::to_string(count) + " values:";
      for (uint32_t i = 0; i < count; ++i)
        text += " " + describe(i == 0 ? result.eax : i == 1 ? result.edx : element(head(), i + 1));
    }
    if (row.errorWords) text += " cl_error " + std::to_string(cl_error);
    return text;
  }

  // One run of the row, with new space left `left` bytes free when set.
  LispCallResult run(const Row& row, int32_t left, bool consPageUsedUp) {
    head() = nil();
    cl_error = 0;
    const LispCallSetup setup = row.setup();
    if (left >= 0) testing_support::useUpNewSpace(static_cast<uint32_t>(left));
    if (consPageUsedUp) global(gc::global::kConsFill) = global(gc::global::kConsLimit);
    return testing_support::callAsWalkBase(walkedFrame(setup), thread_);
  }

  void sweep(const Row& row) {
    SCOPED_TRACE(row.name);
    // The reference: a run without a collection (a second one when the
    // first found new space short and collected).
    std::string reference;
    uint32_t taken = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      const uint32_t scavenges = ScavengeCt;
      head() = nil();
      const LispCallSetup setup = row.setup();
      const uint32_t start = next();
      cl_error = 0;
      reference = answerOf(row, testing_support::callAsWalkBase(walkedFrame(setup), thread_));
      taken = next() - start;
      if (ScavengeCt == scavenges) break;
      ASSERT_EQ(attempt, 0) << "the reference run collected twice";
    }
    uint32_t collections = 0;
    for (uint32_t left = 0; left <= taken + 8; left += 8 * stride()) {
      for (const bool consPageUsedUp : {false, true}) {
        const uint32_t scavenges = ScavengeCt;
        const LispCallResult result = run(row, static_cast<int32_t>(left), consPageUsedUp);
        collections += ScavengeCt - scavenges;
        EXPECT_EQ(answerOf(row, result), reference)
            << left << " bytes left" << (consPageUsedUp ? ", the cons page used up" : "");
      }
    }
    EXPECT_GT(collections, 0u);
  }

  sd::Tables tables_{};
  const fd::FileRows* const savedFileRows_ = fd::activeFileRows;
  fd::FileRows fileRows_{};
  lispval special_ = 0;
};

TEST_F(AllocationStress, EveryAllocationOfEachRoutineCollectsUnderAHostileHook) {
  const testing_support::HostileAfterHook hook(hostileCalls());
  for (const Row& row : rows()) sweep(row);
  EXPECT_EQ(lisp_recorder_log.count, 0u) << "a runtime error was signalled";
  EXPECT_EQ(threadWord(tr::kBindingStackTop), 0u) << "the hook's binding was undone";
}

// The same, with a hook whose last call answers more values (40) than any
// head vector the routines make holds, so that it replaces the head.
TEST_F(AllocationStress, EveryAllocationCollectsUnderAHookAnsweringMoreValuesThanTheHeadHolds) {
  std::vector<HostileCall> calls = hostileCalls();
  calls.back() = {
      .target = global(kValuesList), .eax = list(fixnums(201, 40)), .edx = nil(), .ecx = 1};
  const testing_support::HostileAfterHook hook(calls);
  for (const Row& row : rows()) sweep(row);
  EXPECT_EQ(lisp_recorder_log.count, 0u) << "a runtime error was signalled";
}

// The same, with a hook that after its five values appends them to a
// closed vector of 19 values with room for 21 (append_values copies it and
// takes its own head vector off the list meanwhile), then answers five
// values again.
TEST_F(AllocationStress, EveryAllocationCollectsUnderAHookThatAppendsValues) {
  std::vector<uint32_t> words{lisp::headerWithLength(lisp::type_code::ValuesVector, 21),
                              makeFixnum(19)};
  for (const lispval v : fixnums(301, 19)) words.push_back(v);
  words.push_back(nil());
  words.push_back(nil());
  uint32_t* storage = arenaWords(static_cast<uint32_t>(words.size()));
  std::copy(words.begin(), words.end(), storage);
  hostile_append_vector = lisp::wordOf(storage, lisp::Tag::Other);
  std::vector<HostileCall> calls = hostileCalls();
  const HostileCall five = calls.back();
  calls.push_back({.target = addressOf(hostile_append_probe),
                   .eax = makeFixnum(101),
                   .edx = makeFixnum(102),
                   .ecx = 5});
  calls.push_back(five);
  const testing_support::HostileAfterHook hook(calls);
  for (const Row& row : rows()) sweep(row);
  EXPECT_EQ(lisp_recorder_log.count, 0u) << "a runtime error was signalled";
  EXPECT_EQ(closedValues(hostile_append_vector), fixnums(301, 19)) << "copied, not filled";
}

// The same, with a hook that first packs the heap (pack_heap, keeping no
// free old space): a packing run from inside each collection, whose own
// scavenges run the hook again and ask for a packing within the packing.
TEST_F(AllocationStress, EveryAllocationCollectsUnderAHookThatPacksTheHeap) {
  std::vector<HostileCall> calls = hostileCalls();
  HostileCall pack{
      .target = global(kPackHeap), .eax = makeFixnum(0), .edx = makeFixnum(0), .ecx = 3};
  pack.stacked[0] = nil();
  calls.insert(calls.begin(), pack);
  const testing_support::HostileAfterHook hook(calls);
  const uint32_t semispace = GsNewSemiSize;
  for (const Row& row : rows()) sweep(row);
  EXPECT_EQ(lisp_recorder_log.count, 0u) << "a runtime error was signalled";
  EXPECT_LT(GsNewSemiSize, semispace) << "the packings ran";
}

}  // namespace
}  // namespace calling_protocol_test

// A load of the row's code (0) or of the library's second vector (1), as
// the native fasl loader makes its code vectors.
extern "C" lisp::lispval code_vector_load_native(lisp::lispval which) {
  using namespace calling_protocol_test;
  const bool rowCode = which == lisp::makeFixnum(0);
  const std::vector<uint8_t>& code = rowCode ? missingCode() : libraryCode(1);
  lisp::fasl::MemorySource source(code);
  lisp::fasl::FaslReader reader(source);
  return lisp::fasl::cached_or_new_codevec(static_cast<uint32_t>(code.size()),
                                           rowCode ? kSharedHash : kFoundHash, false, reader,
                                           false, new_lisp_obj);
}
