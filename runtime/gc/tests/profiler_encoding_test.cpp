// The profiler's files from synthetic stacks: frames laid out word by word
// in test memory (outermost at the highest address, so that frames shared by
// two samples keep their addresses), functions in a hand-made heap, each
// sample recorded through record_stack_difference and read back by the
// test's own reader of the two files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/gc/profiler.h"
#include "runtime/gc/tests/attached_test_library.h"
#include "runtime/gc/tests/object_heap_fixture.h"
#include "runtime/gc/tests/profile_file_reader.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "testing/temp_path.h"

namespace {

using lisp::lispval;
using namespace profile_reader;

constexpr uint32_t kFrameWords = 4;  // function slot, link, return address, one more

// A frame as a test names it: a function and an offset into its code, or a
// raw pc (function 0).
struct FrameShape {
  lispval function = 0;
  uint32_t offsetOrPc = 0;
};

class ProfilerFiles : public gc_test::ObjectHeap {
 protected:
  void SetUp() override {
    ObjectHeap::SetUp();
    dataPath_ = testing_support::processTempPath("profile.data");
    indexPath_ = testing_support::processTempPath("profile.index");
    ASSERT_EQ(start_profiler(lisp::profiler::kSpace, 1 << 30, 10, 0, dataPath_.c_str(),
                             indexPath_.c_str()),
              lisp::profiler::kSpace);
  }
  void TearDown() override {
    if (profiler_type != lisp::profiler::kOff) stop_profiler();
    ObjectHeap::TearDown();
  }

  // A function with the 24-bit number in the word before its code vector.
  lispval numbered(uint32_t number, uint32_t units = 64) {
    const lispval f = function(units);
    lisp::objectOf<lisp::FunctionObject>(f)->lispSlot1 = number;
    return f;
  }
  static uint32_t entryOf(lispval f) { return lisp::objectOf<lisp::FunctionObject>(f)->start; }
  // A closure's code is its template function's.
  static lispval codeOf(lispval f) {
    const uint32_t header = gc_test::at(lisp::objectAddress(f));
    return lisp::typeCodeOf(header) == lisp::type_code::Closure
               ? lisp::objectOf<lisp::ClosureObject>(f)->templateFunction
               : f;
  }
  uint32_t pcOf(const FrameShape& shape) const {
    return shape.function ? entryOf(codeOf(shape.function)) + shape.offsetOrPc : shape.offsetOrPc;
  }
  static Frame expected(const FrameShape& shape) {
    if (!shape.function) return rawFrame(shape.offsetOrPc);
    const uint32_t number = lisp::objectOf<lisp::FunctionObject>(codeOf(shape.function))->lispSlot1;
    return lispFrame(number, shape.offsetOrPc);
  }

  // Lays the stack (innermost first) out below the top of `stack_`, the
  // outermost frame highest, and records one sample of it.
  void sample(const std::vector<FrameShape>& frames, int32_t tag) {
    const size_t n = frames.size();
    ASSERT_LE(n, kMostFrames);
    const uint32_t top = gc::addressOf(stack_.data() + stack_.size() - 2 * kFrameWords);
    const auto framePointer = [&](size_t k) {  // frame k from the innermost
      return top - 4 * static_cast<uint32_t>((n - k) * kFrameWords);
    };
    for (size_t k = 0; k < n; ++k) {
      uint32_t* fp = &gc_test::at(framePointer(k));
      fp[-1] = frames[k].function ? frames[k].function : lisp::makeFixnum(0);
      fp[0] = k + 1 < n ? framePointer(k + 1) : 0;
      fp[1] = k + 1 < n ? pcOf(frames[k + 1]) : 0x1234;
    }
    prof_stackbase = top;
    record_stack_difference(pcOf(frames[0]), framePointer(0), tag);
    expected_.push_back({});
    for (const FrameShape& f : frames) expected_.back().push_back(expected(f));
  }

  std::vector<Sample> readBack() {
    EXPECT_GE(stop_profiler(), 0);
    auto samples = readProfile(dataPath_, indexPath_);
    EXPECT_TRUE(samples.has_value()) << "the files disagree";
    return samples.value_or(std::vector<Sample>{});
  }
  std::vector<uint32_t> indexWords() {
    std::vector<uint32_t> words;
    for (uint16_t w : readWords(indexPath_)) words.push_back(w);
    return words;
  }
  static std::vector<FrameShape> rawStack(uint32_t depth, uint32_t firstPc = 0x08100000) {
    std::vector<FrameShape> frames;
    for (uint32_t k = 0; k < depth; ++k) frames.push_back({0, firstPc + 16 * k});
    return frames;
  }

  std::string dataPath_, indexPath_;
  // One stack for all samples, so that shared frames keep their addresses.
  static constexpr size_t kMostFrames = 2200;
  std::vector<uint32_t> stack_ = std::vector<uint32_t>((kMostFrames + 4) * kFrameWords, 0);
  std::vector<std::vector<Frame>> expected_;
};

TEST_F(ProfilerFiles, AnEqualStackAddsNoFrames) {
  std::vector<FrameShape> frames = rawStack(8);
  frames[2] = {numbered(0x42), 6};
  sample(frames, 3);
  sample(frames, 3);
  EXPECT_EQ(indexWords(), (std::vector<uint32_t>{}));  // still buffered
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].added, 8u);
  EXPECT_EQ((std::vector<uint32_t>{samples[1].added, samples[1].depth}),
            (std::vector<uint32_t>{0, 8}));
  EXPECT_EQ(samples[1].tag, 3);
  EXPECT_EQ(samples[1].stack, expected_[0]);
}

TEST_F(ProfilerFiles, TwoAndThreeWordFramesHaveTheirExactWords) {
  // A code vector long enough for an offset past 16 bits.
  const lispval big = numbered(0x123456, 0x12000);
  sample({{big, 0x10010}, {0, 0x08123456}}, 0);
  stop_profiler();
  const std::vector<uint16_t> data = readWords(dataPath_);
  EXPECT_EQ(data, (std::vector<uint16_t>{0x8000, 0x3456, 0x0010, 0x1201, 0x0812, 0x3456}));
  // Depth 2 is below 5: tag -1.
  EXPECT_EQ(readWords(indexPath_), (std::vector<uint16_t>{2, 2, 0xffff}));
}

TEST_F(ProfilerFiles, TheSeventeenthFrameOpensANewGroup) {
  std::vector<FrameShape> frames;
  const lispval f = numbered(7);
  for (uint32_t k = 0; k < 17; ++k) frames.push_back({f, 2 * k});
  sample(frames, 0);
  stop_profiler();
  const std::vector<uint16_t> data = readWords(dataPath_);
  ASSERT_EQ(data.size(), 1 + 16 * 3 + 1 + 3u);
  EXPECT_EQ(data[0], 0xffff);
  EXPECT_EQ(data[49], 0x8000);  // the last group's one frame still owns bit 15
  EXPECT_EQ((std::vector<uint16_t>{data[50], data[51], data[52]}),
            (std::vector<uint16_t>{7, 32, 0}));
}

TEST_F(ProfilerFiles, AStackDeeperThan2048IsCutAnd1024EntriesAreKept) {
  const std::vector<FrameShape> frames = rawStack(2100);
  sample(frames, 1);
  const lisp::profiler::StackRecord& previous = profiler_info->previous;
  EXPECT_EQ(previous.last, 1023);
  EXPECT_EQ(previous.depth, 2048);
  EXPECT_EQ(profiler_info->current.last, 2047);
  sample(frames, 1);  // the same stack again: nothing new
  EXPECT_EQ(readWords(indexPath_), (std::vector<uint16_t>{}));
  stop_profiler();
  EXPECT_EQ(readWords(indexPath_), (std::vector<uint16_t>{2048, 2048, 1, 0, 2048, 1}));
}

TEST_F(ProfilerFiles, AShallowStackGetsTagMinusOneAndTheNextSampleStartsEmpty) {
  const std::vector<FrameShape> shallow = rawStack(4), deep = rawStack(6);
  sample(shallow, 7);
  sample(shallow, 7);
  sample(deep, 7);
  sample(deep, 7);
  stop_profiler();
  EXPECT_EQ(readWords(indexPath_), (std::vector<uint16_t>{4, 4, 0xffff, 4, 4, 0xffff,  //
                                                          6, 6, 7, 0, 6, 7}));
}

// A seeded walk of stacks that push, pop and change frames, long enough to
// send both buffers out several times: the reader rebuilds every one.
TEST_F(ProfilerFiles, TheReaderRebuildsEverySampleOfASeededSequence) {
  std::mt19937 random(20261210);
  std::vector<lispval> functions;
  for (uint32_t i = 0; i < 6; ++i) functions.push_back(numbered(0x10000 * i + 3 * i + 1, 256));
  const auto randomFrame = [&]() -> FrameShape {
    const uint32_t pick = random() % 8;
    if (pick < functions.size()) return {functions[pick], 2 * (random() % 100)};
    return {0, 0x08000000 + 4 * (random() % 0x100000)};
  };
  std::vector<FrameShape> stack;  // innermost first
  for (int i = 0; i < 12; ++i) stack.push_back(randomFrame());
  for (int s = 0; s < 4000; ++s) {
    switch (random() % 4) {
      case 0:  // pop some, push some
        for (uint32_t pop = random() % 6; pop > 0 && stack.size() > 1; --pop)
          stack.erase(stack.begin());
        for (uint32_t push = random() % 10; push > 0 && stack.size() < 300; --push)
          stack.insert(stack.begin(), randomFrame());
        break;
      case 1:  // the innermost frame moves on
        stack[0] = randomFrame();
        break;
      case 2:  // deeper
        for (uint32_t push = random() % 30; push > 0 && stack.size() < 300; --push)
          stack.insert(stack.begin(), randomFrame());
        break;
      default:  // unchanged
        break;
    }
    sample(stack, s % 3);
  }
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), expected_.size());
  EXPECT_GT(readWords(dataPath_).size(), 2 * lisp::profiler::kBufferWords);
  EXPECT_GT(readWords(indexPath_).size(), 2 * lisp::profiler::kBufferWords);
  size_t sharing = 0;
  for (size_t s = 0; s < samples.size(); ++s) {
    ASSERT_EQ(samples[s].stack, expected_[s]) << "sample " << s;
    EXPECT_EQ(samples[s].depth, expected_[s].size());
    sharing += samples[s].added < samples[s].depth ? 1 : 0;
  }
  EXPECT_GT(sharing, samples.size() / 2);  // most samples wrote only their difference
}

TEST_F(ProfilerFiles, TheWalkEndsAtAReturnAddressNotAboveTheStartAddress) {
  stop_profiler();
  ASSERT_EQ(start_profiler(2, 10, 10, 0x08000000 - 30, dataPath_.c_str(), indexPath_.c_str()), 2);
  EXPECT_EQ(start_return_addr, 0x08000000u);
  const std::vector<FrameShape> frames = {
      {0, 0x09000000}, {0, 0x09000010}, {0, 0x09000020}, {0, 0x08000000}, {0, 0x09000040}};
  sample(frames, 0);
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].stack,
            (std::vector<Frame>{rawFrame(0x09000000), rawFrame(0x09000010), rawFrame(0x09000020)}));
}

TEST_F(ProfilerFiles, StartingRefusesABadTypeAndARunningProfile) {
  EXPECT_EQ(start_profiler(1, 10, 10, 0, dataPath_.c_str(), indexPath_.c_str()), -1);  // running
  stop_profiler();
  for (int32_t type : {0, 3, -1})
    EXPECT_EQ(start_profiler(type, 10, 10, 0, dataPath_.c_str(), indexPath_.c_str()), -1);
  EXPECT_EQ(profiler_type, lisp::profiler::kOff);
}

TEST_F(ProfilerFiles, AnUncreatableDataFileFailsAndAMissingIndexFileIsSkipped) {
  stop_profiler();
  const std::string missingDirectory = testing_support::processTempPath("none/at/all");
  testing::internal::CaptureStderr();
  EXPECT_EQ(start_profiler(2, 10, 10, 0, missingDirectory.c_str(), indexPath_.c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(missingDirectory), std::string::npos);
  EXPECT_EQ(profiler_type, lisp::profiler::kOff);

  testing::internal::CaptureStderr();
  ASSERT_EQ(start_profiler(2, 10, 10, 0, dataPath_.c_str(), missingDirectory.c_str()), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(missingDirectory), std::string::npos);
  sample(rawStack(6), 0);
  EXPECT_EQ(stop_profiler(), 0);  // no sample counted outside the sample routines
  EXPECT_EQ(readWords(dataPath_).size(), 1 + 6 * 2u);
}

TEST_F(ProfilerFiles, AFailedWriteRemovesBothFiles) {
  sample(rawStack(6), 0);
  // The data file's descriptor now refuses writes.
  const int readOnly = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(readOnly, 0);
  ASSERT_GE(::dup2(readOnly, profiler_info->data.descriptor), 0);
  ::close(readOnly);
  testing::internal::CaptureStderr();
  EXPECT_EQ(stop_profiler(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("profile files"), std::string::npos);
  EXPECT_NE(::access(dataPath_.c_str(), F_OK), 0);
  EXPECT_NE(::access(indexPath_.c_str(), F_OK), 0);
}

// A function whose code vector lies in the attached pure library is
// recorded by its number and offset, not as a raw program counter.
TEST_F(ProfilerFiles, AFunctionWhoseCodeLiesInThePureLibraryIsRecordedByNumber) {
  const gc_test::AttachedTestLibrary library({.code = {{0x31, std::vector<uint8_t>(64, 0x90)}}});
  ASSERT_TRUE(library.attached());
  const lispval f = numbered(0x4321);
  const uint32_t code = gc_test::AttachedTestLibrary::firstCode();
  auto* object = lisp::objectOf<lisp::FunctionObject>(f);
  object->codeVector = lisp::pointerWord(code, lisp::Tag::Other);
  object->start = code + 4;
  sample({{f, 10}, {0, 0x08000010}}, 0);
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].stack, (std::vector<Frame>{lispFrame(0x4321, 10), rawFrame(0x08000010)}));
}

// ---- the first frame of a suspended thread ----

class FirstFrame : public ProfilerFiles {
 protected:
  void SetUp() override {
    ProfilerFiles::SetUp();
    record_.words[0] = lisp::thread_record::kHeader;
    record_.at(lisp::thread_record::kClinkHead) = gc::addressOf(clink_);
    prof_thread = gc::addressOf(record_.raw());
    prof_stackbase = gc::addressOf(&words_[kWords - 4]);
    caller_ = numbered(0x111);
    callee_ = numbered(0x222);
    // The caller's frame at word 40, the callee's (when built) at word 20.
    words_[40 - 1] = caller_;
    words_[40] = 0;
    words_[40 + 1] = 0x1234;
    words_[20 - 1] = callee_;
    words_[20] = at(40);
    words_[20 + 1] = entryOf(caller_) + 12;
  }
  void TearDown() override {
    prof_thread = 0;
    ProfilerFiles::TearDown();
  }
  uint32_t at(int word) { return gc::addressOf(&words_[word]); }
  static uint8_t& at8(uint32_t address) { return gc_test::at<uint8_t>(address); }
  platform::ThreadContext context(uint32_t pc, int ebp, int esp, lispval esi = 0) {
    platform::ThreadContext c{};
    c.eip = pc;
    c.ebp = at(ebp);
    c.esp = at(esp);
    c.esi = esi ? esi : lisp::makeFixnum(0);
    return c;
  }

  static constexpr int kWords = 64;
  uint32_t words_[kWords] = {};
  uint32_t clink_[6] = {lisp::thread_record::kEmptyClinkChain, 1, 0, 0, 0, 0};
  os_test::RecordInMemory record_;
  lispval caller_ = 0, callee_ = 0;
};

TEST_F(FirstFrame, TheFrameComesFromTheRegistersTheChainOrAMadeUpRecord) {
  const uint32_t inCallee = entryOf(callee_) + 8, inCaller = entryOf(caller_) + 4;
  // A built frame whose function holds the pc.
  platform::ThreadContext c = context(inCallee, 20, 16);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), at(20));
  // Frame and stack pointers too far apart, or the wrong way round.
  c = context(inCallee, 20, 16);
  c.ebp += 2001 * 4;
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), 0u);
  c = context(inCallee, 16, 20);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), 0u);
  // The callee runs but has not built its frame: ebp is still the caller's.
  // Before its first instruction (a push of ebp) the return address is at esp.
  words_[30] = entryOf(caller_) + 12;
  at8(entryOf(callee_)) = 0x55;
  c = context(entryOf(callee_), 40, 30, callee_);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), gc::addressOf(&extra_frame[1]));
  EXPECT_EQ(extra_frame[0], callee_);
  EXPECT_EQ(extra_frame[1], at(40));
  EXPECT_EQ(extra_frame[2], entryOf(caller_) + 12);
  // Past the push, one word further.
  words_[29] = at(40);
  c = context(entryOf(callee_) + 1, 40, 29, callee_);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), gc::addressOf(&extra_frame[1]));
  EXPECT_EQ(extra_frame[2], entryOf(caller_) + 12);
  // Neither: the frame pointer as it is.
  c = context(inCaller, 20, 16);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), at(20));
  // Native code called from Lisp: the record's calling frame.
  clink_[1] = 0;
  clink_[2] = at(40);
  c = context(0xf0000000, 20, 16);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), at(40));
  // No foreign-call record: no sample.
  record_.at(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
  c = context(inCallee, 20, 16);
  EXPECT_EQ(get_current_frame_ptr(&c, c.eip), 0u);
}

TEST_F(FirstFrame, ASampleFromAMadeUpFrameNamesTheCalleeAndItsCaller) {
  words_[30] = entryOf(caller_) + 12;
  at8(entryOf(callee_)) = 0x55;
  const platform::ThreadContext c = context(entryOf(callee_), 40, 30, callee_);
  ASSERT_TRUE(lisp::profiler::recordSample(lisp::profiler::firstFrame(c), 0));
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].stack, (std::vector<Frame>{lispFrame(0x222, 0), lispFrame(0x111, 12)}));
}

// ---- closures ----

TEST_F(ProfilerFiles, ClosuresAreNumberedByTheirPlaceInTheClosureVector) {
  const lispval hits = lisp::pointerWord(vector(true, 2), lisp::Tag::Other);
  global(-0x1e9) = hits;  // GlobProfileClosures, global word 117
  const lispval code = numbered(0x555);
  lisp::objectOf<lisp::FunctionObject>(code)->header |= 0x0400;  // the closure flag
  const auto closure = [&] {
    const lispval c = other(lisp::headerWord(lisp::type_code::Closure));
    lisp::objectOf<lisp::ClosureObject>(c)->templateFunction = code;
    return c;
  };
  const lispval a = closure(), b = closure(), c = closure();
  for (lispval frame : {a, b, a, c}) sample({{frame, 4}, {0, 0x08000010}}, 0);
  // The same function in a frame of its own: its own number.
  sample({{code, 4}, {0, 0x08000010}}, 0);
  EXPECT_EQ(gc_test::at(lisp::objectAddress(hits) + 8), a);
  EXPECT_EQ(gc_test::at(lisp::objectAddress(hits) + 12), b);
  const std::vector<Sample> samples = readBack();
  ASSERT_EQ(samples.size(), 5u);
  const std::vector<Frame> firsts = {samples[0].stack[0], samples[1].stack[0], samples[2].stack[0],
                                     samples[3].stack[0], samples[4].stack[0]};
  EXPECT_EQ(firsts,
            (std::vector<Frame>{lispFrame(0, 0x800004), lispFrame(1, 0x800004),
                                lispFrame(0, 0x800004), lispFrame(0x555, 4), lispFrame(0x555, 4)}));
}

}  // namespace

namespace {

TEST(ProfilerMessages, WarningsGoToStandardErrorAndAnswerMinusOne) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(symerror("lib.so", "no table"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: while extracting symbols from lib.so: no table\n");
  testing::internal::CaptureStderr();
  errno = ENOENT;
  EXPECT_EQ(perror1("reading"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("reading: ") + strerror(ENOENT) + "\n");
}

}  // namespace
