// The start-up fasl of the end-to-end runs (startup_image_fasl.h).
#include "testing/startup_image_fasl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "runtime/rs/entry_table.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/fasl_writer.h"

namespace testing_support::startup_image {

namespace {

namespace frame = lisp::nil_block::frame;
using lisp::makeFixnum;

// The global word (globreg index) holding the function a restored world runs.
constexpr int32_t kRebornFunctionWord = -313;

// The global at nil+d is globreg word (d - kThreadSlotIndex) / 4.
constexpr int32_t globalWordOffset(int32_t word) {
  return lisp::nil_block::global::kThreadSlotIndex + 4 * word;
}
static_assert(globalWordOffset(kRebornFunctionWord) == -0x4f9);

int32_t entryOffset(const char* routine) {
  for (const auto& slot : lisp::entry_table::kRoutineSlots)
    if (std::strcmp(slot.name, routine) == 0) return slot.offset;
  ADD_FAILURE() << "no entry-table row for " << routine;
  return 0;
}

// Byte offset of constant i from a function's tagged word.
int32_t functionConstant(uint32_t i) {
  return lisp::offsetFromWord(offsetof(lisp::FunctionObject, constants), lisp::Tag::Other) +
         4 * static_cast<int32_t>(i);
}

// ---- hand assembly ----

class Assembler {
 public:
  Assembler& op(std::initializer_list<uint8_t> bytes) {
    code_.insert(code_.end(), bytes);
    return *this;
  }
  Assembler& disp8(int32_t value) {
    EXPECT_TRUE(value >= -128 && value <= 127) << value;
    code_.push_back(static_cast<uint8_t>(value));
    return *this;
  }
  Assembler& imm32(uint32_t value) {
    for (int i = 0; i < 4; ++i) code_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  // A short jump's displacement byte, to be landed later.
  size_t jump8(uint8_t opcode) {
    code_.push_back(opcode);
    code_.push_back(0);
    return code_.size() - 1;
  }
  void land(size_t displacement) {
    const size_t distance = code_.size() - (displacement + 1);
    EXPECT_LE(distance, 127u);
    code_[displacement] = static_cast<uint8_t>(distance);
  }
  // Code vectors hold whole 32-bit words of code here.
  std::vector<uint8_t> finish() {
    while (code_.size() % 4 != 0) code_.push_back(0x90);  // nop
    return code_;
  }

 private:
  std::vector<uint8_t> code_;
};

// A frame as compiled code builds it (the stub at nil left esi the
// function, edi nil, ebx the thread): the collector's stack walk reads the
// function at ebp-4 and the slots at ebp-0x14..-0x1c as Lisp values, and
// moves the return address into this code when it moves the code vector.
void lispFrame(Assembler& a) {
  a.op({0x55});                               // push ebp
  a.op({0x89, 0xe5});                         // mov ebp, esp
  a.op({0x56});                               // push esi                 function at ebp-4
  a.op({0x83, 0xec}).disp8(0x1c);             // sub esp, 0x1c            rest of the 32-byte block
  a.op({0x89, 0x7d}).disp8(frame::kCount);    // mov [ebp-0x10], edi      nil
  a.op({0x89, 0x7d}).disp8(frame::kClosure);  // mov [ebp-0x14], edi      no closure
  a.op({0x89, 0x7d}).disp8(frame::kSymbol);   // mov [ebp-0x18], edi      no symbol
  a.op({0x89, 0x5d}).disp8(frame::kThread);   // mov [ebp-0x1c], ebx      thread
}

// The stacked argument 3 and the two home slots of the calls that follow.
void callArea(Assembler& a) {
  a.op({0x57});  // push edi                 argument 3: nil
  a.op({0x57});  // push edi                 home slot 2
  a.op({0x57});  // push edi                 home slot 1
}

void callEntry(Assembler& a, const char* routine) {
  a.op({0x8b, 0x5d}).disp8(frame::kThread);  // mov ebx, [ebp-0x1c]      thread
  a.op({0xff, 0x97}).imm32(static_cast<uint32_t>(entryOffset(routine)));  // call [edi+entry]
}

// dumplisp of the name at kNamePage; the result (a fixnum) in eax, esi the
// (maybe moved) function again.
void dumpImage(Assembler& a) {
  a.op({0xb9}).imm32(3);                       // mov ecx, 3               three arguments
  a.op({0xb8}).imm32(makeFixnum(kNamePage));   // mov eax, name address    a fixnum
  a.op({0x89, 0xfa});                          // mov edx, edi             nil
  callEntry(a, "dumplisp");                    // call [edi+dumplisp]
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
}

// lispexit with the status (a fixnum) in eax.
void exitWithEax(Assembler& a) {
  a.op({0xb9}).imm32(1);     // mov ecx, 1
  callEntry(a, "lispexit");  // call [edi+lispexit]
  a.op({0x0f, 0x0b});        // ud2                      lispexit does not return
}

// When the dump's result in eax is not 0: exit with 50 + it.
void exitUnlessDumped(Assembler& a) {
  a.op({0x85, 0xc0});                               // test eax, eax
  const size_t dumped = a.jump8(0x74);              // jz dumped
  a.op({0x05}).imm32(makeFixnum(kDumpFailedBase));  // add eax, fixnum 50
  exitWithEax(a);
  a.land(dumped);
}

std::vector<uint8_t> firstFunctionCode() {
  Assembler a;
  lispFrame(a);
  a.op({0x8b, 0x46}).disp8(functionConstant(0));  // mov eax, [esi+c0]        F2
  // lea edx, [edi+global]    the reborn function's word
  a.op({0x8d, 0x97}).imm32(static_cast<uint32_t>(globalWordOffset(kRebornFunctionWord)));
  callEntry(a, "gc_setf_protect");             // call [edi+barrier]       [edx] := eax
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
  callArea(a);
  dumpImage(a);
  exitUnlessDumped(a);
  a.op({0xb8}).imm32(makeFixnum(kBuildStatus));  // mov eax, fixnum 42
  exitWithEax(a);
  return a.finish();
}

std::vector<uint8_t> rebornFunctionCode(bool dumpAgain) {
  Assembler a;
  lispFrame(a);
  callArea(a);
  if (dumpAgain) {
    dumpImage(a);
    exitUnlessDumped(a);
  }
  a.op({0x8b, 0x46}).disp8(functionConstant(1));  // mov eax, [esi+c1]        (1 . 2)
  a.op({0x8b, 0x50}).disp8(lisp::kCarOffset);     // mov edx, [eax-0x11]      car
  a.op({0x81, 0xfa}).imm32(makeFixnum(1));        // cmp edx, fixnum 1
  const size_t badCar = a.jump8(0x75);            // jne wrong
  a.op({0x8b, 0x50}).disp8(lisp::kCdrOffset);     // mov edx, [eax-0xd]       cdr
  a.op({0x81, 0xfa}).imm32(makeFixnum(2));        // cmp edx, fixnum 2
  const size_t badCdr = a.jump8(0x75);            // jne wrong
  a.op({0x8b, 0x46}).disp8(functionConstant(0));  // mov eax, [esi+c0]        fixnum 43
  exitWithEax(a);
  a.land(badCar);
  a.land(badCdr);
  a.op({0xb8}).imm32(makeFixnum(kWrongConstant));  // mov eax, fixnum 99
  exitWithEax(a);
  return a.finish();
}

// The word of GlobGcAfterFunction.
constexpr int32_t kGcAfterFunctionWord = -36;

// F3: called by the collector after a scavenge.
std::vector<uint8_t> gcHookCode() {
  Assembler a;
  lispFrame(a);
  a.op({0x39, 0xf8});                      // cmp eax, edi             argument 1 nil?
  const size_t global = a.jump8(0x75);     // jne wrong
  a.op({0x8d, 0x04, 0x8d})                 // lea eax, [ecx*4+base]    fixnum base + count
      .imm32(makeFixnum(kGcHookCalledBase));
  exitWithEax(a);
  a.land(global);
  a.op({0xb8}).imm32(makeFixnum(kWrongConstant));  // mov eax, fixnum 99
  exitWithEax(a);
  return a.finish();
}

// A world function with F3 as its constant 0: stores it into
// GlobGcAfterFunction, scavenges, and exits with kGcHookNotCalled when the
// scavenge returns.
std::vector<uint8_t> scavengeWithHookCode() {
  Assembler a;
  lispFrame(a);
  a.op({0x8b, 0x46}).disp8(functionConstant(0));  // mov eax, [esi+c0]        F3
  // lea edx, [edi+global]    GlobGcAfterFunction
  a.op({0x8d, 0x97}).imm32(static_cast<uint32_t>(globalWordOffset(kGcAfterFunctionWord)));
  callEntry(a, "gc_setf_protect");             // call [edi+barrier]       [edx] := eax
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
  callArea(a);
  a.op({0xb9}).imm32(1);                       // mov ecx, 1
  a.op({0x89, 0xf8});                          // mov eax, edi             nil: a scavenge
  callEntry(a, "gc");                          // call [edi+gc]
  a.op({0x8b, 0x75}).disp8(frame::kFunction);  // mov esi, [ebp-4]         function
  a.op({0xb8}).imm32(makeFixnum(kGcHookNotCalled));  // mov eax, fixnum 44
  exitWithEax(a);
  return a.finish();
}

// The thread record's stack-limit word.
constexpr int8_t kStackLimitWord = 0x1a;

// G: exits with kAppliedStatus.
std::vector<uint8_t> appliedCode() {
  Assembler a;
  lispFrame(a);
  a.op({0xb8}).imm32(makeFixnum(kAppliedStatus));  // mov eax, fixnum 45
  exitWithEax(a);
  return a.finish();
}

// F, with G as its constant 0: checks the stack-limit word, then applies G
// to nil (after putting the limit above the stack when `overflow`).
std::vector<uint8_t> stackLimitCode(bool overflow) {
  Assembler a;
  lispFrame(a);
  a.op({0x8b, 0x43}).disp8(kStackLimitWord);   // mov eax, [ebx+0x1a]      the limit
  a.op({0x39, 0xe0});                          // cmp eax, esp
  const size_t above = a.jump8(0x73);          // jae wrong
  a.op({0x8d, 0x94, 0x24}).imm32(0xfc000000);  // lea edx, [esp-64M]
  a.op({0x39, 0xd0});                          // cmp eax, edx
  const size_t below = a.jump8(0x76);          // jbe wrong
  if (overflow) a.op({0xc7, 0x43}).disp8(kStackLimitWord).imm32(0xfffffff0);  // mov [ebx+0x1a], top
  callArea(a);
  a.op({0x8b, 0x46}).disp8(functionConstant(0));      // mov eax, [esi+c0]        G
  a.op({0x89, 0xfa});                                 // mov edx, edi             nil
  a.op({0xb9}).imm32(2);                              // mov ecx, 2
  callEntry(a, "lisp_apply");                         // call [edi+apply]
  a.op({0xb8}).imm32(makeFixnum(kOverflowReturned));  // mov eax, fixnum 46
  exitWithEax(a);
  a.land(above);
  a.land(below);
  a.op({0xb8}).imm32(makeFixnum(kWrongConstant));  // mov eax, fixnum 99
  exitWithEax(a);
  return a.finish();
}

constexpr uint8_t kSetcode = 11, kFuncallit = 54;

}  // namespace

std::vector<uint8_t> startupFasl(bool dumpAgain) {
  testing_support::FaslWriter w;
  w.commentLine("start-up fasl of the end-to-end tests").segment(kTimestamp);
  w.machineId(0, 61, 31, 0x405);
  // F2: constants 43 and (1 . 2).
  w.fixnum(kRebornStatus).fixnum(1).fixnum(2).listStar(2).newBfunction(2);
  w.codeVector32(rebornFunctionCode(dumpAgain)).code(kSetcode);
  // F1: constant F2, called at once.
  w.newBfunction(1).codeVector32(firstFunctionCode()).code(kSetcode).code(kFuncallit);
  w.done();
  return w.bytes();
}

std::vector<uint8_t> gcHookFasl(bool inBuild) {
  testing_support::FaslWriter w;
  w.commentLine("start-up fasl of the collector hook runs").segment(kTimestamp);
  w.machineId(0, 61, 31, 0x405);
  // F3, then the function that installs it and scavenges.
  w.newBfunction(0).codeVector32(gcHookCode()).code(kSetcode);
  w.newBfunction(1).codeVector32(scavengeWithHookCode()).code(kSetcode);
  if (!inBuild) {
    // F1: constant that function, the restored world's start; dumps and exits.
    w.newBfunction(1).codeVector32(firstFunctionCode()).code(kSetcode);
  }
  w.code(kFuncallit);
  w.done();
  return w.bytes();
}

std::vector<uint8_t> stackLimitFasl(bool overflow) {
  testing_support::FaslWriter w;
  w.commentLine("start-up fasl of the stack-limit runs").segment(kTimestamp);
  w.machineId(0, 61, 31, 0x405);
  w.newBfunction(0).codeVector32(appliedCode()).code(kSetcode);
  w.newBfunction(1).codeVector32(stackLimitCode(overflow)).code(kSetcode).code(kFuncallit);
  w.done();
  return w.bytes();
}

}  // namespace testing_support::startup_image
