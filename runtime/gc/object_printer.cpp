// The native object printer.
//
// Invariant: no word is read through a value before that value has been
// vetted, either by the collector's value check (a cons, an object start
// whose whole extent lies below the frontier of its area or semispace, a
// lisp-static object, one of the special values) or by lying with its whole
// extent in a region that may be read (between the native heap's water
// marks; in the pure library, this thread's stack, a thread record or a
// parked thread's saved stack when the value check places it there); and
// no word is read beyond the vetted object's extent. Whatever fails the
// vetting prints as a bad object with its bits, so no value can make the
// printer fault.

#include "runtime/gc/object_printer.h"

#include <algorithm>
#include <cstddef>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/printer_messages.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/object_layout.h"

extern "C" {
KORVANE_EXPORT int32_t lisp_print_level = 5;
KORVANE_EXPORT int32_t lisp_print_length = 10;
KORVANE_EXPORT lisp_demangle_routine lisp_demangle_hook = nullptr;
KORVANE_EXPORT lisp_demangle_release_routine lisp_demangle_deallocate_hook = nullptr;
KORVANE_EXPORT int32_t lisp_demangled = 0;
}

namespace {

namespace text = printer_messages;
using gc::wordAt;
using lisp::lispval;
using lisp::ObjectKind;
using lisp::Tag;

// Nesting beyond this prints "#" whatever the value and whatever the print
// level says: it keeps the native stack safe from a huge print level and
// from functions whose code slots lead to each other.
constexpr int32_t kDeepestLevel = 100;

// Header bits of a standard instance (its second header byte).
constexpr uint32_t kStreamBits = 0x300;
constexpr uint32_t kForeignPointerBit = 0x8000;

// An entry vector with a name: six slots, the first a string.
constexpr uint32_t kNamedEntryVectorLength = 6;

// The string type without a length word: its length is the header's.
constexpr uint8_t kCharacterVector = 101;

// The bytes of a vetted value that may be read: [start, end).
struct Vetted {
  lispval value = 0;
  uint32_t start = 0, end = 0;

  bool ok() const { return end > start; }
  uint32_t bytes() const { return end - start; }
  // The word at a byte offset from the object's first byte; 0 outside it.
  uint32_t word(uint32_t offset) const {
    return offset + 4 <= bytes() ? wordAt(start + offset) : 0;
  }
  uint32_t header() const { return word(0); }
  uint8_t type() const { return lisp::typeCodeOf(header()); }
};

bool heapPresent() {
  return nilval != 0 && GsOldAreas != nullptr;
}

bool symbolType(uint8_t type) {
  return type == lisp::kSymbolTypeByte || type == lisp::kLocativeTypeByte;
}

// Bytes of the object a pointer word names, from its first two words (which
// the caller has made sure may be read); 0 when its tag and type disagree
// or the type is unknown.
uint32_t objectBytes(lispval value, uint32_t object) {
  if (lisp::isCons(value)) return sizeof(lisp::ConsCell);
  const uint32_t header = wordAt(object);
  const uint8_t type = lisp::typeCodeOf(header);
  if (lisp::isSymbolTagged(value) != symbolType(type)) return 0;
  if (!lisp::isSymbolTagged(value) && lisp::kindOfTypeCode(type) == ObjectKind::Bad) return 0;
  return gc::extentOf(header, wordAt(object + 4)).bytes;
}

// A pointer whose whole object lies in the readable region [low, high).
Vetted within(lispval value, uint32_t low, uint32_t high) {
  const uint32_t object = lisp::objectAddress(value);
  if (low == 0 || object < low || object >= high || high - object < 8) return {};
  const uint32_t bytes = objectBytes(value, object);
  if (bytes == 0 || bytes > high - object) return {};
  return {value, object, object + bytes};
}

// Values the value check places outside the heap: objects of the pure
// library (symbol names of an image live there), of this thread's stack,
// of a thread record or of a parked thread's saved stack, each read only
// inside its region.
Vetted outsideHeap(lispval value) {
  const uint32_t object = lisp::objectAddress(value);
  if (object >= vxm_lso && object < vxm_lsoend) return within(value, vxm_lso, vxm_lsoend);
  const uint32_t stackTop = gc::currentStackBase();
  const uint32_t here = gc::addressOf(__builtin_frame_address(0));
  if (object >= here && object < stackTop) return within(value, here, stackTop);
  const gc::ThreadRegion region = gc::threadRegionHolding(object);
  return within(value, region.low, region.high);
}

// Vets a pointer word (tags 1, 2 and 7); immediates and nil are never read
// through and vet as not ok.
Vetted vet(lispval value) {
  const Tag tag = lisp::tagOf(value);
  if (tag != Tag::Cons && tag != Tag::Other && tag != Tag::Symbol) return {};
  if (heapPresent()) {
    namespace code = gc::verify_code;
    const int verdict = value_verify(value, InScavenge != 0);
    if (verdict == code::kObject) {
      // Its extent comes from its own header and length words, which a
      // damaged object may set to anything: it is read only within its region.
      const gc::ObjectRegion region = gc::regionHolding(lisp::objectAddress(value));
      return within(value, region.first, region.frontier);
    }
    if (verdict == code::kCons || verdict == code::kSpecial) {
      const uint32_t object = lisp::objectAddress(value);
      const uint32_t bytes = objectBytes(value, object);
      if (bytes != 0) return {value, object, object + bytes};
      return {};
    }
    if (verdict == code::kOutsideHeap) return outsideHeap(value);
  }
  // Lisp-static objects among them.
  return within(value, malloc_low_water, malloc_high_water);
}

bool isNil(lispval value) {
  return nilval != 0 && value == nilval;
}

void printBadObject(lispval value, FILE* file) {
  std::fprintf(file, text::kBadObject, static_cast<unsigned long>(value));
}

void printAddressForm(const char* form, lispval value, FILE* file) {
  std::fprintf(file, form, static_cast<unsigned long>(value));
}

// Characters go out as UTF-8; 16-bit codes above 127 would otherwise lose
// their high byte.
void printCharacter(uint16_t code, FILE* file) {
  if (code < 0x80) {
    std::fputc(code, file);
  } else if (code < 0x800) {
    std::fputc(0xc0 | (code >> 6), file);
    std::fputc(0x80 | (code & 0x3f), file);
  } else {
    std::fputc(0xe0 | (code >> 12), file);
    std::fputc(0x80 | ((code >> 6) & 0x3f), file);
    std::fputc(0x80 | (code & 0x3f), file);
  }
}

// The car and cdr of a list word (nil included), when it may be read.
bool splitList(lispval list, lispval& first, lispval& rest) {
  if (isNil(list)) {
    first = rest = list;
    return true;
  }
  if (!lisp::isCons(list) || !vet(list).ok()) return false;
  first = lisp::car(list);
  rest = lisp::cdr(list);
  return true;
}

// ---- the forms by type ----

enum class Form : uint8_t {
  Address,
  TypedAddress,
  Function,
  StandardInstance,
  Structure,
  SingleFloat,
  DoubleFloat,
  Vector
};

struct PrintRow {
  ObjectKind kind;
  Form form;
  const char* text;
};

constexpr PrintRow kPrintRows[] = {
    {ObjectKind::Function, Form::Function, nullptr},
    {ObjectKind::Closure, Form::Address, text::kClosure},
    {ObjectKind::HashTable, Form::Address, text::kHashTable},
    {ObjectKind::Readtable, Form::Address, text::kReadtable},
    {ObjectKind::StandardInstance, Form::StandardInstance, nullptr},
    {ObjectKind::Sysvector, Form::Address, text::kSysvector},
    {ObjectKind::RemoteObject, Form::Address, text::kRemoteObject},
    {ObjectKind::Structure, Form::Structure, nullptr},
    {ObjectKind::SingleFloat, Form::SingleFloat, text::kSingleFloat},
    {ObjectKind::DoubleFloat, Form::DoubleFloat, text::kDoubleFloat},
    {ObjectKind::Bignum, Form::Address, text::kBignum},
    {ObjectKind::Ratio, Form::Address, text::kRatio},
    {ObjectKind::Complex, Form::Address, text::kComplex},
    {ObjectKind::ArrayHeader, Form::TypedAddress, text::kArrayType},
    {ObjectKind::FlaggedArrayHeader, Form::TypedAddress, text::kArrayType},
    {ObjectKind::Vector, Form::Vector, text::kVectorType},  // entry vectors and strings apart
    {ObjectKind::Instance, Form::Address, text::kInstance},
    {ObjectKind::ValuesVector, Form::Address, text::kValuesVector},
    {ObjectKind::TrellonUpi, Form::Address, text::kTrellonUpi},
    {ObjectKind::TrellonTriple, Form::Address, text::kTrellonTriple},
};

const PrintRow* rowFor(uint8_t type) {
  const ObjectKind kind = lisp::kindOfTypeCode(type);
  for (const PrintRow& row : kPrintRows)
    if (row.kind == kind) return &row;
  return nullptr;
}

void printValue(lispval value, FILE* file, int32_t level, int32_t position);

void printFunction(const Vetted& function, FILE* file, int32_t level) {
  std::fputs(text::kFunctionPrefix, file);
  printValue(function.word(4 * gc::kCodeSlotWord), file, level + 1, 0);
}

void printOther(const Vetted& object, FILE* file, int32_t level, int32_t position) {
  const lispval value = object.value;
  const uint8_t type = object.type();
  const PrintRow* row = rowFor(type);
  if (row == nullptr) return printBadObject(value, file);
  const unsigned long bits = static_cast<unsigned long>(value);
  switch (row->form) {
    case Form::Address:
      return printAddressForm(row->text, value, file);
    case Form::TypedAddress:
      std::fprintf(file, row->text, static_cast<unsigned>(type), bits);
      return;
    case Form::Function:
      return printFunction(object, file, level);
    case Form::StandardInstance:
      return lisp_output_standard_instance(value, file);
    case Form::Structure:
      return lisp_output_struct(value, file, level, position);
    case Form::SingleFloat: {
      const lisp::SingleFloatObject* number = lisp::objectOf<lisp::SingleFloatObject>(value);
      std::fprintf(file, row->text, static_cast<double>(number->value), bits);
      return;
    }
    case Form::DoubleFloat:
      std::fprintf(file, row->text, lisp::objectOf<lisp::DoubleFloatObject>(value)->value, bits);
      return;
    case Form::Vector:
      if (type == lisp::type_code::EntryVector) return lisp_output_cstruct(value, file, level);
      if (type == lisp::type_code::SimpleString) return lisp_output_string(value, file, 1);
      std::fprintf(file, row->text, static_cast<unsigned>(type), bits);
      return;
  }
}

void printValue(lispval value, FILE* file, int32_t level, int32_t position) {
  switch (lisp::tagOf(value)) {
    case Tag::Fixnum:
    case Tag::FixnumOdd:
      std::fprintf(file, text::kFixnum, static_cast<long>(lisp::fixnumValue(value)));
      return;
    case Tag::Character:
      return printCharacter(lisp::characterCode(value), file);
    case Tag::Unused:
      return printAddressForm(text::kBadObjectTag, value, file);
    case Tag::Nil:
      if (isNil(value)) {
        std::fputs(text::kNil, file);
        return;
      }
      return printAddressForm(text::kBadObjectTag, value, file);
    case Tag::Cons:
    case Tag::Symbol:
    case Tag::Other:
      break;
  }
  if (level >= kDeepestLevel) {
    std::fputs(text::kTooDeep, file);
    return;
  }
  const Vetted object = vet(value);
  if (!object.ok()) return printBadObject(value, file);
  if (lisp::isCons(value)) return lisp_output_list(value, file, level, position);
  if (lisp::isSymbolTagged(value)) return lisp_output_symbol(value, file);
  printOther(object, file, level, position);
}

bool tooDeep(int32_t level) {
  return level >= lisp_print_level || level >= kDeepestLevel;
}

int32_t printLength() {
  return lisp_print_length < 0 ? 0 : lisp_print_length;
}

// The characters of a string of 16-bit characters and how many there are,
// bounded by its extent; nullptr when it is no such string.
const uint16_t* stringCharacters(const Vetted& string, uint32_t& count) {
  if (!string.ok() || !lisp::isOther(string.value)) return nullptr;
  uint32_t dataOffset = 0;
  if (string.type() == lisp::type_code::SimpleString) {
    count = static_cast<uint32_t>(lisp::fixnumValue(string.word(4)));
    dataOffset = 8;
  } else if (string.type() == kCharacterVector) {
    count = lisp::headerLength(string.header());
    dataOffset = 4;
  } else {
    return nullptr;
  }
  const uint32_t room = (string.bytes() - dataOffset) / 2;
  if (count > room) count = room;
  return reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(string.start + dataOffset));
}

// The name a structure's first slot gives: the slot itself when it is a
// symbol, else the first element of the first element of the list in it.
void printStructureName(lispval slot, FILE* file, int32_t level) {
  if (lisp::isSymbolTagged(slot)) return lisp_output_symbol(slot, file);
  lispval first = 0, rest = 0, name = 0;
  if (!splitList(slot, first, rest)) return printBadObject(slot, file);
  if (!splitList(first, name, rest)) return printBadObject(first, file);
  printValue(name, file, level + 1, 0);
}

}  // namespace

extern "C" {

const char* lisp_demangle_name(const char* name) {
  if (lisp_demangle_hook != nullptr) {
    if (const char* demangled = lisp_demangle_hook(name)) {
      lisp_demangled = 1;
      return demangled;
    }
  }
  lisp_demangled = 0;
  return name;
}

void lisp_deallocate_demangled_name(const char* name) {
  if (lisp_demangled && lisp_demangle_deallocate_hook != nullptr) {
    lisp_demangle_deallocate_hook(const_cast<char*>(name));
    lisp_demangled = 0;
  }
}

void lisp_output_object(lispval value) {
  lisp_output_object_aux(value, stdout, 0, 0);
  std::fputs(text::kNewline, stdout);
  std::fflush(stdout);
}

void lisp_output_object_aux(lispval value, FILE* file, int32_t level, int32_t position) {
  printValue(value, file, level, position);
}

KORVANE_EXPORT void lisp_output_list(lispval list, FILE* file, int32_t level, int32_t position) {
  if (tooDeep(level)) {
    std::fputs(text::kTooDeep, file);
    return;
  }
  lispval element = 0, rest = 0;
  if (!isNil(list) && !splitList(list, element, rest)) return printBadObject(list, file);
  std::fputs(text::kOpen, file);
  const int32_t length = printLength();
  int32_t printed = 0;
  while (!isNil(list)) {
    if (!lisp::isCons(list) || !splitList(list, element, rest)) {
      // An atom tail, or a cdr that is no cons.
      std::fputs(text::kSeparator, file);
      std::fputs(text::kDot, file);
      printValue(list, file, level + 1, position);
      break;
    }
    if (printed >= length) {
      std::fputs(printed == 0 ? text::kCutFirst : text::kCut, file);
      break;
    }
    if (printed > 0) std::fputs(text::kSeparator, file);
    printValue(element, file, level + 1, position);
    ++printed;
    list = rest;
  }
  std::fputs(text::kClose, file);
}

void lisp_output_unicode_string(lispval string, FILE* file) {
  uint32_t count = 0;
  const uint16_t* characters = stringCharacters(vet(string), count);
  if (characters == nullptr) return printBadObject(string, file);
  for (uint32_t i = 0; i < count; ++i) printCharacter(characters[i], file);
}

void lisp_output_string(lispval string, FILE* file, int32_t quoted) {
  uint32_t count = 0;
  if (stringCharacters(vet(string), count) == nullptr) return printBadObject(string, file);
  if (quoted) std::fputs(text::kQuote, file);
  lisp_output_unicode_string(string, file);
  if (quoted) std::fputs(text::kQuote, file);
}

void lisp_output_symbol(lispval symbol, FILE* file) {
  const Vetted object = vet(symbol);
  if (!object.ok() || !lisp::isSymbolTagged(symbol)) return printBadObject(symbol, file);
  if (object.type() == lisp::kLocativeTypeByte) {
    std::fputs(text::kLocative, file);
    return;
  }
  lisp_output_string(object.word(offsetof(lisp::SymbolObject, name)), file, 0);
}

void lisp_output_functon(lispval function, FILE* file) {
  const Vetted object = vet(function);
  if (!object.ok() || !lisp::isOther(function) || object.type() != lisp::type_code::Function)
    return printBadObject(function, file);
  printFunction(object, file, 0);
}

void lisp_output_standard_instance(lispval instance, FILE* file) {
  const Vetted object = vet(instance);
  if (!object.ok() || !lisp::isOther(instance) ||
      object.type() != lisp::type_code::StandardInstance)
    return printBadObject(instance, file);
  const uint32_t header = object.header();
  const char* form = (header & kStreamBits)          ? text::kStream
                     : (header & kForeignPointerBit) ? text::kForeignPointer
                                                     : text::kStandardInstance;
  printAddressForm(form, instance, file);
}

void lisp_output_struct(lispval structure, FILE* file, int32_t level, int32_t position) {
  (void)position;
  if (tooDeep(level)) {
    std::fputs(text::kTooDeep, file);
    return;
  }
  const Vetted object = vet(structure);
  if (!object.ok() || !lisp::isOther(structure) || object.type() != lisp::type_code::Structure)
    return printBadObject(structure, file);
  // The slots follow the header; the extent bounds how many may be read.
  const uint32_t slots = std::min(lisp::headerLength(object.header()), object.bytes() / 4 - 1);
  std::fputs(text::kStructOpen, file);
  if (slots > 0) printStructureName(object.word(4), file, level);
  std::fprintf(file, text::kStructAddress, static_cast<unsigned long>(structure));
  const uint32_t length = static_cast<uint32_t>(printLength());
  for (uint32_t slot = 1; slot < slots; ++slot) {
    std::fputs(text::kSeparator, file);
    if (slot > length) {
      std::fputs(text::kCutFirst, file);
      break;
    }
    printValue(object.word(4 * (slot + 1)), file, level + 1, 0);
  }
  std::fputs(text::kClose, file);
}

void lisp_output_cstruct(lispval entryVector, FILE* file, int32_t level) {
  if (tooDeep(level)) {
    std::fputs(text::kTooDeep, file);
    return;
  }
  const Vetted object = vet(entryVector);
  if (!object.ok() || !lisp::isOther(entryVector) || object.type() != lisp::type_code::EntryVector)
    return printBadObject(entryVector, file);
  const lispval name = object.word(4);
  uint32_t count = 0;
  if (lisp::headerLength(object.header()) == kNamedEntryVectorLength &&
      stringCharacters(vet(name), count) != nullptr) {
    std::fputs(text::kEntryVectorOpen, file);
    lisp_output_string(name, file, 1);
    std::fprintf(file, text::kEntryVectorClose, static_cast<unsigned long>(entryVector));
    return;
  }
  std::fprintf(file, text::kVectorType, static_cast<unsigned>(object.type()),
               static_cast<unsigned long>(entryVector));
}

}  // extern "C"
