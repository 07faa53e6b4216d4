// The native frame walker.
//
// Invariant: every word it reads lies on the calling thread's stack,
// between its own frame and the stack's base; frame pointers only grow,
// except across a foreign-call record that bridges to a lower frame, and
// each record bridges downward at most once. So a damaged chain ends the
// walk with the termination message instead of a fault or a loop.

#include "runtime/gc/frame_walker.h"

#include <vector>

#include "runtime/gc/frame_functions.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/object_printer.h"
#include "runtime/gc/printer_messages.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

extern "C" {
uint32_t lisp_frame_cache[kLispFrameCacheEntries] = {};
uint32_t lisp_retaddr_cache[kLispFrameCacheEntries] = {};
int32_t lisp_frame_current_index = 0;
int32_t lisp_frame_highest_index = -1;
}

namespace {

namespace text = printer_messages;
using gc::wordAt;
using lisp::lispval;
namespace frame = lisp::nil_block::frame;

constexpr uint32_t kEndOfChain = lisp::thread_record::kEmptyClinkChain;
// Words of the walker's own frames below the frame pointer that it reads.
constexpr uint32_t kOwnFrameSlack = 64;
constexpr uint32_t kFirstArgument = 8;  // above fp: past the saved fp and the return address

// The calling thread's stack as far as the walk may read it, and its
// foreign-call records (newest first).
struct Stack {
  uint32_t low, high;
  std::vector<uint32_t> records;

  // A frame whose fixed words ([fp-16] to [fp+4]) may be read.
  bool holdsFrame(uint32_t fp) const {
    return fp % 4 == 0 && fp >= low + 16 && fp < high && high - fp >= 8;
  }
  bool holdsWord(uint32_t address) const {
    return address >= low && address < high && high - address >= 4;
  }
  uint32_t previousRecord(uint32_t record) const { return wordAt(record + gc::kClinkPrevious); }
  uint32_t nativeFrame(uint32_t record) const { return wordAt(record + gc::kClinkNativeFrame); }
  uint32_t savedFrame(uint32_t record) const { return wordAt(record + gc::kClinkSavedFrame); }
};

// Called from each public entry, whose own frame lies above `position`.
__attribute__((noinline)) Stack currentStack() {
  const uint32_t position = gc::addressOf(__builtin_frame_address(0)) - kOwnFrameSlack;
  return {position, gc::currentStackBase(), gc::currentForeignCallRecords(position)};
}

// The record whose native stretch holds the frame: between the native entry
// into Lisp it names (none yet: the newest record, native code running) and
// the Lisp frame that called out. Returns its index, or -1.
int nativeStretchOf(const Stack& stack, uint32_t fp) {
  for (size_t i = 0; i < stack.records.size(); ++i) {
    const uint32_t record = stack.records[i];
    const uint32_t entry = stack.nativeFrame(record);
    if (fp < stack.savedFrame(record) && (entry == 0 || fp > entry)) return static_cast<int>(i);
  }
  return -1;
}

enum class StepKind { Next, End, Broken };
struct Step {
  StepKind kind;
  uint32_t next;  // with Broken: the pointer that could not be followed
};

// The frame after fp. A native stretch is passed over as a whole, to the
// Lisp frame that called out (native code need not keep frame pointers);
// the native entry named by the chain's last record ends the stack.
// `bridgedDown` counts the downward bridges taken so far.
Step stepFrom(const Stack& stack, uint32_t fp, size_t& bridgedDown) {
  auto bridge = [&](uint32_t to) -> Step {
    if (to > fp) return {StepKind::Next, to};
    if (bridgedDown < stack.records.size()) {
      ++bridgedDown;
      return {StepKind::Next, to};
    }
    return {StepKind::Broken, to};
  };
  const int stretch = nativeStretchOf(stack, fp);
  if (stretch >= 0) return bridge(stack.savedFrame(stack.records[stretch]));
  for (uint32_t record : stack.records) {
    if (stack.nativeFrame(record) != fp) continue;
    // A native entry into Lisp: its caller is native code, shown as one
    // frame when its frame pointer lies in the stretch.
    if (stack.previousRecord(record) == kEndOfChain) return {StepKind::End, 0};
    const uint32_t caller = next_frame_pointer(fp);
    if (caller > fp && caller < stack.savedFrame(record)) return {StepKind::Next, caller};
    return bridge(stack.savedFrame(record));
  }
  const uint32_t next = next_frame_pointer(fp);
  if (next == 0 || (next > fp && next >= stack.high)) return {StepKind::End, 0};
  if (next > fp) return {StepKind::Next, next};
  for (uint32_t record : stack.records)
    if (stack.savedFrame(record) == next) return bridge(next);
  return {StepKind::Broken, next};
}

int32_t countGiven(const Stack& stack, uint32_t nextFrame) {
  if (nextFrame == 0 || !stack.holdsFrame(nextFrame)) return -1;
  const int32_t word = static_cast<int32_t>(wordAt(nextFrame + frame::kCount));
  return word < 0 ? -1 - word : -1;
}

int32_t printLength() {
  return lisp_print_length < 0 ? 0 : lisp_print_length;
}

void printLispFrame(const Stack& stack, uint32_t fp, uint32_t nextFrame, FILE* file) {
  const lispval word = wordAt(fp + frame::kFunction);
  const lispval function = valid_function_object(word);
  if (function == 0) {
    std::fputs(lisp::isCharacter(word) ? text::kRuntimeFrame : text::kIncomplete, file);
    std::fputs(text::kUnknownCName, file);
    return;
  }
  const int32_t count = countGiven(stack, nextFrame);
  if (count < 0) {
    lisp_output_object_aux(function, file, 0, 0);
    std::fputs(text::kNewline, file);
    return;
  }
  const lispval codeSlot = lisp::objectOf<lisp::FunctionObject>(function)->codeVector;
  if (lisp::isSymbolTagged(codeSlot)) {
    std::fputs(text::kOpen, file);
    lisp_output_object_aux(codeSlot, file, 1, 0);
  } else {
    std::fputs(text::kFuncall, file);
    lisp_output_object_aux(function, file, 1, 0);
  }
  const int32_t length = printLength();
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t slot = fp + kFirstArgument + 4 * static_cast<uint32_t>(i);
    if (!stack.holdsWord(slot)) break;
    if (i >= length) {
      std::fputs(text::kCut, file);
      break;
    }
    std::fputs(text::kSeparator, file);
    lisp_output_object_aux(wordAt(slot), file, 1, 0);
  }
  std::fputs(text::kClose, file);
  std::fputs(text::kNewline, file);
}

// "0x...: " and the frame's description.
void printFrame(const Stack& stack, uint32_t fp, uint32_t returnAddress, FILE* file) {
  std::fprintf(file, text::kFrameAddress, static_cast<unsigned long>(fp));
  if (!stack.holdsFrame(fp)) {
    // A remembered frame that the stack no longer holds.
    std::fputs(text::kIncomplete, file);
    std::fputs(text::kUnknownCName, file);
    return;
  }
  if (nativeStretchOf(stack, fp) >= 0) return print_c_frame(returnAddress, file);
  size_t bridged = 0;
  const Step step = stepFrom(stack, fp, bridged);
  printLispFrame(stack, fp, step.kind == StepKind::Next ? step.next : 0, file);
}

// Whether the caches hold a frame at the index (the index words are plain
// data a debugger may have changed).
bool remembered(int32_t index) {
  const int32_t highest = lisp_frame_highest_index;
  return index >= 0 && index <= highest && highest < kLispFrameCacheEntries;
}

void remember(int32_t index, uint32_t fp, uint32_t returnAddress) {
  if (index >= kLispFrameCacheEntries) return;  // recording stops at the cache's end
  lisp_frame_cache[index] = fp;
  lisp_retaddr_cache[index] = returnAddress;
  lisp_frame_highest_index = index;
}

void walk(const Stack& stack, uint32_t frame, uint32_t innermost, int32_t count, FILE* file) {
  uint32_t fp = frame;
  int32_t index = 0;
  if (frame != 0) {
    lisp_frame_current_index = 0;
  } else if (remembered(lisp_frame_current_index)) {
    index = lisp_frame_current_index;
    fp = lisp_frame_cache[index];
  } else {
    fp = innermost;
    lisp_frame_current_index = 0;
  }
  lisp_frame_highest_index = index - 1;
  size_t bridgedDown = 0;
  for (int32_t listed = 0; count <= 0 || listed < count; ++listed) {
    if (!stack.holdsFrame(fp)) {
      std::fprintf(file, text::kTerminatingEarly, static_cast<unsigned long>(fp),
                   static_cast<unsigned long>(fp));
      break;
    }
    const uint32_t returnAddress = get_return_address(fp);
    printFrame(stack, fp, returnAddress, file);
    remember(index++, fp, returnAddress);
    const Step step = stepFrom(stack, fp, bridgedDown);
    if (step.kind == StepKind::End) break;
    if (step.kind == StepKind::Broken) {
      std::fprintf(file, text::kTerminatingEarly, static_cast<unsigned long>(fp),
                   static_cast<unsigned long>(step.next));
      break;
    }
    fp = step.next;
  }
  std::fputs(text::kEndOfFrames, file);
}

void printCurrent(const Stack& stack, FILE* file) {
  const int32_t index = lisp_frame_current_index;
  if (!remembered(index)) return;
  printFrame(stack, lisp_frame_cache[index], lisp_retaddr_cache[index], file);
}

// How far the current index can move by n: up towards 0, down towards the
// highest index; nothing before a walk.
int32_t possibleMove(int32_t n, int32_t room) {
  if (lisp_frame_highest_index < 0 || n <= 0 || room <= 0) return 0;
  return n < room ? n : room;
}

}  // namespace

extern "C" {

void print_c_frame(uint32_t returnAddress, FILE* file) {
  // Native names come from the runtime's native symbol table; without one
  // every native frame is unnamed.
  (void)returnAddress;
  std::fputs(text::kUnknownCName, file);
}

void print_lisp_frame(uint32_t frame, FILE* file) {
  const Stack stack = currentStack();
  if (!stack.holdsFrame(frame)) {
    std::fputs(text::kIncomplete, file);
    std::fputs(text::kUnknownCName, file);
    return;
  }
  size_t bridged = 0;
  const Step step = stepFrom(stack, frame, bridged);
  printLispFrame(stack, frame, step.kind == StepKind::Next ? step.next : 0, file);
}

int c_frame_p(uint32_t frame) {
  return nativeStretchOf(currentStack(), frame) >= 0 ? 1 : 0;
}

int32_t count_given_p(uint32_t nextFrame) {
  return countGiven(currentStack(), nextFrame);
}

uint32_t find_next_frame(uint32_t frame) {
  const Stack stack = currentStack();
  if (!stack.holdsFrame(frame)) return 0;
  size_t bridged = 0;
  const Step step = stepFrom(stack, frame, bridged);
  return step.kind == StepKind::Next ? step.next : 0;
}

void lisp_zo_aux(uint32_t frame, int32_t count, FILE* file) {
  walk(currentStack(), frame, gc::addressOf(__builtin_frame_address(0)), count, file);
}

void lisp_cur_aux(FILE* file) {
  printCurrent(currentStack(), file);
}

void lisp_up_aux(int32_t n, FILE* file) {
  const int32_t possible = possibleMove(n, lisp_frame_current_index);
  if (possible != n) std::fprintf(file, text::kCannotGoUp, n, possible);
  lisp_frame_current_index -= possible;
  printCurrent(currentStack(), file);
}

void lisp_dn_aux(int32_t n, FILE* file) {
  const int32_t possible = possibleMove(n, lisp_frame_highest_index - lisp_frame_current_index);
  if (possible != n) std::fprintf(file, text::kCannotGoDown, n, possible);
  lisp_frame_current_index += possible;
  printCurrent(currentStack(), file);
}

void lisp_zo(uint32_t frame, int32_t count) {
  lisp_zo_aux(frame, count, stdout);
  std::fflush(stdout);
}

void lisp_cur() {
  lisp_cur_aux(stdout);
  std::fflush(stdout);
}

void lisp_up(int32_t n) {
  lisp_up_aux(n, stdout);
  std::fflush(stdout);
}

void lisp_dn(int32_t n) {
  lisp_dn_aux(n, stdout);
  std::fflush(stdout);
}

}  // extern "C"
