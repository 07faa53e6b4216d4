// The trap dispatcher: from the machine state of a trap or fault, decide
// which handler runs and with what code and datum, and make the trapping
// code resume in it.
//
// Decisions:
// - Code bytes and the interrupted frame's function word are read with a
//   checked read: an unreadable eip (a jump to an unmapped address) makes
//   the operand undecodable, so the fault gets the default handler with
//   the faulting address as datum instead of faulting again in here.
// - The int form with a cs prefix (2E CD nn) skips its three bytes.
// - A thread slot without a thread record, or a fault outside native code
//   with edi not nil (Lisp code always keeps nil there), is not the
//   runtime's: the filter passes it on and the process ends with it.
// - Every int-form trap (0x61 to 0x69) resumes past the int, not
//   only those that say so: resuming on the int would trap again for good.
//   An int with another number resumes on it (its condition does not
//   return in a running system).

#include <algorithm>
#include <cstddef>

#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/stack_limits.h"
#include "runtime/rs/thread_record.h"
#include "runtime/rs/trap_handlers.h"
#include "runtime/rs/trap_record.h"

namespace {

namespace tr = lisp::thread_record;
namespace global = lisp::nil_block::global;
using lisp::lispval;
using platform::ProcessorContext;

constexpr uint8_t kIntOpcode = 0xcd;
constexpr uint8_t kCsPrefix = 0x2e;
constexpr uint32_t kFrameFunctionSlot = 4;
constexpr uint32_t kStackOverflowRoom = lisp::stack_limits::kOverflowRoom;
constexpr uint32_t kStackReserve = lisp::stack_limits::kReserve;  // kept below the lowest limit
constexpr int32_t kSignalInterrupt = lisp::os::kTrapInterrupt;
constexpr int32_t kSignalBreakpoint = lisp::os::kTrapHalt;
constexpr int32_t kSignalAccess = lisp::os::kTrapGeneralSignal;
constexpr int32_t kUndefinedFunctionInt = 0x62;
constexpr int32_t kInterruptDeferralSymbol = -0xa9;  // global word: its thread value defers
constexpr int32_t kSymbolValue = -0x13;
constexpr int32_t kSymbolValueVector = 1;
constexpr int32_t kVectorLength = -0xe;
constexpr int32_t kVectorData = -0xa;

// Handler kinds for handle_saving_context.
constexpr int32_t kKindCondition = 0;
constexpr int32_t kKindError = 4;
constexpr int32_t kKindLibraryAddress = 8;

// Error codes.
constexpr int32_t kErrorUndefinedFunction = 25;
constexpr int32_t kErrorOtherInt = 4;
constexpr int32_t kListFieldCdr = 2, kListFieldOther = 1;

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}
uint32_t& globalWord(int32_t offset) {
  return lisp::wordAt(nilval, offset);
}
lispval trueValue() {
  return lisp::nil_block::tFor(nilval);
}

lispval callingRecord() {
  return platform::threadSlot(static_cast<int32_t>(lisp_tls_index / 4));
}

template <class T>
bool readChecked(uint32_t address, T* into) {
  return platform::readCodeBytes(address, into, sizeof(T));
}

// The symbol a value names: a symbol is tagged 0 here when the trapping
// code kept it as a raw pointer, so add 7 then.
lispval asSymbol(uint32_t word) {
  return (word & 7) == 0 ? word + 7 : word;
}

// The operand of a field access: the ModRM byte and the displacement.
struct FieldOperand {
  uint32_t registerIndex;  // 0 eax, 1 ecx, 2 edx, 3 ebx
  int32_t displacement;
};
// An instruction of one opcode byte whose ModRM is at +1 and 8-bit
// displacement at +2: accepted for [r + d] (ModRM 0x40-0x7f) and [r] (below
// 0x40, taken as d = -7), with r one of eax, ecx, edx, ebx.
bool decodeFieldOperand(uint32_t instruction, FieldOperand* operand) {
  uint8_t bytes[2];
  if (!platform::readCodeBytes(instruction + 1, bytes, 1)) return false;
  const uint8_t modrm = bytes[0];
  const uint32_t reg = modrm & 7;
  if (reg > 3 || modrm >= 0x80) return false;
  if (modrm >= 0x40) {
    if (!platform::readCodeBytes(instruction + 2, bytes + 1, 1)) return false;
    operand->displacement = static_cast<int8_t>(bytes[1]);
  } else {
    operand->displacement = -7;
  }
  operand->registerIndex = reg;
  return true;
}

uint32_t* recordRegister(ProcessorContext* record, uint32_t index) {
  switch (index) {
    case 0:
      return &record->eax;
    case 1:
      return &record->ecx;
    case 2:
      return &record->edx;
    default:
      return &record->ebx;
  }
}

// Symbol fields by the offset the access used (displacement - 7).
struct SymbolFieldCode {
  int32_t offset;
  int32_t code;
};
constexpr SymbolFieldCode kSymbolFieldCodes[] = {
    {-0x17, 12}, {-0x13, 6}, {-0xf, 8}, {-0xb, 10}, {-7, 7}, {1, 26}, {5, 29},
};
constexpr int32_t kSymbolFieldOther = 9;

int32_t symbolFieldCode(int32_t offset) {
  for (const SymbolFieldCode& field : kSymbolFieldCodes)
    if (field.offset == offset) return field.code;
  return kSymbolFieldOther;
}

// What the dispatcher decided.
struct Decision {
  lispval kind;  // nil: leave +0x132 alone
  lispval code;  // nil: leave +0x136 and +0x13a alone
  uint32_t datum;
  uint32_t handler = 0;
  bool resumeInPlace = false;
};

constexpr uint32_t kOtherTag = 0x12;  // a tagged other word = its block + 0x12

// A word tagged as an other object lying in the Lisp heap.
bool heapOther(lispval word) {
  return GsOldAreas != nullptr && (word & 7) == 2 && word > gc::areaAddress(GsOldAreas) &&
         word < GsNewTop;
}

// The stack limit after a stack-overflow trap at `from`: 0xa000 lower, but
// never below the thread's stack end plus a reserve (when the record knows
// its stack), so repeated overflows cannot take the limit off the stack.
uint32_t loweredStackLimit(lispval thread, uint32_t from) {
  uint32_t lowered = from > kStackOverflowRoom ? from - kStackOverflowRoom : 0;
  const uint32_t base = lisp::wordAt(thread, tr::kStackBase);
  const lispval size = lisp::wordAt(thread, tr::kStackSize);
  if (base != 0 && lisp::isFixnum(size) && lisp::fixnumValue(size) > 0) {
    const uint32_t bytes = static_cast<uint32_t>(lisp::fixnumValue(size));
    const uint32_t floor = base > bytes ? base - bytes + kStackReserve : kStackReserve;
    lowered = std::max(lowered, floor);
  }
  return lowered;
}

lispval fixnum(int32_t n) {
  return lisp::makeFixnum(n);
}

}  // namespace

// The thread's value of the interrupt-deferral symbol; nil when the global
// word holds no symbol.
extern "C" lispval interrupt_deferral_value(lispval thread) {
  const lispval nil = nilval;
  const lispval symbol = globalWord(kInterruptDeferralSymbol);
  if ((symbol & 3) != 3 || symbol == nil) return nil;
  const lispval values = lisp::wordAt(symbol, kSymbolValueVector);
  lispval cell = symbol;
  if ((values & 7) == 2) {
    const int32_t index = static_cast<int32_t>(lisp::wordAt(thread, tr::kBindingIndex));
    if (index < static_cast<int32_t>(lisp::wordAt(values, kVectorLength)))
      cell = lisp::wordAt(values, kVectorData + index);
  }
  return lisp::wordAt(cell, kSymbolValue);
}

namespace {}  // namespace

extern "C" {

lispval func_subsumes_pc_of(lispval object, uint32_t address) {
  const lispval nil = nilval;
  uint32_t codeVectorHeader = 0;
  lisp::FunctionObject function{};
  if (!heapOther(object) || !readChecked(object - kOtherTag, &function.header) ||
      lisp::typeCodeOf(function.header) != lisp::type_code::Function ||
      !readChecked(object - kOtherTag + 4, &function.start) ||
      !readChecked(object - 2, &function.codeVector))
    return nil;
  const lispval codeVector = function.codeVector;
  if (!heapOther(codeVector) || !readChecked(codeVector - kOtherTag, &codeVectorHeader)) return nil;
  uint32_t start = function.start;
  if (start == addressOf(gt_fwrap_start)) {
    if (lisp::typeCodeOf(codeVectorHeader) != lisp::type_code::CodeVector) return nil;
    start = codeVector - kOtherTag + 4;
  }
  const uint32_t length = 2 * (codeVectorHeader >> 8);
  return address >= start && address - start < length ? trueValue() : nil;
}

__attribute__((noinline)) uint32_t segv_bpt(int32_t /*signal*/, ProcessorContext* /*record*/) {
  const lispval thread = callingRecord();
  return thread ? lisp::wordAt(thread, tr::kTrapFrameOwned) : 0;
}

uint32_t syncsig1x(int32_t signal, platform::ExceptionRecord* exception, ProcessorContext* record) {
  const lispval thread = callingRecord();
  const lispval nil = nilval;
  if ((thread & 7) != 2 || nil == 0) return 0;
  const uint32_t eip = record->eip;
  lisp::wordAt(thread, tr::kTrapAddress) = eip;
  lisp::wordAt(thread, tr::kTrapResumeSkip) = 0;
  Decision d{nil, fixnum(signal), trueValue()};

  // Native code running, or a leaf native call in progress.
  const uint32_t clink = lisp::wordAt(thread, tr::kClinkHead);
  uint32_t clinkNativeWord = 1;
  if (clink != tr::kEmptyClinkChain) readChecked(clink + 4, &clinkNativeWord);
  const bool leaf = lisp::wordAt(thread, tr::kLeafCallStack) != nil;
  if (clinkNativeWord == 0 || leaf) {
    // Redirected with the interrupted eip pushed: the handler returns there.
    lisp::wordAt(thread, tr::kTrapHandlerKind) = fixnum(signal);
    lisp::wordAt(thread, tr::kTrapErrorCode) = fixnum(signal);
    lisp::wordAt(thread, tr::kTrapErrorDatum) = trueValue();
    record->esp -= 4;
    *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(record->esp)) = eip;
    record->eip = addressOf(leaf ? handle_sig_from_c_leaf : handle_sig_from_c);
    return record->eip;
  }

  // Lisp code keeps nil in edi; anything else faulted outside Lisp.
  if (record->edi != nil) return 0;

  // Does the trapping code own the current frame?
  uint32_t frameFunction = 0;
  readChecked(record->ebp - kFrameFunctionSlot, &frameFunction);
  lispval owned;
  if ((frameFunction & 7) == 6)
    owned = func_subsumes_pc_of(record->esi, eip) != nil ? nil : trueValue();
  else
    owned = func_subsumes_pc_of(frameFunction, eip);
  lisp::wordAt(thread, tr::kTrapFrameOwned) = owned;

  int32_t number = 0;             // the trap number, 0x61..0x69, or another int number
  uint32_t instructionBytes = 0;  // of the int form
  if (signal < 0) {
    number = -signal;
  } else if (signal == kSignalInterrupt) {
    uint8_t bytes[3] = {};  // [cs prefix,] CD, the number
    uint32_t at = eip;
    if (readChecked(at, &bytes[0]) && bytes[0] == kCsPrefix) ++at;
    instructionBytes = at - eip + 2;
    const bool readable = platform::readCodeBytes(at, bytes + 1, 2);
    number = readable && bytes[1] == kIntOpcode ? bytes[2] : -1;
    if (eip + 3 == nil && record->ebx == nil) number = kUndefinedFunctionInt;
  }
  // Where the trapping instruction ends: the call form traps by a call, so
  // the record's eip is already past it. The int form skips the int.
  const uint32_t after = eip + instructionBytes;
  auto resumePast = [&] { lisp::wordAt(thread, tr::kTrapResumeSkip) = instructionBytes; };

  if (number != 0) {
    switch (number) {
      case 0x61:
        d.handler = addressOf(argerr);
        resumePast();
        break;
      case 0x62:
        d.handler = addressOf(handle_saving_context);
        d.kind = fixnum(kKindError);
        d.code = fixnum(kErrorUndefinedFunction);
        d.datum = asSymbol(record->ecx);
        break;
      case 0x63:
        d.handler = addressOf(unbound);
        resumePast();
        break;
      case 0x64:
        globalWord(global::kSignalPending) &= ~uint32_t{0xff};
        if (interrupt_deferral_value(thread) == nil) {
          d.handler = addressOf(process_sig1);
          resumePast();
        } else {
          d.handler = after;
          d.resumeInPlace = true;
        }
        break;
      case 0x65: {
        uint32_t& limit = lisp::wordAt(thread, tr::kStackLimit);
        d.datum = limit;  // stack_ov puts it back once the condition returns
        limit = loweredStackLimit(thread, std::min(record->esp, limit));
        d.handler = addressOf(stack_ov);
        break;
      }
      case 0x66:
        d.handler = addressOf(ffunbound);
        resumePast();
        break;
      case 0x67:
      case 0x69: {
        const bool symbolCase = number == 0x67;
        FieldOperand operand;
        if (!decodeFieldOperand(after, &operand)) break;
        uint32_t* reg = recordRegister(record, operand.registerIndex);
        *reg += symbolCase ? 7 : 1;
        d.datum = *reg;
        const int32_t offset = operand.displacement - (symbolCase ? 7 : 1);
        d.code = fixnum(symbolCase ? symbolFieldCode(offset)
                                   : (offset == -0xd ? kListFieldCdr : kListFieldOther));
        d.kind = fixnum(kKindError);
        d.handler = addressOf(handle_saving_context);
        break;
      }
      case 0x68:
        d.handler = addressOf(unordered);
        resumePast();
        break;
      default:
        segv_bpt(1, record);
        d.code = fixnum(kErrorOtherInt);
        break;
    }
  } else if (signal == kSignalBreakpoint) {
    d.handler = addressOf(lisp_breakpoint);
  } else if (signal == kSignalAccess) {
    FieldOperand operand;
    if (decodeFieldOperand(eip, &operand)) {
      d.datum = *recordRegister(record, operand.registerIndex);
      d.code = fixnum(operand.displacement == -0xd ? kListFieldCdr : kListFieldOther);
      d.kind = fixnum(kKindError);
      d.handler = addressOf(handle_saving_context);
    } else {
      segv_bpt(signal, record);
    }
    if (d.handler == 0 && exception && exception->code == platform::kAccessViolation &&
        exception->information[1] != 0) {
      const uint32_t address = exception->information[1];
      if (address > vxm_lso && address < vxm_lsoend) {
        d.handler = addressOf(handle_saving_context);
        d.kind = fixnum(kKindLibraryAddress);
        d.code = address;
      } else {
        d.datum = address;
      }
    }
  }

  if (number >= 0x61 && number <= 0x69 && !d.resumeInPlace) resumePast();
  if (owned != nil && !d.resumeInPlace) record->esp -= 4;
  if (d.handler == 0) {
    d.handler = addressOf(handle_saving_context);
    d.kind = fixnum(kKindCondition);
  }
  if (d.kind != nil) lisp::wordAt(thread, tr::kTrapHandlerKind) = d.kind;
  if (d.code != nil) {
    lisp::wordAt(thread, tr::kTrapErrorCode) = d.code;
    lisp::wordAt(thread, tr::kTrapErrorDatum) = d.datum;
  }
  record->eip = d.handler;
  return d.handler;
}

}  // extern "C"
