// Code jettisoning on a fixture heap: functions whose code vectors hold known
// bytes go to the code file and come back byte for byte; what stacks hold
// stays; every failure sets its bit or returns its reload code and leaves
// the heap and the file as they were.

#include "runtime/gc/jetcode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/jetcode_messages.h"
#include "runtime/gc/scavenger.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "testing/console_recorder.h"
#include "testing/lisp_routine_heap.h"
#include "testing/temp_working_directory.h"

extern "C" {
void frame_walk_function_probe();
uint32_t frame_walk_native_probe();
}

namespace {

using gc_test::at;
using lisp::lispval;
namespace msg = jetcode_messages;

using Bytes = std::vector<uint8_t>;

// What the native probe runs while the probe frames are on the stack.
const char* g_probePath = nullptr;
// A record standing for the thread's own entry into Lisp below the harness
// frame, as a thread start leaves one at the end of the chain; the native
// probe makes it name the harness frame. Null: no such record.
uint32_t* g_threadEntry = nullptr;
lispval g_probeThread = 0;
// The function in the Lisp function's frame once the jettison is done.
lispval g_runningAfter = 0;

Bytes fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
uint32_t wordIn(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}
bool exists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

// Every Lisp-value slot of the heap holds something the verifier accepts.
uint32_t g_badSlots = 0;
void verifyValue(uint32_t slot) {
  const int code = r_verify(slot, 0, 1);
  if (code <= gc::verify_code::kNowhere) ++g_badSlots;
}
uint32_t verifyCons(uint32_t cell) {
  verifyValue(cell);
  verifyValue(cell + 4);
  return 0;
}
uint32_t verifyObject(uint32_t object) {
  static const gc::SlotTreatment treatment{verifyValue, verifyValue};
  scan_other_item(object, &treatment);
  return 0;
}

class Jetcode : public gc_test::LispRoutineHeap {
 protected:
  // A function with its code vector, and the vector's bytes when it was made.
  struct Coded {
    uint32_t function;
    uint32_t vector;
    Bytes bytes;
    int32_t answer;  // what its code returns in eax, as a fixnum's value
  };

  void SetUp() override {
    LispRoutineHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    resetJetcode();
    ::unlink(path_.c_str());
  }
  void TearDown() override {
    resetJetcode();
    ::unlink(path_.c_str());
    g_badSlots = 0;
    gsgc_scan_all(verifyCons, verifyObject, 1, 1, 1);
    EXPECT_EQ(g_badSlots, 0u);
    platform::setThreadSlot(slot_, 0);
    LispRoutineHeap::TearDown();
  }
  static void resetJetcode() {
    if (jc_file >= 0) ::close(jc_file);
    jc_file = -1;
    jc_state = jetcode::kNoCodeFile;
    jc_tempswap = 0;
    std::memset(jc_swapfile, 0, sizeof jc_swapfile);
    jc_tstamp = 0;
    jc_errors = 0;
  }

  // A code vector of `units` 16-bit units of code, made by the runtime's
  // constructor in old or new space: mov eax, fixnum(answer); ret; then a
  // pattern to the end, its last word included.
  uint32_t codeVector(bool old, uint32_t units, int32_t answer) {
    const uint32_t vector = lisp::objectAddress(new_lisp_obj(108, units, old ? 1 : 0));
    const uint32_t bytes = jetcode::codeVectorBytes(at(vector));
    auto* code = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(vector));
    for (uint32_t i = 4; i < bytes; ++i) code[i] = static_cast<uint8_t>(i * 7 + answer);
    const uint32_t word = lisp::makeFixnum(answer);
    const uint8_t instructions[] = {0xb8,  // mov eax, imm32
                                    static_cast<uint8_t>(word),
                                    static_cast<uint8_t>(word >> 8),
                                    static_cast<uint8_t>(word >> 16),
                                    static_cast<uint8_t>(word >> 24),
                                    0xc3};  // ret
    std::memcpy(code + 4, instructions, sizeof instructions);
    if (old) at(vector + bytes - 4) = jetcode::kNeverWritten;
    return vector;
  }
  // A function without constants whose code is `vector` (0: none), in the
  // space the vector is in.
  uint32_t function(uint32_t vector, bool old) {
    const uint32_t bytes = lisp::functionObjectBytes(0);
    const uint32_t object = old ? other_from_old_xsmp(bytes) : other_from_new_xsmp(bytes);
    at(object) = lisp::headerWord(lisp::type_code::Function);
    for (uint32_t word = 1; word < bytes / 4; ++word) at(object + 4 * word) = nil();
    at(object + 8) = 0;
    for (uint32_t word = 6; word < 9; ++word) at(object + 4 * word) = lisp::makeFixnum(0);
    if (vector != 0) {
      at(object + 4) = vector + 4;
      at(object + 16) = lisp::pointerWord(vector, lisp::Tag::Other);
    }
    return object;
  }
  Coded coded(bool old, uint32_t units, int32_t answer) {
    const uint32_t vector = codeVector(old, units, answer);
    const uint32_t object = function(vector, old);
    const uint32_t bytes = jetcode::codeVectorBytes(at(vector));
    const auto* first = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(vector));
    return {object, vector, Bytes(first, first + bytes), answer};
  }

  static uint32_t codeSlot(uint32_t function) { return at(function + 16); }
  static uint32_t startWord(uint32_t function) { return at(function + 4); }
  static bool released(uint32_t function) {
    return lisp::isFixnum(codeSlot(function)) &&
           startWord(function) == gc::addressOf(reinterpret_cast<const void*>(&functionfault));
  }
  static Bytes vectorBytes(lispval vector) {
    const uint32_t address = lisp::objectAddress(vector);
    const auto* first = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    return Bytes(first, first + jetcode::codeVectorBytes(at(address)));
  }
  // The original bytes with the file offset in the last word.
  static Bytes withOffset(Bytes bytes, uint32_t offset) {
    for (int i = 0; i < 4; ++i)
      bytes[bytes.size() - 4 + i] = static_cast<uint8_t>(offset >> (8 * i));
    return bytes;
  }

  // The characters of a new Lisp string, as the reload trampoline passes a
  // function's name.
  uint32_t name(const std::u16string& text) {
    const uint32_t string = lisp::objectAddress(
        new_lisp_obj(lisp::type_code::SimpleString, static_cast<uint32_t>(text.size()), 0));
    std::memcpy(reinterpret_cast<void*>(string + 8), text.data(), 2 * text.size());
    return string + 8;
  }

  // Calls a function as compiled code does, through its start word (for a
  // released one the reload trampoline); what it left in eax.
  uint32_t callFunction(uint32_t function) {
    testing_support::LispCallSetup setup = setupFor(0);
    setup.target = startWord(function);
    setup.esi = lisp::pointerWord(function, lisp::Tag::Other);
    setup.frame[testing_support::frameIndex(0x18)] = nil();
    return call(setup).eax;
  }

  template <class Run>
  std::string output(Run run) {
    const testing_support::ConsoleRecorder console;
    run();
    return testing_support::ConsoleRecorder::console();
  }

  // The code file is named relative to the test's own working directory:
  // a short name, whatever the temporary directory's path.
  const testing_support::TempWorkingDirectory directory_;
  const std::string path_ = "code";
};

// ---- the round trip ----

TEST_F(Jetcode, JettisonedFunctionsComeBackWithTheirOwnCode) {
  std::vector<Coded> functions = {coded(true, 20, 11), coded(true, 61, 12), coded(false, 9, 13)};
  const uint32_t newTop = global(gc::global::kNewOtherTop);
  // An older file under the name is replaced, not extended.
  std::ofstream(path_, std::ios::binary) << std::string(1000, 'x');

  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  EXPECT_EQ(jc_state, jetcode::kCreatedThisRun);
  EXPECT_STREQ(jc_swapfile, path_.c_str());
  EXPECT_EQ(global(gc::global::kNewOtherTop), newTop) << "nothing allocated";

  // The file: stamp, then each vector's record in heap order.
  const Bytes file = fileBytes(path_);
  ASSERT_GE(file.size(), 4u);
  EXPECT_EQ(wordIn(file, 0), jc_tstamp);
  uint32_t offset = jetcode::kFirstRecord, written = 0;
  for (const Coded& f : functions) {
    SCOPED_TRACE(f.answer);
    ASSERT_TRUE(released(f.function));
    EXPECT_EQ(codeSlot(f.function), lisp::makeFixnum(static_cast<int32_t>(offset)));
    EXPECT_EQ(at(f.vector + f.bytes.size() - 4), offset) << "the vector's last word";
    ASSERT_LE(offset + 4 + f.bytes.size(), file.size());
    EXPECT_EQ(wordIn(file, offset), f.bytes.size());
    EXPECT_EQ(Bytes(file.begin() + offset + 4, file.begin() + offset + 4 + f.bytes.size()),
              withOffset(f.bytes, offset));
    offset += 4 + static_cast<uint32_t>(f.bytes.size());
    written += static_cast<uint32_t>(f.bytes.size());
  }
  EXPECT_EQ(file.size(), offset);
  EXPECT_EQ(page_out_fcn, 3u);
  EXPECT_EQ(page_out_bytes, written);
  EXPECT_EQ(jc_release_fcn, 3u);
  EXPECT_EQ(jc_release_bytes, written);

  // First calls: each function reloads its code, identical, and runs it;
  // later calls run it without reloading.
  page_in_fcn = page_in_bytes = 0;
  for (const Coded& f : functions) {
    SCOPED_TRACE(f.answer);
    const uint32_t place = static_cast<uint32_t>(lisp::fixnumValue(codeSlot(f.function)));
    EXPECT_EQ(callFunction(f.function), lisp::makeFixnum(f.answer));
    const lispval vector = codeSlot(f.function);
    ASSERT_TRUE(lisp::isOther(vector)) << "reload failed with " << vector;
    EXPECT_EQ(startWord(f.function), lisp::objectAddress(vector) + 4);
    EXPECT_EQ(vectorBytes(vector), withOffset(f.bytes, place));
    EXPECT_EQ(jc_last_cloc, place);
    EXPECT_EQ(jc_last_csize, f.bytes.size());
    EXPECT_EQ(callFunction(f.function), lisp::makeFixnum(f.answer));
  }
  EXPECT_EQ(page_in_fcn, 3u);
  EXPECT_EQ(page_in_bytes, written);
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(Jetcode, NoisyJettisonReportsWhatItDid) {
  const Coded a = coded(true, 12, 1), b = coded(true, 4, 2);
  const std::string text = output([&] { jettisoncode(path_.c_str(), 1, 1); });
  const uint32_t bytes = static_cast<uint32_t>(a.bytes.size() + b.bytes.size());
  EXPECT_EQ(text,
            "Created codefile " + path_ + "\n" + "jetcode: found 0 codevector(s) on 1 stack(s)\n" +
                "jetcode: dumped 2 vectors (" + std::to_string(bytes) + " bytes) to " + path_ +
                "\n" + "jetcode: released 2 vectors (" + std::to_string(bytes) + " bytes)\n");
}

TEST_F(Jetcode, SecondJettisonWritesOnlyVectorsNeverWritten) {
  const Coded first = coded(true, 16, 21);
  // A second function sharing the first one's vector.
  const uint32_t sharing = function(first.vector, true);
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  EXPECT_EQ(page_out_fcn, 1u);
  EXPECT_EQ(jc_release_fcn, 2u) << "the shared vector is written once";
  EXPECT_EQ(codeSlot(sharing), codeSlot(first.function));
  const Bytes before = fileBytes(path_);

  const Coded later = coded(true, 30, 22);
  const uint32_t stillSharing = function(first.vector, true);  // its last word has the offset
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  EXPECT_EQ(page_out_fcn, 1u);
  EXPECT_EQ(jc_release_fcn, 2u);
  EXPECT_EQ(codeSlot(stillSharing), codeSlot(first.function)) << "released, not rewritten";
  const Bytes after = fileBytes(path_);
  ASSERT_EQ(after.size(), before.size() + 4 + later.bytes.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin())) << "appended only";
  EXPECT_EQ(codeSlot(later.function), lisp::makeFixnum(static_cast<int32_t>(before.size())));
  EXPECT_EQ(callFunction(later.function), lisp::makeFixnum(22));
}

// ---- what stacks hold stays ----

TEST_F(Jetcode, CodeVectorsHeldOnAStackStayInTheHeap) {
  const Coded onFrame = coded(true, 10, 31);   // the running function
  const Coded argument = coded(true, 10, 32);  // its vector is an argument word
  const Coded elsewhere = coded(true, 10, 33);
  const Coded closed = coded(true, 10, 34);  // the template of a closure argument
  const uint32_t closure = other_from_old_xsmp(16);
  at(closure) = lisp::headerWord(9);
  at(closure + 4) = 0;
  at(closure + 8) = lisp::pointerWord(closed.function, lisp::Tag::Other);
  at(closure + 12) = nil();
  const uint32_t caller = function(0, true);

  testing_support::LispCallSetup setup;
  setup.target = gc::addressOf(reinterpret_cast<const void*>(&frame_walk_function_probe));
  setup.edi = nil();
  setup.ebx = thread_;
  setup.esi = lisp::pointerWord(onFrame.function, lisp::Tag::Other);
  setup.frame[testing_support::frameIndex(0x4)] = lisp::pointerWord(caller, lisp::Tag::Other);
  setup.frame[testing_support::frameIndex(0x10)] = ~2u;
  setup.frame[testing_support::frameIndex(0x1c)] = thread_;
  setup.stack[0] = lisp::makeFixnum(1);
  setup.stack[1] = lisp::pointerWord(argument.vector, lisp::Tag::Other);
  setup.stack[2] = lisp::pointerWord(closure, lisp::Tag::Other);
  const std::string text = output([&] {
    g_probePath = path_.c_str();
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.eax, 0u) << "jettisoncode's errors";
  });
  EXPECT_NE(text.find("jetcode: found 3 codevector(s) on 1 stack(s)\n"), std::string::npos) << text;
  EXPECT_EQ(codeSlot(onFrame.function), lisp::pointerWord(onFrame.vector, lisp::Tag::Other));
  EXPECT_EQ(codeSlot(argument.function), lisp::pointerWord(argument.vector, lisp::Tag::Other));
  EXPECT_EQ(codeSlot(closed.function), lisp::pointerWord(closed.vector, lisp::Tag::Other));
  EXPECT_TRUE(released(elsewhere.function));
  EXPECT_EQ(page_out_fcn, 1u);
  EXPECT_EQ(jc_cvset, 0u) << "the set is not kept past the jettison";
}

// The set of live vectors is allocated between the two stack scans; when
// that allocation scavenges, the second scan finds the running function's
// code vector where the scavenge moved it, and it stays.
TEST_F(Jetcode, AScavengeBetweenTheStackScansMovesWhatStays) {
  const Coded running = coded(false, 10, 35);
  const Coded elsewhere = coded(true, 10, 36);
  // Fill new space so that the set's allocation must scavenge.
  const int32_t free = static_cast<int32_t>(global(gc::global::kNewFree));
  const uint32_t fillerBytes = static_cast<uint32_t>(free) - 8 - 16;
  const uint32_t filler = other_from_new_xsmp(fillerBytes);
  at(filler) = lisp::headerWord(lisp::type_code::SimpleVector);
  at(filler + 4) = lisp::makeFixnum(static_cast<int32_t>(fillerBytes / 4 - 3));
  for (uint32_t word = 2; word < fillerBytes / 4; ++word) at(filler + 4 * word) = nil();
  ASSERT_EQ(gc::extentOf(at(filler), at(filler + 4)).bytes, fillerBytes);
  const uint32_t before = ScavengeCt;

  testing_support::LispCallSetup setup;
  setup.target = gc::addressOf(reinterpret_cast<const void*>(&frame_walk_function_probe));
  setup.edi = nil();
  setup.ebx = thread_;
  setup.esi = lisp::pointerWord(running.function, lisp::Tag::Other);
  setup.frame[testing_support::frameIndex(0x4)] =
      lisp::pointerWord(function(0, true), lisp::Tag::Other);
  setup.frame[testing_support::frameIndex(0x10)] = ~1u;
  setup.frame[testing_support::frameIndex(0x1c)] = thread_;
  setup.stack[0] = lisp::makeFixnum(1);
  uint32_t threadEntry[lisp::thread_record::kClinkRecordWords] = {
      lisp::thread_record::kEmptyClinkChain};
  threadWord(lisp::thread_record::kClinkHead) = gc::addressOf(threadEntry);
  g_threadEntry = threadEntry;
  g_probeThread = thread_;
  output([&] {
    g_probePath = path_.c_str();
    EXPECT_EQ(testing_support::callWithLispConventions(setup).eax, 0u);
  });
  g_threadEntry = nullptr;
  threadWord(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
  ASSERT_EQ(ScavengeCt, before + 1);
  const uint32_t moved = lisp::objectAddress(g_runningAfter);
  ASSERT_NE(moved, running.function) << "the function moved";
  const lispval code = codeSlot(moved);
  ASSERT_TRUE(lisp::isOther(code)) << "the running function keeps its code";
  EXPECT_NE(lisp::objectAddress(code), running.vector);
  // The header and code came along (the copy's last word is its own).
  const Bytes copied = vectorBytes(code);
  const size_t codeEnd = 4 + 2 * 10;
  EXPECT_TRUE(std::equal(running.bytes.begin(), running.bytes.begin() + codeEnd, copied.begin()));
  EXPECT_TRUE(released(elsewhere.function));
  EXPECT_EQ(page_out_fcn, 1u);
}

// ---- failures ----

TEST_F(Jetcode, AnUnopenablePathSetsTheOpenBitAndChangesNothing) {
  const Coded f = coded(true, 8, 41);
  const std::string path = path_ + "-missing/dir/code";
  uint32_t errors = 0;
  const std::string text = output([&] { errors = jettisoncode(path.c_str(), 1, 0); });
  EXPECT_EQ(errors, jetcode::kOpenFailed);
  EXPECT_EQ(text, "jetcode errors: open failed for swap output;\n");
  EXPECT_EQ(jc_state, jetcode::kNoCodeFile);
  EXPECT_STREQ(jc_swapfile, "") << "no code file is recorded";
  EXPECT_EQ(codeSlot(f.function), lisp::pointerWord(f.vector, lisp::Tag::Other));
}

TEST_F(Jetcode, AStampThatCannotBeWrittenSetsTheInitializationBit) {
  const Coded f = coded(true, 8, 42);
  uint32_t errors = 0;
  const std::string text = output([&] { errors = jettisoncode("/dev/full", 1, 0); });
  EXPECT_EQ(errors, jetcode::kInitializationFailed);
  EXPECT_EQ(text, "jetcode errors: initialization failure for swap output;\n");
  EXPECT_TRUE(exists("/dev/full")) << "a file it did not create is not removed";
  EXPECT_EQ(jc_state, jetcode::kNoCodeFile);
  EXPECT_EQ(jc_file, -1);
  EXPECT_STREQ(jc_swapfile, "");
  EXPECT_EQ(codeSlot(f.function), lisp::pointerWord(f.vector, lisp::Tag::Other));
}

TEST_F(Jetcode, ABadObjectStopsTheJettison) {
  const Coded f = coded(true, 8, 43);
  // An object with a type code no object has, in new space.
  const uint32_t vector = lisp::objectAddress(new_lisp_obj(112, 2, 0));
  const uint32_t header = at(vector);
  at(vector) = 3;
  uint32_t errors = 0;
  const std::string text = output([&] { errors = jettisoncode(path_.c_str(), 1, 0); });
  at(vector) = header;
  EXPECT_EQ(errors, jetcode::kBadObject);
  EXPECT_EQ(text, "Errors force termination of dump\njetcode errors: bad object in heap;\n");
  EXPECT_EQ(codeSlot(f.function), lisp::pointerWord(f.vector, lisp::Tag::Other));
}

TEST_F(Jetcode, AnInheritedCodeFileIsNeverExtended) {
  const Coded first = coded(true, 8, 51);
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  const Bytes inherited = fileBytes(path_);

  // The image keeps the saved variables only, through the module's table;
  // the process starts anew.
  ASSERT_EQ(jetcode::kSavedVariables.size(), 2u);
  EXPECT_STREQ(jetcode::kSavedVariables[0].name, "jc_swapfile");
  EXPECT_EQ(jetcode::kSavedVariables[0].bytes, 100u);
  EXPECT_STREQ(jetcode::kSavedVariables[1].name, "jc_tstamp");
  EXPECT_EQ(jetcode::kSavedVariables[1].bytes, 4u);
  const std::string imagePath = path_ + "-variables";
  const int image = ::open(imagePath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(image, 0);
  ::unlink(imagePath.c_str());
  marsh_context saving{};
  saving.file = image;
  saving.saving = 1;
  jetcode_v_marsh(&saving);
  marshflush(&saving);
  ASSERT_EQ(saving.error, 0);
  EXPECT_EQ(::lseek(image, 0, SEEK_END), 104);
  resetJetcode();
  ::lseek(image, 0, SEEK_SET);
  marsh_context restoring{};
  restoring.file = image;
  jetcode_v_marsh(&restoring);
  ::close(image);
  ASSERT_EQ(restoring.error, 0);
  EXPECT_STREQ(jc_swapfile, path_.c_str());
  jc_start();
  EXPECT_EQ(jc_state, jetcode::kInherited);
  EXPECT_EQ(jc_file, -1);
  EXPECT_EQ(jc_dumpcheck(), 1);

  const Coded second = coded(true, 8, 52);
  uint32_t errors = 1;
  const std::string text = output([&] { errors = jettisoncode(path_.c_str(), 1, 1); });
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(text, "jetcode: cannot extend codefile " + path_ +
                      "\njetcode: dumped 0 vectors (0 bytes) to " + path_ +
                      "\njetcode: released 0 vectors (0 bytes)\n");
  EXPECT_EQ(fileBytes(path_), inherited);
  EXPECT_EQ(codeSlot(second.function), lisp::pointerWord(second.vector, lisp::Tag::Other));

  // The inherited file still serves reloads.
  EXPECT_EQ(callFunction(first.function), lisp::makeFixnum(51));
}

TEST_F(Jetcode, AFreshStartHasNoCodeFile) {
  jc_start();
  EXPECT_EQ(jc_state, jetcode::kNoCodeFile);
  EXPECT_EQ(jc_dumpcheck(), 1);
}

// The reload failures, each on a code file of two records made by a
// jettison and then damaged; the heap gains nothing from a failed reload.
TEST_F(Jetcode, ReloadFailuresReturnTheirCodes) {
  struct Case {
    const char* what;
    // Damages the file (its bytes, rewritten afterwards); may change the stamp.
    void (*damage)(Bytes& file, uint32_t second);
    uint32_t stampDelta;
    int32_t (*place)(uint32_t first, uint32_t second, uint32_t size);
    uint32_t expected;
    bool corruptionMessage;
  };
  const Case cases[] = {
      {"stamp differs", [](Bytes&, uint32_t) {}, 1,
       [](uint32_t first, uint32_t, uint32_t) { return static_cast<int32_t>(first); },
       jetcode::kReloadBadStamp, false},
      {"stamp cut off", [](Bytes& file, uint32_t) { file.resize(2); }, 0,
       [](uint32_t first, uint32_t, uint32_t) { return static_cast<int32_t>(first); },
       jetcode::kReloadBadStamp, false},
      {"body cut short", [](Bytes& file, uint32_t) { file.resize(file.size() - 5); }, 0,
       [](uint32_t, uint32_t second, uint32_t) { return static_cast<int32_t>(second); },
       jetcode::kReloadShortRead, false},
      {"length word cut", [](Bytes& file, uint32_t second) { file.resize(second + 2); }, 0,
       [](uint32_t, uint32_t second, uint32_t) { return static_cast<int32_t>(second); },
       jetcode::kReloadShortRead, false},
      {"beyond the end", [](Bytes&, uint32_t) {}, 0,
       [](uint32_t, uint32_t, uint32_t size) { return static_cast<int32_t>(size + 100); },
       jetcode::kReloadShortRead, false},
      {"before the start", [](Bytes&, uint32_t) {}, 0,
       [](uint32_t, uint32_t, uint32_t) { return -4; }, jetcode::kReloadSeekFailed, false},
      {"header type", [](Bytes& file, uint32_t second) { file[second + 4] = 112; }, 0,
       [](uint32_t, uint32_t second, uint32_t) { return static_cast<int32_t>(second); },
       jetcode::kReloadShortRead, true},
      {"length disagrees with the header",
       [](Bytes& file, uint32_t second) { file[second] = static_cast<uint8_t>(file[second] + 8); },
       0, [](uint32_t, uint32_t second, uint32_t) { return static_cast<int32_t>(second); },
       jetcode::kReloadShortRead, true},
      {"huge length",
       [](Bytes& file, uint32_t second) {
         file[second + 3] = 0x7f;
         file[second + 7] = 0x7f;
       },
       0, [](uint32_t, uint32_t second, uint32_t) { return static_cast<int32_t>(second); },
       jetcode::kReloadShortRead, true},
      {"record of the stamp", [](Bytes&, uint32_t) {}, 0,
       [](uint32_t, uint32_t, uint32_t) { return 0; }, jetcode::kReloadShortRead, true},
  };
  const Coded a = coded(true, 8, 61), b = coded(true, 40, 62);
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  const uint32_t first = static_cast<uint32_t>(lisp::fixnumValue(codeSlot(a.function)));
  const uint32_t second = static_cast<uint32_t>(lisp::fixnumValue(codeSlot(b.function)));
  const Bytes whole = fileBytes(path_);
  const uint32_t stamp = jc_tstamp;
  const uint32_t foo = name(u"FOO");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes damaged = whole;
    c.damage(damaged, second);
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(damaged.data()),
               static_cast<std::streamsize>(damaged.size()));
    // As in a restored process: the file is opened by name on first use.
    if (jc_file >= 0) ::close(jc_file);
    jc_file = -1;
    jc_tstamp = stamp + c.stampDelta;
    const uint32_t newTop = global(gc::global::kNewOtherTop);
    const uint32_t place =
        static_cast<uint32_t>(c.place(first, second, static_cast<uint32_t>(whole.size())));
    lispval result = 0;
    const std::string text = output([&] { result = pageinfcn(place, foo); });
    EXPECT_EQ(result, c.expected);
    if (c.expected == jetcode::kReloadBadStamp) {
      EXPECT_EQ(pageinfcn(place, foo), c.expected) << "every reload";
    }
    EXPECT_EQ(global(gc::global::kNewOtherTop), newTop) << "nothing allocated";
    const std::string message = "\n**Attempting to load codevector from " + path_ + "[" +
                                std::to_string(place) +
                                "] for FOO failed\n  the file or the function is corrupted\n";
    EXPECT_EQ(text, c.corruptionMessage ? message : "");
  }
  // A missing file cannot be opened.
  if (jc_file >= 0) ::close(jc_file);
  jc_file = -1;
  ::unlink(path_.c_str());
  EXPECT_EQ(pageinfcn(first, 0), jetcode::kReloadCannotOpen);
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(Jetcode, TheCorruptionMessageNamesTheFunctionWhenItCan) {
  const Coded a = coded(true, 8, 63);
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  const uint32_t accented = name(u"caf\u00e9");
  const std::string head = "\n**Attempting to load codevector from " + path_ + "[0]";
  const std::string tail = " failed\n  the file or the function is corrupted\n";
  EXPECT_EQ(output([&] { EXPECT_EQ(pageinfcn(0, 0), 12u); }), head + tail);
  EXPECT_EQ(output([&] { EXPECT_EQ(pageinfcn(0, accented), 12u); }),
            head + " for caf\xc3\xa9" + tail);
  EXPECT_TRUE(released(a.function));
}

// ---- dump mode ----

TEST_F(Jetcode, DumpWritesEveryCodeVectorWithItsAddress) {
  const std::vector<Coded> functions = {coded(true, 14, 71), coded(false, 5, 72)};
  const uint32_t bare = function(0, true);
  uint32_t errors = 1;
  const std::string text = output([&] { errors = jettisoncode(path_.c_str(), 0, 1); });
  ASSERT_EQ(errors, 0u);
  const std::string bytes = std::to_string(functions[0].bytes.size() + functions[1].bytes.size());
  EXPECT_EQ(text, "jetcode: dumped 2 vectors (" + bytes + " bytes) to " + path_ +
                      "\njetcode: released 0 vectors (0 bytes)\n");
  const Bytes file = fileBytes(path_);
  ASSERT_GE(file.size(), 4u);
  EXPECT_EQ(wordIn(file, 0), file.size());
  size_t entry = 4;
  for (const Coded& f : functions) {
    SCOPED_TRACE(f.answer);
    ASSERT_LE(entry + 8 + f.bytes.size(), file.size());
    EXPECT_EQ(wordIn(file, entry), f.vector);
    EXPECT_EQ(wordIn(file, entry + 4), f.bytes.size());
    EXPECT_EQ(Bytes(file.begin() + entry + 8, file.begin() + entry + 8 + f.bytes.size()),
              vectorBytes(lisp::pointerWord(f.vector, lisp::Tag::Other)));
    EXPECT_EQ(codeSlot(f.function), lisp::pointerWord(f.vector, lisp::Tag::Other))
        << "dumping releases nothing";
    entry += 8 + f.bytes.size();
  }
  EXPECT_EQ(entry, file.size());
  EXPECT_EQ(codeSlot(bare), nil());
  EXPECT_EQ(jc_state, jetcode::kNoCodeFile);
}

TEST_F(Jetcode, ADumpThatCannotBeOpenedOrWrittenSaysSo) {
  coded(true, 14, 73);
  uint32_t errors = 0;
  output([&] { errors = jettisoncode("/dev/full", 0, 0); });
  EXPECT_EQ(errors, jetcode::kWriteFailed);
  const std::string text =
      output([&] { errors = jettisoncode((path_ + "-missing/dir/dump").c_str(), 0, 0); });
  EXPECT_EQ(errors, jetcode::kOpenFailed);
  EXPECT_EQ(text,
            "Errors force termination of dump\njetcode errors: open failed for swap output;\n");
}

// ---- files that stop growing ----

// Files of this process cannot grow past `bytes` while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int);
};

TEST_F(Jetcode, ARecordThatCannotBeWrittenLeavesItsFunctionAndNoPartialRecord) {
  const Coded fits = coded(true, 8, 91), tooBig = coded(true, 200, 92), after = coded(true, 8, 93);
  const uint32_t room = static_cast<uint32_t>(4 + 4 + fits.bytes.size() + 100);
  uint32_t errors = 0;
  std::string text;
  {
    FileSizeLimit limit(room);
    text = output([&] { errors = jettisoncode(path_.c_str(), 1, 0); });
  }
  EXPECT_EQ(errors, jetcode::kWriteFailed);
  EXPECT_EQ(text, "jetcode errors: code vector write failed;\n");
  EXPECT_TRUE(released(fits.function));
  EXPECT_EQ(codeSlot(tooBig.function), lisp::pointerWord(tooBig.vector, lisp::Tag::Other));
  EXPECT_EQ(at(tooBig.vector + tooBig.bytes.size() - 4), jetcode::kNeverWritten);
  EXPECT_EQ(codeSlot(after.function), lisp::pointerWord(after.vector, lisp::Tag::Other))
      << "nothing is written after a failure";
  EXPECT_EQ(fileBytes(path_).size(), 4 + 4 + fits.bytes.size()) << "no partial record";
  EXPECT_EQ(page_out_fcn, 1u);
  EXPECT_EQ(jc_release_fcn, 1u);

  // The next jettison appends the two that stayed.
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  EXPECT_EQ(page_out_fcn, 2u);
  EXPECT_EQ(callFunction(tooBig.function), lisp::makeFixnum(92));
}

TEST_F(Jetcode, ADumpCutShortKeepsAZeroLength) {
  const Coded f = coded(true, 200, 94);
  uint32_t errors = 0;
  {
    FileSizeLimit limit(64);
    output([&] { errors = jettisoncode(path_.c_str(), 0, 0); });
  }
  EXPECT_EQ(errors, jetcode::kWriteFailed);
  const Bytes file = fileBytes(path_);
  ASSERT_GE(file.size(), 4u);
  EXPECT_EQ(wordIn(file, 0), 0u);
}

// ---- the temporary code file ----

TEST_F(Jetcode, TheTemporaryCodeFileIsGoneAndRefusesAnImage) {
  const Coded f = coded(true, 8, 81);
  EXPECT_EQ(jc_dumpcheck(), 1);
  ASSERT_EQ(jettisoncode(nullptr, 1, 0), 0u);
  const std::string name = "JC" + std::to_string(::getpid() & 0xffff);
  EXPECT_STREQ(jc_swapfile, name.c_str());
  EXPECT_EQ(jc_tempswap, 1);
  EXPECT_FALSE(exists(name)) << "removed as soon as it was made";
  EXPECT_EQ(jc_dumpcheck(), 0);
  // Reloads read it through the descriptor that stays open.
  EXPECT_EQ(callFunction(f.function), lisp::makeFixnum(81));
}

TEST_F(Jetcode, ANamedCodeFileAllowsAnImage) {
  coded(true, 8, 82);
  ASSERT_EQ(jettisoncode(path_.c_str(), 1, 0), 0u);
  EXPECT_EQ(jc_dumpcheck(), 1);
}

// The name is kept whole in its 100-byte field or refused: a cut name would
// put the code in a file nobody named.
TEST_F(Jetcode, ACodeFileNameLongerThan99BytesIsRefused) {
  const Coded f = coded(true, 8, 83);
  // The field holds bytes: a name of 50 two-byte characters does not fit.
  std::string twoByteCharacters;
  for (int i = 0; i < 50; ++i) twoByteCharacters += "\xc3\xa9";
  for (const std::string& name : {path_ + "-" + std::string(95, 'x'),
                                  path_ + "-" + std::string(145, 'x'), twoByteCharacters}) {
    SCOPED_TRACE(name.size());
    uint32_t errors = 0;
    const std::string text = output([&] { errors = jettisoncode(name.c_str(), 1, 0); });
    EXPECT_EQ(errors, jetcode::kOpenFailed);
    EXPECT_EQ(text, "jetcode: codefile name longer than 99 bytes: " + name +
                        "\njetcode errors: open failed for swap output;\n");
    EXPECT_EQ(jc_state, jetcode::kNoCodeFile);
    EXPECT_STREQ(jc_swapfile, "");
    EXPECT_FALSE(exists(name.substr(0, 99))) << "no file under the cut name";
    EXPECT_FALSE(exists(name));
    EXPECT_EQ(codeSlot(f.function), lisp::pointerWord(f.vector, lisp::Tag::Other));
  }
  std::string fits = path_ + "-";
  fits.resize(99, 'x');
  ASSERT_EQ(jettisoncode(fits.c_str(), 1, 0), 0u);
  EXPECT_STREQ(jc_swapfile, fits.c_str());
  EXPECT_TRUE(exists(fits));
  EXPECT_EQ(callFunction(f.function), lisp::makeFixnum(83));
}

}  // namespace

extern "C" uint32_t frame_walk_native_probe() {
  if (!g_threadEntry) return jettisoncode(g_probePath, 1, 1);
  // The head record's Lisp frame is the runtime probe's; below it the Lisp
  // function's frame, then the harness frame.
  const uint32_t head = lisp::wordAt(g_probeThread, lisp::thread_record::kClinkHead);
  const uint32_t functionFrame = gc_test::at(gc_test::at(head + 8));
  g_threadEntry[1] = gc_test::at(functionFrame);
  const uint32_t errors = jettisoncode(g_probePath, 1, 1);
  g_runningAfter = gc_test::at(functionFrame - 4);
  return errors;
}
