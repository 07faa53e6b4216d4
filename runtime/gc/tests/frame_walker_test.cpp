// The frame walker on a Lisp stack built word by word on the test's own
// stack (above the walker's frames), with the thread's foreign-call chain
// pointing into it; and the frame functions it judges frames by.

#include "runtime/gc/frame_walker.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "runtime/gc/frame_functions.h"
#include "runtime/gc/object_printer.h"
#include "runtime/gc/tests/attached_test_library.h"
#include "runtime/gc/tests/object_heap_fixture.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_call_harness.h"

extern "C" {
void frame_walk_function_probe();
uint32_t frame_walk_native_probe();
}

namespace {

using namespace gc_test;
using lisp::lispval;
namespace tr = lisp::thread_record;
namespace nb = lisp::nil_block;

constexpr int kWords = 240;
// Frame pointers (word indexes), newest first. F3 is a native entry into
// Lisp whose native caller keeps its frame at kNativeCaller; F5 is the
// native entry the chain's last record names, the bottom of the stack.
constexpr int F0 = 30, F1 = 60, F2 = 90, F3 = 120, kNativeCaller = 130, F4 = 170, F5 = 210;
// Foreign-call records: R0 the newest (native code running, called from
// F0); R1 from F4, re-entered at F3; R2 the last.
constexpr int R0 = 10, R1 = 140, R2 = 225;

// Where the native probe lists its frames, and how many.
FILE* g_probeFile = nullptr;
constexpr int kProbeFrames = 3;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

class FrameWalker : public ObjectHeap {
 protected:
  void SetUp() override {
    ObjectHeap::SetUp();
    lisp_frame_current_index = 0;
    lisp_frame_highest_index = -1;
  }
  void TearDown() override {
    threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
    lisp_frame_current_index = 0;
    lisp_frame_highest_index = -1;
    ObjectHeap::TearDown();
  }
  uint32_t& threadWord(int32_t offset) { return lisp::wordAt(lisp::dummyThreadWord(), offset); }

  uint32_t address(int index) const { return gc::addressOf(&stack_[index]); }
  void record(int at, int previous, int nativeFrame, int savedFrame) {
    stack_[at] = previous < 0 ? tr::kEmptyClinkChain : address(previous);
    stack_[at + 1] = nativeFrame ? address(nativeFrame) : 0;
    stack_[at + 2] = address(savedFrame);
    for (int word = 3; word < static_cast<int>(tr::kClinkRecordWords); ++word)
      stack_[at + word] = 0;
  }
  void frame(int fp, uint32_t functionWord, int caller) {
    stack_[fp] = caller ? address(caller) : 0;
    stack_[fp + 1] = 0x7000 + fp;  // the return address
    stack_[fp - 1] = functionWord;
  }
  // The complemented argument count a caller keeps for the call it made.
  void countFor(int callerFp, int32_t count) {
    stack_[callerFp - 4] = ~static_cast<uint32_t>(count);
  }

  void build(uint32_t* words) {
    stack_ = words;
    std::fill(stack_, stack_ + kWords, nil());
    functionA_ = function();
    functionB_ = function();
    functionC_ = function();
    foo_ = symbol(u"FOO");
    record(R0, R1, 0, F0);
    record(R1, R2, F3, F4);
    record(R2, -1, F5, F5);
    frame(F0, functionA_, F1);
    stack_[F0 + 2] = lisp::makeFixnum(1);
    stack_[F0 + 3] = foo_;
    countFor(F1, 2);
    frame(F1, nb::marker::kRuntimeRoutine, F2);
    frame(F2, functionB_, F3);  // F3 keeps no count: unknown
    frame(F3, nb::marker::kNativeEntry, kNativeCaller);
    stack_[kNativeCaller] = address(kNativeCaller + 4);  // native frames, not followed
    stack_[kNativeCaller + 1] = 0x7777;
    frame(F4, functionC_, F5);
    for (int i = 0; i < 12; ++i) stack_[F4 + 2 + i] = lisp::makeFixnum(i + 1);
    countFor(F5, 12);
    frame(F5, lisp::makeFixnum(3), 0);  // garbage in the function slot
    threadWord(tr::kClinkHead) = address(R0);
  }

  std::string functionText(lispval function) {
    const lispval code = lisp::objectOf<lisp::FunctionObject>(function)->codeVector;
    return format("#'<vector type 0x6c: 0x%lx>", static_cast<unsigned long>(code));
  }
  std::string frameLine(int fp) {
    return format("0x%lx: ", static_cast<unsigned long>(address(fp)));
  }
  std::vector<std::string> expectedListing() {
    return {
        frameLine(F0) + "(funcall " + functionText(functionA_) + " 1 FOO)",
        frameLine(F1) + "rs: <unknown C name>",
        frameLine(F2) + functionText(functionB_),
        frameLine(F3) + "rs: <unknown C name>",
        frameLine(kNativeCaller) + "<unknown C name>",
        frameLine(F4) + "(funcall " + functionText(functionC_) + " 1 2 3 4 5 6 7 8 9 10 ...)",
        frameLine(F5) + "incomplete: <unknown C name>",
        "=========",
    };
  }
  static constexpr int kListed = 7;

  uint32_t* stack_ = nullptr;
  lispval functionA_ = 0, functionB_ = 0, functionC_ = 0, foo_ = 0;
};

TEST_F(FrameWalker, ListsFunctionsArgumentsRuntimeAndNativeFrames) {
  alignas(8) uint32_t words[kWords];
  build(words);
  const std::string listing = captured([&](FILE* file) { lisp_zo_aux(address(F0), 0, file); });
  EXPECT_EQ(lines(listing), expectedListing());
  EXPECT_EQ(lisp_frame_highest_index, kListed - 1);
  EXPECT_EQ(lisp_frame_current_index, 0);
  const int listed[] = {F0, F1, F2, F3, kNativeCaller, F4, F5};
  for (int i = 0; i < kListed; ++i) {
    EXPECT_EQ(lisp_frame_cache[i], address(listed[i])) << i;
    EXPECT_EQ(lisp_retaddr_cache[i], stack_[listed[i] + 1]) << i;
  }
}

TEST_F(FrameWalker, WithoutAFrameTheWalkStartsInTheCallersNativeStretch) {
  alignas(8) uint32_t words[kWords];
  build(words);
  std::vector<std::string> listing = lines(captured([&](FILE* file) { lisp_zo_aux(0, 0, file); }));
  ASSERT_EQ(listing.size(), expectedListing().size() + 1);
  // The walker's own frame lies in R0's native stretch, below F0.
  EXPECT_NE(listing[0].find(": <unknown C name>"), std::string::npos) << listing[0];
  listing.erase(listing.begin());
  EXPECT_EQ(listing, expectedListing());

  // Again from the current index of that walk (its frame 1, the first Lisp one).
  lisp_frame_current_index = 1;
  listing = lines(captured([&](FILE* file) { lisp_zo_aux(0, 2, file); }));
  EXPECT_EQ(listing,
            (std::vector<std::string>{expectedListing()[0], expectedListing()[1], "========="}));
  EXPECT_EQ(lisp_frame_highest_index, 2);
}

TEST_F(FrameWalker, CountLimitsTheListing) {
  alignas(8) uint32_t words[kWords];
  build(words);
  const auto listing = lines(captured([&](FILE* file) { lisp_zo_aux(address(F2), 2, file); }));
  const auto all = expectedListing();
  EXPECT_EQ(listing, (std::vector<std::string>{all[2], all[3], "========="}));
  EXPECT_EQ(lisp_frame_highest_index, 1);
}

TEST_F(FrameWalker, ABackwardFramePointerWithoutARecordEndsTheWalk) {
  alignas(8) uint32_t words[kWords];
  build(words);
  stack_[F1] = address(20);
  const std::string listing = captured([&](FILE* file) { lisp_zo_aux(address(F0), 0, file); });
  const auto all = expectedListing();
  EXPECT_EQ(listing, all[0] + "\n" + all[1] + "\n" +
                         format("\nTerminating frame 0x%lx early for direction: 0x%lx\n",
                                static_cast<unsigned long>(address(F1)),
                                static_cast<unsigned long>(address(20))) +
                         "=========\n");

  // A record that bridges to the lower frame lets the walk go on, once per record.
  stack_[F1] = address(F0);
  const auto looped = lines(captured([&](FILE* file) { lisp_zo_aux(address(F0), 0, file); }));
  EXPECT_EQ(looped.size(), 2u * 4 + 3);  // F0 F1 four times, then the message
  EXPECT_NE(looped.at(looped.size() - 2).find("Terminating frame"), std::string::npos);
}

TEST_F(FrameWalker, MovingUpAndDownIsClampedToTheListedFrames) {
  alignas(8) uint32_t words[kWords];
  build(words);
  captured([&](FILE* file) { lisp_zo_aux(address(F0), 0, file); });
  const auto all = expectedListing();
  EXPECT_EQ(captured([&](FILE* file) { lisp_dn_aux(2, file); }), all[2] + "\n");
  EXPECT_EQ(captured([&](FILE* file) { lisp_up_aux(5, file); }),
            "Can't go up 5 - going up 2\n" + all[0] + "\n");
  EXPECT_EQ(captured([&](FILE* file) { lisp_dn_aux(10, file); }),
            "Can't go down 10 - going down 6\n" + all[6] + "\n");
  EXPECT_EQ(lisp_frame_current_index, 6);
  EXPECT_EQ(captured([&](FILE* file) { lisp_cur_aux(file); }), all[6] + "\n");
  EXPECT_EQ(captured([&](FILE* file) { lisp_up_aux(2, file); }), all[4] + "\n");
}

TEST_F(FrameWalker, RecordingStopsAtTheEndOfTheCaches) {
  // Runtime frames of three words each, more of them than the caches hold.
  constexpr int kFrames = kLispFrameCacheEntries + 50;
  alignas(8) uint32_t words[3 * kFrames + 2];
  for (int i = 0; i < kFrames; ++i) {
    const int fp = 1 + 3 * i;
    words[fp - 1] = nb::marker::kRuntimeRoutine;
    words[fp] = i + 1 < kFrames ? gc::addressOf(&words[fp + 3]) : 0;
    words[fp + 1] = 0x9000 + i;
  }
  const auto listing =
      lines(captured([&](FILE* file) { lisp_zo_aux(gc::addressOf(&words[1]), 0, file); }));
  ASSERT_EQ(listing.size(), static_cast<size_t>(kFrames) + 1);
  EXPECT_EQ(listing[kFrames - 1],
            format("0x%lx: rs: <unknown C name>",
                   static_cast<unsigned long>(gc::addressOf(&words[1 + 3 * (kFrames - 1)]))));
  EXPECT_EQ(lisp_frame_highest_index, kLispFrameCacheEntries - 1);
  EXPECT_EQ(lisp_frame_cache[kLispFrameCacheEntries - 1],
            gc::addressOf(&words[1 + 3 * (kLispFrameCacheEntries - 1)]));
  EXPECT_EQ(lisp_retaddr_cache[kLispFrameCacheEntries - 1], 0x9000u + kLispFrameCacheEntries - 1);
  EXPECT_EQ(lisp_retaddr_cache[0], 0x9000u);  // not overwritten by a write past the frame cache
}

TEST_F(FrameWalker, MovingBeforeAnyWalkShowsNothing) {
  EXPECT_EQ(captured([&](FILE* file) { lisp_up_aux(3, file); }), "Can't go up 3 - going up 0\n");
  EXPECT_EQ(captured([&](FILE* file) { lisp_dn_aux(1, file); }),
            "Can't go down 1 - going down 0\n");
  EXPECT_EQ(captured([&](FILE* file) { lisp_cur_aux(file); }), "");
  EXPECT_EQ(lisp_frame_current_index, 0);
}

TEST_F(FrameWalker, IndexWordsOutsideTheCachesAreNotTrusted) {
  alignas(8) uint32_t words[kWords];
  build(words);
  lisp_frame_highest_index = kLispFrameCacheEntries + 10;
  lisp_frame_current_index = kLispFrameCacheEntries + 5;
  EXPECT_EQ(captured([&](FILE* file) { lisp_cur_aux(file); }), "");
  EXPECT_EQ(captured([&](FILE* file) { lisp_up_aux(1, file); }), "");
  // A walk from the current index starts afresh at the innermost frame.
  const auto listing = lines(captured([&](FILE* file) { lisp_zo_aux(0, 2, file); }));
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[1], expectedListing()[0]);
  EXPECT_EQ(lisp_frame_current_index, 0);
  EXPECT_EQ(lisp_frame_highest_index, 1);
}

TEST_F(FrameWalker, FrameQueriesOnTheBuiltStack) {
  alignas(8) uint32_t words[kWords];
  build(words);
  EXPECT_EQ(c_frame_p(address(kNativeCaller)), 1);
  EXPECT_EQ(c_frame_p(address(F0)), 0);
  EXPECT_EQ(c_frame_p(address(F3)), 0);
  EXPECT_EQ(count_given_p(address(F1)), 2);
  EXPECT_EQ(count_given_p(address(F3)), -1);
  EXPECT_EQ(count_given_p(0), -1);
  EXPECT_EQ(find_next_frame(address(F0)), address(F1));
  EXPECT_EQ(find_next_frame(address(F3)), address(kNativeCaller));
  EXPECT_EQ(find_next_frame(address(kNativeCaller)), address(F4));
  EXPECT_EQ(find_next_frame(address(F5)), 0u);
  EXPECT_EQ(find_next_frame(0x10), 0u);  // not on this stack
  EXPECT_EQ(get_return_address(address(F2)), 0x7000u + F2);
  EXPECT_EQ(next_frame_pointer(address(F2)), address(F3));
}

TEST_F(FrameWalker, ValidFunctionObjects) {
  const lispval good = function();
  auto* object = lisp::objectOf<lisp::FunctionObject>(good);
  const lispval closure = other(lisp::headerWord(lisp::type_code::Closure));
  lisp::objectOf<lisp::ClosureObject>(closure)->templateFunction = good;
  alignas(8) uint32_t onStack[16] = {lisp::headerWord(lisp::type_code::Function)};
  EXPECT_EQ(valid_function_object(good), good);
  EXPECT_EQ(valid_function_object(closure), 0u);
  EXPECT_EQ(valid_function_object(good + 5), 0u);  // symbol tag
  EXPECT_EQ(valid_function_object(lisp::pointerWord(gc::addressOf(onStack), lisp::Tag::Other)), 0u);
  EXPECT_EQ(valid_function_object(lisp::makeFixnum(5)), 0u);

  const uint32_t start = object->start;
  object->start = lisp::objectAddress(object->codeVector) + 0x20000;
  EXPECT_EQ(valid_function_object(good), 0u);
  object->start = start;
  object->header |= 0x4000;
  EXPECT_EQ(valid_function_object(good), 0u);
  object->header &= ~0x4000u;
  const lispval code = object->codeVector;
  object->codeVector = lisp::makeFixnum(1);
  EXPECT_EQ(valid_function_object(good), 0u);
  object->codeVector = code;
}

TEST_F(FrameWalker, WhetherAFunctionHoldsAnAddress) {
  const lispval good = function(8);  // 16 bytes of code from its entry
  const uint32_t entry = lisp::objectOf<lisp::FunctionObject>(good)->start;
  const lispval closure = other(lisp::headerWord(lisp::type_code::Closure));
  lisp::objectOf<lisp::ClosureObject>(closure)->templateFunction = good;
  const uint32_t trampolines = global(nb::global::kTrampolineAreaStart);
  ASSERT_LT(trampolines, global(nb::global::kTrampolineAreaEnd));
  const struct {
    const char* what;
    lispval function;
    uint32_t pc;
    int strict, lenient;
  } cases[] = {
      {"the entry", good, entry, 1, 1},
      {"the last code byte", good, entry + 15, 1, 1},
      {"past the code", good, entry + 16, 0, 0},
      {"before the entry", good, entry - 1, 0, 0},
      {"a closure's template", closure, entry + 4, 1, 1},
      {"a trampoline", good, trampolines, 0, -1},
      {"just below nil", good, nil() - 10, 0, -1},
      {"nil itself", good, nil(), 0, 0},
      {"no function", lisp::makeFixnum(2), entry, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(function_object_subsumes_address(c.function, c.pc, 0), c.strict) << c.what;
    EXPECT_EQ(function_object_subsumes_address(c.function, c.pc, 1), c.lenient) << c.what;
  }
}

// A function whose code vector lies in the attached pure library (the
// function itself in the heap) is judged by the same rules and named in
// the listing like any other.
TEST_F(FrameWalker, AFunctionWhoseCodeLiesInThePureLibraryIsNamed) {
  const AttachedTestLibrary library({.code = {{0x31, std::vector<uint8_t>(32, 0x90)}}});
  ASSERT_TRUE(library.attached());
  alignas(8) uint32_t words[kWords];
  build(words);
  const uint32_t code = AttachedTestLibrary::firstCode();
  auto* object = lisp::objectOf<lisp::FunctionObject>(functionA_);
  object->codeVector = lisp::pointerWord(code, lisp::Tag::Other);
  object->start = code + 4;
  const uint32_t codeEnd = code + 4 + 2 * (16 + lisp::kCodeVectorExtraUnits);
  EXPECT_EQ(valid_function_object(functionA_), functionA_);
  EXPECT_EQ(function_object_subsumes_address(functionA_, codeEnd - 1, 0), 1);
  EXPECT_EQ(function_object_subsumes_address(functionA_, codeEnd, 0), 0);

  const auto listing = lines(captured([&](FILE* file) { lisp_zo_aux(address(F0), 1, file); }));
  ASSERT_FALSE(listing.empty());
  EXPECT_EQ(listing[0], frameLine(F0) + "(funcall " + functionText(functionA_) + " 1 FOO)");
}

// Frames built by the runtime's own frame code through the call harness:
// the native probe's walk starts in its native stretch, passes the runtime
// routine's frame and shows the Lisp function with its two arguments (the
// count the harness frame holds for the call).
TEST_F(FrameWalker, FramesBuiltByTheRuntimeFrameCode) {
  const lispval caller = function(), callee = function();
  testing_support::LispCallSetup setup;
  setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&frame_walk_function_probe));
  setup.edi = nil();
  setup.ebx = lisp::dummyThreadWord();
  setup.esi = callee;
  setup.frame[testing_support::frameIndex(0x4)] = caller;
  setup.frame[testing_support::frameIndex(0x10)] = ~2u;
  setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
  setup.stack[0] = lisp::makeFixnum(1);
  setup.stack[1] = symbol(u"FOO");
  const std::string listing = captured([&](FILE* file) {
    g_probeFile = file;
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
  });
  std::vector<std::string> described;
  for (const std::string& line : lines(listing))
    described.push_back(
        line.substr(line.find(": ") == std::string::npos ? 0 : line.find(": ") + 2));
  EXPECT_EQ(described, (std::vector<std::string>{
                           "<unknown C name>",
                           "rs: <unknown C name>",
                           "(funcall " + functionText(callee) + " 1 FOO)",
                           "=========",
                       }));
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

}  // namespace

extern "C" uint32_t frame_walk_native_probe() {
  lisp_zo_aux(0, kProbeFrames, g_probeFile);
  return 0;
}
