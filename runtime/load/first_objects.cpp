// getstorage: the first objects of an empty Lisp world, made through the
// runtime's native constructor on the heap GsInit has just laid out.
//
// Every object is made before anything that could collect reads it back:
// Lisp values are never held in C++ locals across a constructor call, only
// passed into it (the constructor keeps its arguments where the collector
// sees them) or stored in scanned global words first.

#include "runtime/load/first_objects.h"

#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/string_characters.h"
#include "runtime/load/symbol_name_hash.h"
#include "runtime/rs/float_functions.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

extern "C" lisp::lispval tval;

namespace {

using lisp::lispval;
namespace nb = lisp::nil_block;
namespace fo = startup::first_objects;

constexpr char kUnboundName[] = "Unbound Value";

// The start-up symbols, each in both spellings; the load-information ones
// with the start-up flag that gives their value and the global they go to.
struct StartupSymbol {
  const char* lower;
  const char* upper;
  const uint32_t* flag;  // value t when the flag is not 0, else nil; null: left unbound
  int32_t global;        // 0: kept only in the symbol table
};
const StartupSymbol kStartupSymbols[] = {
    {"*empty-entry-marker*", "*EMPTY-ENTRY-MARKER*", nullptr, 0},
    {"*deleted-entry-marker*", "*DELETED-ENTRY-MARKER*", nullptr, 0},
    {"thread", "THREAD", nullptr, 0},
    {"*load-xref-info*", "*LOAD-XREF-INFO*", &raz_start_xi, fo::kLoadXrefInfo},
    {"*load-source-file-info*", "*LOAD-SOURCE-FILE-INFO*", &raz_start_sfi, fo::kLoadSourceFileInfo},
    {"*load-source-debug-info*", "*LOAD-SOURCE-DEBUG-INFO*", &raz_start_sld,
     fo::kLoadSourceDebugInfo},
    {"*load-local-names-info*", "*LOAD-LOCAL-NAMES-INFO*", &raz_start_lni, fo::kLoadLocalNamesInfo},
    {"*encapsulation-count*", "*ENCAPSULATION-COUNT*", nullptr, fo::kEncapsulationCount},
};

uint32_t& global(int32_t offset) {
  return nb::word(nilval, offset);
}

uint16_t* mutableCharacters(lispval string) {
  return const_cast<uint16_t*>(lisp::stringCharacters(string).data);
}

// A simple string of the ASCII text.
lispval makeString(const char* text) {
  const auto length = static_cast<uint32_t>(std::strlen(text));
  const lispval string = new_lisp_obj(lisp::type_code::SimpleString, length, 0);
  uint16_t* data = mutableCharacters(string);
  for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(text[i]);
  return string;
}

// The unbound marker's string was laid out by setupglobs; its characters
// are written here.
void nameUnboundMarker() {
  const lispval string = lisp::car(global(nb::global::kUnboundMarker));
  uint16_t* data = mutableCharacters(string);
  for (size_t i = 0; i < sizeof kUnboundName - 1; ++i)
    data[i] = static_cast<uint8_t>(kUnboundName[i]);
}

// Decision: the initial function object is a function of no constants whose
// start is the undefined-function trampoline, so calling a symbol that has
// no definition lands in the undefined-function path.
void makeInitialFunction() {
  global(nb::global::kInitialFunction) = new_lisp_obj(lisp::type_code::Function, 0, 0);
}

// Decision: ob_size is the build's setting; the collector's control block
// has no word for it, so 0 takes the loader's default size.
void makeSymbolTable() {
  if (ob_size == 0) ob_size = lisp::fasl::kDefaultObSize;
  const lispval table = new_lisp_obj(lisp::type_code::SimpleVector, ob_size, 0);
  global(fo::kSymbolTable) = table;
  auto* first = reinterpret_cast<lispval*>(static_cast<uintptr_t>(lisp::objectAddress(table) + 8));
  std::memset(first, 0, sizeof(lispval) * ob_size);  // 0 marks an empty slot
  oblist = first;
}

void makeStartupSymbols() {
  for (const StartupSymbol& entry : kStartupSymbols) {
    const lispval symbol =
        make_spec_sym(entry.lower, entry.upper, static_cast<uint32_t>(std::strlen(entry.lower)),
                      lisp::fasl::kBasePackage);
    if (entry.flag != nullptr)
      lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = *entry.flag != 0 ? tval : nilval;
    if (entry.global != 0) global(entry.global) = symbol;
  }
}

}  // namespace

// t lies in the nil block: it is made as a heap symbol would be, then its
// 32 bytes are copied into place and made to refer to themselves. nil is no
// symbol and has no name word; addob answers its name with nil.
void startup::first_objects::placeT(const char* name) {
  const uint16_t characters[] = {static_cast<uint8_t>(name[0])};
  const lispval heapSymbol =
      new_lisp_obj(lisp::kSymbolTypeByte, makeString(name), sshash(characters, 1));
  const lispval t = nb::tFor(nilval);
  auto* symbol = lisp::objectOf<lisp::SymbolObject>(t);
  std::memcpy(symbol, lisp::objectOf<lisp::SymbolObject>(heapSymbol), sizeof *symbol);
  symbol->globalValue = t;
  symbol->propertyList = nilval;
  if (lisp::isOther(symbol->valueVector))
    lisp::wordAt(symbol->valueVector, -0xa) = t;  // element 0 is the symbol itself
  tval = t;
}

extern "C" void getstorage() {
  nameUnboundMarker();
  makeInitialFunction();
  fo::placeT(init_case_mode == 0 ? "t" : "T");
  makeSymbolTable();
  set_glob_float_constants(&global(fo::kFloatConstants));
  makeStartupSymbols();
  faslversion = fo::kFaslVersion;
  min_faslversion = fo::kFaslVersion;
  rsversion = fo::kRsVersion;
  min_rsversion = fo::kRsVersion;
}
