// The malformed-file table: each case pushes what it needs, then writes the
// one item that must be refused.

#include "testing/fasl_malformed_cases.h"

#include <array>
#include <functional>

#include "testing/fasl_writer.h"

namespace testing_support {

std::string MalformedFaslCase::message() const {
  return "fasl: malformed item " + std::to_string(code) + " at " + std::to_string(position) + ": " +
         reason + "\n";
}

namespace {

using Steps = std::function<void(FaslWriter&)>;
using Width = FaslWriter::Width;

// Reasons, as the loaders print them.
constexpr char kUnderflow[] = "pops below the segment's stack base";
constexpr char kWantSymbol[] = "expects a symbol";
constexpr char kWantFunction[] = "expects a function";
constexpr char kWantCallable[] = "expects a function or closure";
constexpr char kWantClosure[] = "expects a closure";
constexpr char kWantMacro[] = "expects a macro object";
constexpr char kWantCodeOrNil[] = "expects a code vector or nil";
constexpr char kWantCodeOrList[] = "expects a code vector or list";
constexpr char kWantArrayHeader[] = "expects an array header";
constexpr char kWantCons[] = "expects a cons";
constexpr char kWantList[] = "expects a list";
constexpr char kWantValueVector[] = "expects a vector of Lisp values";
constexpr char kTooFewSlots[] = "count exceeds the object's slots";
constexpr char kPastStorage[] = "byte count exceeds the object's storage";
constexpr char kDigitCount[] = "digit count not in 1..65535";
constexpr char kHeapLimit[] = "size exceeds the heap's limit";
constexpr char kNoVectorType[] = "type code names no vector type";
constexpr char kNoValueVectorType[] = "type code names no vector of Lisp values";
constexpr char kRawLispValues[] = "raw data cannot make Lisp values";
constexpr char kStringPastEnd[] = "string runs past the end of the file";
constexpr char kNegativeCount[] = "negative byte count";
constexpr char kPastFill[] = "table index at or past the fill count";
constexpr char kTableFull[] = "table has no free slot";
constexpr char kShortToc[] = "table of contents too short";
constexpr char kCutUtf8[] = "cut UTF-8 form";
constexpr char kWideCharacter[] = "character above 0xFF in an 8-bit string";
constexpr char kNotForward[] = "skip does not move forward";
constexpr char kNoSuchGlobal[] = "global number outside the globals table";

// Item codes without a writer call of their own.
enum : uint8_t {
  kSetcode = 11,
  kSetd = 12,
  kSetbcode = 13,
  kEvalit = 15,
  kSetformals = 16,
  kSetcframeSize = 19,
  kNconc = 29,
  kArrayHeader = 36,
  kMakemacro = 39,
  kSetlocalSize = 43,
  kSetdpl = 45,
  kSetdtpl = 53,
  kFuncallit = 54,
  kWfPostcons = 70,
  kWfPostarray = 74,
  kWfPostmacro = 75,
  kPushData = 79,
  kSetcount = 85,
};

const std::array<uint8_t, 4> kTwoUnits = {0x90, 0x90, 0xc3, 0x90};

// Values to push, each of a known kind.
void pushFixnum(FaslWriter& w) {
  w.fixnum(5);
}
void pushFunction(FaslWriter& w) {
  w.newBfunction(0);
}
void pushCodeVector(FaslWriter& w) {
  w.codeVector16(kTwoUnits);
}
void pushSymbol(FaslWriter& w) {
  w.symbol(u"X", 0);
}
void pushClosure(FaslWriter& w, uint16_t slots) {
  w.fixnum(0).preclosure(slots);
}
MalformedFaslCase makeCase(std::string name, const char* reason, const Steps& before,
                           const Steps& refused) {
  FaslWriter w;
  w.segment(0);
  before(w);
  MalformedFaslCase result;
  result.name = std::move(name);
  result.position = static_cast<long>(w.size());
  refused(w);
  result.code = w.bytes()[static_cast<size_t>(result.position)];
  w.done();
  result.bytes = w.bytes();
  result.reason = reason;
  return result;
}

// A store item over two pushed values: `below` first, then `top`.
MalformedFaslCase storeCase(std::string name, const char* reason, const Steps& below,
                            const Steps& top, uint8_t code) {
  return makeCase(
      std::move(name), reason,
      [&](FaslWriter& w) {
        below(w);
        top(w);
      },
      [&](FaslWriter& w) { w.code(code); });
}

void nothing(FaslWriter&) {}

}  // namespace

std::vector<MalformedFaslCase> malformedFaslCases() {
  std::vector<MalformedFaslCase> cases;
  auto add = [&](MalformedFaslCase c) { cases.push_back(std::move(c)); };

  // ---- pops below the segment's stack base ----
  add(makeCase(
      "list pops one too many", kUnderflow, [](FaslWriter& w) { w.fixnum(1).fixnum(2); },
      [](FaslWriter& w) { w.list(3); }));
  add(makeCase("list* pops one too many", kUnderflow, pushFixnum,
               [](FaslWriter& w) { w.listStar(2); }));
  add(makeCase("vector pops one too many", kUnderflow, pushFixnum,
               [](FaslWriter& w) { w.vector(2, 112); }));
  add(makeCase(
      "array header with six values", kUnderflow,
      [](FaslWriter& w) {
        for (int i = 0; i < 6; ++i) w.fixnum(i);
      },
      [](FaslWriter& w) { w.code(kArrayHeader); }));
  add(makeCase("new bfunction with one constant short", kUnderflow, pushFixnum,
               [](FaslWriter& w) { w.newBfunction(2); }));
  add(makeCase("new wfunction with one constant short", kUnderflow, nothing,
               [](FaslWriter& w) { w.newWfunction(1); }));
  add(makeCase(
      "prewfunction with two values", kUnderflow, [](FaslWriter& w) { w.fixnum(0).fixnum(0); },
      [](FaslWriter& w) { w.prewfunction(0); }));
  add(makeCase(
      "postwfunction without its code vector", kUnderflow,
      [](FaslWriter& w) { w.fixnum(1).fixnum(0).fixnum(0).symbol(u"F", 0).prewfunction(1); },
      [](FaslWriter& w) { w.postwfunction(1); }));
  add(makeCase(
      "postclosure without its template", kUnderflow,
      [](FaslWriter& w) {
        w.fixnum(7);
        pushClosure(w, 0);
      },
      [](FaslWriter& w) { w.postclosure(0); }));
  add(makeCase("pick past the bottom", kUnderflow, pushFixnum, [](FaslWriter& w) { w.pick(1); }));
  add(makeCase(
      "a pop does not reach into the previous segment", kUnderflow,
      [](FaslWriter& w) { w.fixnum(1).fixnum(2).done().segment(0); },
      [](FaslWriter& w) { w.code(78); }));
  add(makeCase(
      "push_data acts while skipping and still needs its values", kUnderflow,
      [](FaslWriter& w) { w.icsFlags(1).symbol(u"S", 0).fixnum(3); },
      [](FaslWriter& w) { w.code(kPushData); }));

  // ---- sizes and counts ----
  add(makeCase("raw vector bytes beyond its storage", kPastStorage, nothing, [](FaslWriter& w) {
    const std::array<uint8_t, 9> bytes{};
    w.rawVector(98, 3, bytes);
  }));
  add(makeCase("raw vector of no vector type", kNoVectorType, nothing,
               [](FaslWriter& w) { w.rawVectorHeader(50, 1, 0); }));
  add(makeCase("raw vector of Lisp values", kRawLispValues, nothing, [](FaslWriter& w) {
    const std::array<uint8_t, 4> bytes{};
    w.rawVector(112, 1, bytes);
  }));
  add(makeCase("raw vector too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.rawVectorHeader(98, 0x7fffffff, 0); }));
  add(makeCase("bignum with a negative digit count", kDigitCount, nothing,
               [](FaslWriter& w) { w.bignum(-1, 0, {}); }));
  add(makeCase("bignum with no digits", kDigitCount, nothing,
               [](FaslWriter& w) { w.bignum(0, 0, {}); }));
  add(makeCase("integer with no digits", kDigitCount, nothing,
               [](FaslWriter& w) { w.integerHeader(0, 0); }));
  add(makeCase("vector too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.vector(0x40000000, 112); }));
  add(makeCase("vector of raw elements", kNoValueVectorType, pushFixnum,
               [](FaslWriter& w) { w.vector(1, 98); }));
  add(makeCase("pre lisp vector too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.preLispVector(0x40000000, 112); }));
  add(makeCase("32-bit code vector too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.code(37).long32(0x7fffffff).long32(0); }));
  add(makeCase("pure code vector too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.code(52).long32(0x50000000).long32(0); }));
  add(makeCase("string longer than the rest of the file", kStringPastEnd, nothing,
               [](FaslWriter& w) { w.code(4).wordOr32(100).byte(1).byte('a'); }));
  add(makeCase("ff_patch with a negative count", kNegativeCount, nothing,
               [](FaslWriter& w) { w.ffPatchHeader(-2); }));

  // ---- table indices and tables ----
  add(makeCase("symget of an empty fsymtab", kPastFill, nothing,
               [](FaslWriter& w) { w.symget(0); }));
  add(makeCase(
      "gensymget at the fill count", kPastFill,
      [](FaslWriter& w) { w.tableOfContents(4).gensymSymbol(u"G", 0); },
      [](FaslWriter& w) { w.gensymget(1); }));
  add(makeCase("package number -1 with an empty symtab", kPastFill, nothing,
               [](FaslWriter& w) { w.symbol(u"X", -1); }));
  add(makeCase("package number 0xFFFF with an empty symtab", kPastFill, nothing,
               [](FaslWriter& w) { w.symbol(u"X", 0xffff); }));
  add(makeCase("table of contents asking for a symtab too large for the heap", kHeapLimit, nothing,
               [](FaslWriter& w) { w.tableOfContents(0x20000000); }));
  add(makeCase("table of contents of one word", kShortToc, nothing, [](FaslWriter& w) {
    const std::array<uint32_t, 1> words = {0};
    w.tableOfContentsWords(1, words);
  }));
  {
    MalformedFaslCase c = makeCase(
        "package beyond the symtab the contents gave", kTableFull,
        [](FaslWriter& w) { w.tableOfContents(1).package(u"P"); },
        [](FaslWriter& w) { w.package(u"Q"); });
    c.runtimeLoaderOnly = true;
    add(std::move(c));
  }
  {
    MalformedFaslCase c = makeCase("segment skip without a table of contents", kNotForward, nothing,
                                   [](FaslWriter& w) { w.beginSymchk(124); });
    c.failingSymchkGlobal = 124;
    c.nativeLoaderOnly = true;
    add(std::move(c));
  }

  {
    MalformedFaslCase c = makeCase("begin symchk of a global past the table", kNoSuchGlobal,
                                   nothing, [](FaslWriter& w) { w.beginSymchk(345); });
    c.nativeLoaderOnly = true;
    add(std::move(c));
  }

  // ---- text ----
  add(makeCase("string cut inside a two-byte form", kCutUtf8, nothing, [](FaslWriter& w) {
    const std::array<uint8_t, 2> bytes = {'A', 0xc3};
    w.code(4).textBytes(bytes);
  }));
  add(makeCase("symbol name cut inside a three-byte form", kCutUtf8, nothing, [](FaslWriter& w) {
    const std::array<uint8_t, 2> bytes = {0xe2, 0x82};
    w.code(3).textBytes(bytes).negWordOr32(0);
  }));
  add(makeCase("8-bit string with a character above 0xFF", kWideCharacter, nothing,
               [](FaslWriter& w) { w.string(u"a\u0100", 0); }));

  // ---- store items whose operands are of the wrong type ----
  add(storeCase("setcode of a fixnum", kWantCodeOrNil, pushFunction, pushFixnum, kSetcode));
  add(storeCase("setcode into a fixnum", kWantFunction, pushFixnum, pushCodeVector, kSetcode));
  add(storeCase("setbcode into a symbol", kWantFunction, pushSymbol, pushCodeVector, kSetbcode));
  add(storeCase("setd of a fixnum", kWantCallable, pushSymbol, pushFixnum, kSetd));
  add(storeCase("setd onto a fixnum", kWantSymbol, pushFixnum, pushFunction, kSetd));
  add(storeCase("setdpl onto a function", kWantSymbol, pushFunction, pushFunction, kSetdpl));
  add(storeCase("setformals into a fixnum", kWantFunction, pushFixnum, pushFixnum, kSetformals));
  add(storeCase("setcframe_size into a code vector", kWantFunction, pushCodeVector, pushFixnum,
                kSetcframeSize));
  add(storeCase("setlocal_size into a fixnum", kWantFunction, pushFixnum, pushFixnum,
                kSetlocalSize));
  add(storeCase("setcount into a symbol", kWantFunction, pushSymbol, pushFixnum, kSetcount));
  add(storeCase("setdtpl of a symbol", kWantFunction, pushSymbol, pushSymbol, kSetdtpl));
  add(storeCase("setdtpl onto a fixnum", kWantSymbol, pushFixnum, pushFunction, kSetdtpl));
  add(makeCase("fcnflags on a fixnum", kWantFunction, pushFixnum,
               [](FaslWriter& w) { w.fcnflags(0x10); }));
  add(makeCase(
      "postwfunction on a fixnum", kWantFunction, [](FaslWriter& w) { w.fixnum(0).fixnum(1); },
      [](FaslWriter& w) { w.postwfunction(0); }));
  add(makeCase(
      "postwfunction beyond the function's constants", kTooFewSlots,
      [](FaslWriter& w) {
        pushCodeVector(w);
        w.fixnum(1).fixnum(2);
        w.fixnum(0).fixnum(0).symbol(u"F", 0).prewfunction(1);
      },
      [](FaslWriter& w) { w.postwfunction(2); }));
  add(makeCase(
      "postwfunction with a fixnum for code", kWantCodeOrList,
      [](FaslWriter& w) {
        w.fixnum(9).fixnum(1);
        w.fixnum(0).fixnum(0).symbol(u"F", 0).prewfunction(1);
      },
      [](FaslWriter& w) { w.postwfunction(1); }));
  add(makeCase(
      "post lisp vector on a fixnum", kWantValueVector,
      [](FaslWriter& w) { w.fixnum(1).fixnum(2); }, [](FaslWriter& w) { w.postLispVector(1); }));
  add(makeCase(
      "post lisp vector beyond its elements", kTooFewSlots,
      [](FaslWriter& w) { w.fixnum(1).fixnum(2).preLispVector(1, 112); },
      [](FaslWriter& w) { w.postLispVector(2); }));
  add(storeCase("wf_postarray on a fixnum", kWantArrayHeader, pushFixnum, pushFixnum,
                kWfPostarray));
  add(storeCase(
      "wf_postmacro on a plain closure", kWantMacro, pushFixnum,
      [](FaslWriter& w) { pushClosure(w, 0); }, kWfPostmacro));
  add(makeCase(
      "postclosure on a function", kWantClosure,
      [](FaslWriter& w) { w.fixnum(1).fixnum(2).fixnum(3).newBfunction(0); },
      [](FaslWriter& w) { w.postclosure(0); }));
  add(makeCase(
      "postclosure beyond the closure's slots", kTooFewSlots,
      [](FaslWriter& w) {
        w.fixnum(1).fixnum(2).fixnum(3).fixnum(4);
        pushClosure(w, 1);
      },
      [](FaslWriter& w) { w.postclosure(2); }));
  add(makeCase("evalit of a fixnum", kWantSymbol, pushFixnum,
               [](FaslWriter& w) { w.code(kEvalit); }));
  add(makeCase("funcallit of a symbol", kWantCallable, pushSymbol,
               [](FaslWriter& w) { w.code(kFuncallit); }));
  add(makeCase("makemacro of a fixnum", kWantCallable, pushFixnum,
               [](FaslWriter& w) { w.code(kMakemacro); }));
  add(storeCase("nconc onto a fixnum", kWantList, pushFixnum, pushFixnum, kNconc));
  add(makeCase(
      "wf_postcons on a fixnum", kWantCons, [](FaslWriter& w) { w.fixnum(1).fixnum(2).fixnum(3); },
      [](FaslWriter& w) { w.code(kWfPostcons); }));
  add(storeCase("push_data onto a fixnum", kWantSymbol, pushFixnum, pushFixnum, kPushData));
  return cases;
}

}  // namespace testing_support
