// The fasl scanner; see fasl_scanner.h. Operands are read by the format
// module's readItemOperands, the same reader both loaders use, so the
// scanner prints what the loaders would read; the printed texts are the
// table below.

#include "runtime/load/fasl_scanner.h"

#include <string>

#include "runtime/gc/gc_state.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/runtime_fasl_loader.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/file_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

extern "C" lisp::lispval tval;

namespace lisp::fasl {

namespace {

// How an item's operands are printed: a format over operand values 0..2.
struct PrintedItem {
  uint8_t code;
  const char* format;
  uint8_t values;  // operands passed to the format
};
constexpr PrintedItem kPrinted[] = {
    {5, "list: size: %d", 1},
    {6, "list*: size: %d", 1},
    {8, "code vec size: %d sum: %d", 2},
    {9, "ICS flags 0x%x", 1},
    {22, "vector size: %d code: %d", 2},
    {23, "bignum size: %d sign 0x%x", 2},
    {24, "fixnum: %lu", 1},
    {27, "casemode: %d", 1},
    {30, "rawvector code %d elements %d bytes%d", 3},
    {33, "symget index %d", 1},
    {37, "xcode vec size: %d sum: %d", 2},
    {40, "new_bfunction constants: %d", 1},
    {47, "new_wfunction constants: %d", 1},
    {48, "fcnflags: 0x%x", 1},
    {50, "begin symchk: glob-symbol %d", 1},
    {52, "code vec size: %d sum: %d", 2},
    {59, "integer size (16-bit): %d sign 0x%x", 2},
    {60, "gensymget index %d", 1},
    {67, "wf_prewfunction constants: %d", 1},
    {68, "wf_postwfunction constants: %d", 1},
    {72, "pre_lisp_vector size %d code %d", 2},
    {73, "post_lisp_vector size %d", 1},
    {82, "wf_preclosure constants: %d", 1},
    {83, "wf_postclosure constants: %d", 1},
    {84, "pick stacked item %d", 1},
};

// Items with a string operand: the label before it.
struct TextItem {
  uint8_t code;
  const char* label;
};
constexpr TextItem kTextItems[] = {
    {3, "symbol: "},   {4, "string: "},    {7, "symbol: "},
    {20, "package: "}, {41, "cversion: "}, {65, "gensym symbol: "},
};

struct NamedItem {
  uint8_t code;
  const char* name;
};
constexpr NamedItem kNamedItems[] = {
    {0, "nop"},
    {2, "nil"},
    {10, "restruct"},
    {11, "setcode"},
    {12, "setd"},
    {13, "setbcode"},
    {15, "evalit"},
    {16, "setformals"},
    {19, "setcframe_size"},
    {25, "ratio"},
    {26, "complex"},
    {29, "nconc"},
    {34, "evallispobj"},
    {36, "array header"},
    {39, "makemacro"},
    {43, "setlocal_size"},
    {45, "setdpl"},
    {51, "end symchk"},
    {53, "setdtpl"},
    {54, "funcallit"},
    {63, "cleargsyms"},
    {64, "clearsyms"},
    {69, "wf_precons"},
    {70, "wf_postcons"},
    {71, "wf_cons"},
    {74, "wf_postarray"},
    {75, "wf_postmacro"},
    {76, "wf_defglobal"},
    {77, "wf_deflocal"},
    {78, "wf_pop"},
    {79, "push_data"},
    {81, "function group"},
    {85, "setcount"},
    {87, "function group (no eval)"},
};

namespace text {
constexpr char kCode[] = "\ncode: %2d ";
constexpr char kTimestamp[] = "timestamp: %d";
constexpr char kDone[] = "done";
constexpr char kPackage[] = "pkg: %d";
constexpr char kIndex[] = "index: %d";
constexpr char kCharacter[] = "character: %d";
constexpr char kDoubleFloat[] = "double float: ";
constexpr char kSingleFloat[] = "single float: ";
constexpr char kTableOfContents[] = "table of contents size: %d ints";
constexpr char kMachineId[] = "machine id: byte %d, fasl release %d,";
constexpr char kMachineIdRest[] = "rs release %d, machine code 0x%x";
constexpr char kComment[] = " Comment(%c): ";
constexpr char kStringSize[] = "size: %d \"";
constexpr char kStringCut[] = "...\" ";
constexpr char kStringEnd[] = "\" ";
constexpr char kPatchSize[] = "ff_patch: size: %d; ";
constexpr char kCallingPatch[] = "calling .ub911.";
}  // namespace text

template <typename Row, size_t N>
const Row* rowOf(const Row (&rows)[N], uint32_t code) {
  for (const Row& row : rows)
    if (row.code == code) return &row;
  return nullptr;
}

lispval global(uint32_t n) {
  return wordAt(nilval, runtimeGlobalOffset(n));
}

// Patch blobs: byte vectors of type 125, whose length word follows the header.
constexpr uint8_t kPatchBlobType = 125;
constexpr int32_t kPatchBlobData = -0xa;

bool patchFunctionDefined() {
  const lispval symbol = global(kPatchFunctionGlobal);
  return isSymbolTagged(symbol) && wordAt(symbol, -0xb) != global(kInitialFunctionGlobal);
}

class Scanner {
 public:
  Scanner(FaslInputStream& stream, bool verbose)
      : source_(stream), reader_(source_), verbose_(verbose) {}

  int32_t run() {
    const int32_t result = loop();
    if (result != kScanEnd && verbose_) vxmprintf("\n");
    return result;
  }

 private:
  template <typename... Args>
  void say(const char* format, Args... args) {
    if (verbose_) vxmprintf(format, args...);
  }

  int32_t loop() {
    for (;;) {
      const int byte = source_.next();
      if (byte < 0) return boundary_ && !source_.failed() ? kScanEnd : kScanTruncated;
      say(text::kCode, byte);
      if (boundary_) {
        switch (classifyBoundaryByte(byte)) {
          case BoundaryByte::Comment:
            skipCommentLine(source_);
            continue;
          case BoundaryByte::EndOfFile:
            return kScanEnd;
          case BoundaryByte::NotFasl:
            return kScanTruncated;
          case BoundaryByte::SegmentStart: {
            const uint32_t timestamp = reader_.get32bit();
            if (reader_.ended()) return kScanTruncated;
            say(text::kTimestamp, static_cast<int>(timestamp));
            boundary_ = false;
            continue;
          }
        }
      }
      if (const int32_t result = item(static_cast<uint32_t>(byte)); result != 1) return result;
    }
  }

  // One item: 1 to go on, else the scan's result.
  int32_t item(uint32_t code) {
    if (code == 35 || code == kSecondCommentCode) return comment(code);
    if (code == 88) return scan_string2();
    const ItemRow* row = itemRow(code, LoaderKind::Runtime);
    if (row == nullptr) return kScanUndefined;
    // Decision: an item whose operands the format module refuses (a count
    // past the end, a size past the heap's limit) ends the scan as a
    // truncated file does.
    const OperandsRead read = readItemOperands(code, *row, reader_, limits_, operands_);
    if (read.status != OperandsRead::Status::Ok || source_.failed()) return kScanTruncated;
    source_.skip(operands_.rawBytes);
    print(code);
    if (code == 1) boundary_ = true;
    if (code == 42 && operands_.value[0] == kSwappedMachineKind) reader_.setSwapped(true);
    return 1;
  }

  uint32_t value(uint32_t i) const { return operands_.value[i]; }

  void print(uint32_t code) {
    if (const PrintedItem* row = rowOf(kPrinted, code)) {
      say(row->format, value(0), value(1), value(2));
      return;
    }
    if (const TextItem* row = rowOf(kTextItems, code)) {
      say("%s", row->label);
      if (verbose_)
        scan_string(operands_.text.data(), static_cast<uint32_t>(operands_.text.size()));
      if (code == 3 || code == 7) say(text::kPackage, operands_.signedValue(1));
      if (code == 65) say(text::kIndex, value(1));
      return;
    }
    switch (code) {
      case 1:
        say("%s", text::kDone);
        return;
      case 17: {
        // Decision: the bits and font bytes make the high half as a
        // little-endian file gives it, in either byte order, so a swapped
        // twin prints the same number.
        const uint32_t high = value(1) << 8 | value(0);
        say(text::kCharacter, static_cast<int>(high << 16 | value(2)));
        return;
      }
      case 18:
      case 49:
        say("%s", text::kDoubleFloat);
        return;
      case 21:
      case 38:
        say("%s", text::kSingleFloat);
        return;
      case 42:
        say(text::kMachineId, value(0), value(1));
        say(text::kMachineIdRest, value(2), value(3));
        return;
      case 44:
        say(text::kTableOfContents, operands_.tocCount);
        return;
      default:
        scan_dbg_0(verbose_ ? code : ~0u);
        return;
    }
  }

  int32_t comment(uint32_t code) {
    say(text::kComment, static_cast<int>(code));
    for (;;) {
      const int byte = source_.next();
      if (byte < 0) return source_.failed() ? kScanTruncated : 1;
      if (byte == kNewline) return 1;
      say("%c", byte);
      if (byte == kBackslash) {
        const int escaped = source_.next();
        if (escaped < 0) return source_.failed() ? kScanTruncated : 1;
        say("%c", escaped);
      }
    }
  }

  // scan_string2, the ff_patch reader: the blob into a new byte vector,
  // handed to the patch function; 1 to go on, or the scan's result.
  int32_t scan_string2() {
    const uint32_t count = reader_.getword();
    if (reader_.ended()) return kScanTruncated;
    say(text::kPatchSize, static_cast<int>(count));
    if (count > static_cast<uint32_t>(source_.remaining())) return kScanTruncated;
    const lispval blob = new_lisp_obj(kPatchBlobType, count, 0);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(blob + kPatchBlobData));
    if (!reader_.readRaw(bytes, count)) return kScanTruncated;
    if (patchFunctionDefined()) {
      say("%s", text::kCallingPatch);
      _fasl_call_patch(blob);
    }
    return 1;
  }

  const Limits limits_{maxheapsize};
  FaslStreamSource source_;
  FaslReader reader_;
  ItemOperands operands_;
  bool verbose_;
  bool boundary_ = true;
};

}  // namespace

}  // namespace lisp::fasl

using namespace lisp;
using namespace lisp::fasl;

extern "C" {

int32_t scan_fasl_descriptor(int32_t descriptor, lispval verbose) {
  FaslInputStream stream;
  stream.descriptor = descriptor;
  stream.position = stream.count = 0;
  return Scanner(stream, verbose != nilval).run();
}

int32_t scan_fasl_file(lispval name, lispval verbose) {
  cl_error = 0;
  const lispval descriptor =
      cl_open(reinterpret_cast<const char*>(static_cast<uintptr_t>(nativeAddressOf(name))), tval,
              nilval, makeFixnum(0));
  if (cl_error != 0 || !isFixnum(descriptor)) return kScanTruncated;
  const int32_t result = scan_fasl_descriptor(fixnumValue(descriptor), verbose);
  cl_close(descriptor);
  return result;
}

void scan_string(const uint8_t* bytes, uint32_t count) {
  const uint32_t shown = count < kScanShownBytes ? count : kScanShownBytes;
  vxmprintf(text::kStringSize, static_cast<int>(count));
  for (uint32_t i = 0; i < shown; ++i) vxmprintf("%c", bytes[i]);
  vxmprintf("%s", count > kScanShownBytes ? text::kStringCut : text::kStringEnd);
}

void scan_dbg_0(uint32_t code) {
  if (const NamedItem* row = rowOf(kNamedItems, code)) vxmprintf("%s", row->name);
}

// The print bridges' native side: dovxmprint0-3 reached without the
// library's export table (the bridges' calls keep no global-offset register).
int32_t print_bridge0(const char* format) {
  return dovxmprint0(format);
}
int32_t print_bridge1(const char* format, uint32_t a) {
  return dovxmprint1(format, a);
}
int32_t print_bridge2(const char* format, uint32_t a, uint32_t b) {
  return dovxmprint2(format, a, b);
}
int32_t print_bridge3(const char* format, uint32_t a, uint32_t b, uint32_t c) {
  return dovxmprint3(format, a, b, c);
}
}
