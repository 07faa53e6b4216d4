// The model loader: the format module's loop with shapes for values.

#include "testing/fasl_model_walk.h"

#include <vector>

namespace testing_support {

namespace {

using namespace lisp::fasl;

// What an acting item leaves on top of the stack, by code.
enum class Pushed : uint8_t {
  Other,
  Unknown,
  Nil,
  Cons,
  Symbol,
  CodeVector,
  FunctionN,     // n constants (operand 0)
  ClosureN,      // n slots (operand 0)
  ValueVectorN,  // n elements (operand 0)
  Macro,
  ArrayHeader,
  KeepTop,      // the object that was on top before the pops
  Picked,       // a copy of the item n below the top
  ListOfN,      // nil for 0 items, else a cons
  ListStarOfN,  // nothing for 0, the item for 1, else a cons
};

struct PushRule {
  uint8_t code;
  Pushed pushed;
};
constexpr PushRule kPushRules[] = {
    {2, Pushed::Nil},         {3, Pushed::Symbol},        {5, Pushed::ListOfN},
    {6, Pushed::ListStarOfN}, {7, Pushed::Symbol},        {8, Pushed::CodeVector},
    {10, Pushed::Unknown},    {22, Pushed::ValueVectorN}, {29, Pushed::Unknown},
    {33, Pushed::Unknown},    {34, Pushed::Unknown},      {36, Pushed::ArrayHeader},
    {37, Pushed::CodeVector}, {39, Pushed::Macro},        {40, Pushed::FunctionN},
    {47, Pushed::FunctionN},  {52, Pushed::CodeVector},   {53, Pushed::KeepTop},
    {60, Pushed::Unknown},    {65, Pushed::Symbol},       {67, Pushed::FunctionN},
    {68, Pushed::KeepTop},    {69, Pushed::Cons},         {70, Pushed::KeepTop},
    {71, Pushed::Cons},       {72, Pushed::ValueVectorN}, {73, Pushed::KeepTop},
    {74, Pushed::KeepTop},    {75, Pushed::KeepTop},      {76, Pushed::KeepTop},
    {77, Pushed::KeepTop},    {82, Pushed::ClosureN},     {83, Pushed::KeepTop},
    {84, Pushed::Picked},
};

Pushed pushedBy(uint32_t code) {
  for (const PushRule& rule : kPushRules)
    if (rule.code == code) return rule.pushed;
  return Pushed::Other;
}

// Item codes the model acts on beyond the stack.
enum : uint8_t {
  kDone = 1,
  kSymbol = 3,
  kArgumentSymbol = 7,
  kIcsFlags = 9,
  kPackage = 20,
  kSymget = 33,
  kMachineId = 42,
  kTableOfContents = 44,
  kBeginSymchk = 50,
  kEndSymchk = 51,
  kGensymget = 60,
  kClearGsyms = 63,
  kClearSyms = 64,
  kGensymSymbol = 65,
  kDefglobal = 76,
  kDeflocal = 77,
};

constexpr uint32_t kFirstRuntimeSymchkGlobal = 121;

class ModelStack final : public StackView {
 public:
  uint32_t height() const override { return static_cast<uint32_t>(items.size() - base); }
  ValueShape shapeAt(uint32_t depth) const override { return items[items.size() - 1 - depth]; }

  std::vector<ValueShape> items;
  size_t base = 0;
};

class Model {
 public:
  Model(std::span<const uint8_t> bytes, const FaslModelOptions& options)
      : source_(bytes), reader_(source_), options_(options) {}

  FaslModelRun run() {
    run_.result = loop();
    return run_;
  }

 private:
  int loop() {
    for (;;) {
      const int byte = source_.next();
      if (boundary_) {
        icsFlags_ = 0;
        switch (classifyBoundaryByte(byte)) {
          case BoundaryByte::EndOfFile:
            return olderRelease_ ? kCleanOlderRelease : kClean;
          case BoundaryByte::NotFasl:
            return kNotFasl;
          case BoundaryByte::Comment:
            skipCommentLine(source_);
            continue;
          case BoundaryByte::SegmentStart:
            startSegment();
            if (reader_.ended()) return kTruncated;
            continue;
        }
      }
      if (byte < 0) return kTruncated;
      const int result = item(static_cast<uint32_t>(byte));
      if (result >= 0) return result;
    }
  }

  void startSegment() {
    reader_.get32bit();  // the timestamp
    boundary_ = false;
    stack_.items.resize(stack_.base);
    symtabFill_ = fsymtabFill_ = 0;
    depth_ = 0;
    segmentLength_ = 0;
    ++run_.segments;
  }

  void endSegment() {
    stack_.items.resize(stack_.base);
    boundary_ = true;
    segmentStart_ = source_.tell();
  }

  int malformed(uint32_t code, Fault fault) {
    return reportMalformed(code, operands_.position, fault);
  }

  // One item; a loader result, or -1 to go on.
  int item(uint32_t code) {
    ++run_.items;
    const ItemRow* row = itemRow(code, options_.loader);
    if (row == nullptr) return kMalformed;
    const OperandsRead read = readItemOperands(code, *row, reader_, options_.limits, operands_);
    if (read.status == OperandsRead::Status::Truncated) return kTruncated;
    if (read.status == OperandsRead::Status::Malformed) return malformed(code, read.fault);
    const bool acts = itemActs(*row, depth_, icsFlags_);
    if (acts) {
      if (std::optional<Fault> fault = checkItemStack(*row, operands_, stack_))
        return malformed(code, *fault);
    }
    if (acts || row->fillsTableSlot) {
      if (std::optional<Fault> fault = checkText(*row)) return malformed(code, *fault);
    }
    source_.skip(operands_.rawBytes);
    if (int result = effect(code, acts); result >= 0) return result;
    if (acts) applyStack(code, *row);
    if (stack_.height() > run_.maxStackHeight) run_.maxStackHeight = stack_.height();
    return -1;
  }

  // Every text operand stands first in its item.
  std::optional<Fault> checkText(const ItemRow& row) {
    if (row.operands[0] != Operand::Text) return std::nullopt;
    return decodeText(operands_.text, operands_.encoding, characters_);
  }

  // What an item does besides its stack effect; a result ends the walk.
  int effect(uint32_t code, bool acts) {
    const uint32_t operand0 = operands_.value[0];
    switch (code) {
      case kDone:
        endSegment();
        break;
      case kIcsFlags:
        icsFlags_ = static_cast<uint8_t>(operand0);
        break;
      case kMachineId: {
        const MachineId id{
            static_cast<uint8_t>(operand0), static_cast<uint16_t>(operands_.value[1]),
            static_cast<uint16_t>(operands_.value[2]), static_cast<uint16_t>(operands_.value[3])};
        const MachineVerdict verdict =
            checkMachineId(id, options_.bounds, options_.runtimeVersionSet);
        if (verdict.result != kClean) return verdict.result;
        olderRelease_ = olderRelease_ || verdict.olderRelease;
        if (verdict.swapped) reader_.setSwapped(true);
        break;
      }
      case kTableOfContents:
        segmentLength_ = operands_.toc[0];
        if (operands_.toc[1] > symtabCapacity_) symtabCapacity_ = operands_.toc[1];
        break;
      case kBeginSymchk:
        return beginSymchk(code, operand0);
      case kEndSymchk:
        if (depth_ > 0) --depth_;
        break;
      case kClearGsyms:
        symtabFill_ = 0;
        break;
      case kClearSyms:
        fsymtabFill_ = 0;
        break;
      case kSymbol:
      case kArgumentSymbol:
        if (acts) return package(code, operands_.signedValue(1));
        break;
      case kSymget:
        if (acts) return index(code, operand0, fsymtabFill_);
        break;
      case kGensymget:
        if (acts) return index(code, operand0, symtabFill_);
        break;
      case kPackage:
        return fillSymtab(code);
      // The runtime loader gates these like any other item.
      case kGensymSymbol:
      case kDefglobal:
        if (acts || options_.loader == LoaderKind::Native) return fillSymtab(code);
        break;
      case kDeflocal:
        if (acts) ++fsymtabFill_;
        break;
      default:
        break;
    }
    return -1;
  }

  int beginSymchk(uint32_t code, uint32_t global) {
    if (depth_ > 0) {
      ++depth_;
      return -1;
    }
    if (options_.loader == LoaderKind::Native) {
      if (std::optional<Fault> fault = checkSymchkGlobal(global)) return malformed(code, *fault);
    }
    if (options_.failingSymchkGlobals.count(global) == 0) return -1;
    // The runtime loader tests globals 121 to 124 only.
    if (options_.loader == LoaderKind::Runtime &&
        (global < kFirstRuntimeSymchkGlobal || global > kSkipSegmentGlobal))
      return -1;
    if (global == kSkipSegmentGlobal && options_.loader == LoaderKind::Native) {
      const long target = segmentStart_ + static_cast<long>(segmentLength_);
      if (std::optional<Fault> fault = checkForwardSeek(target, source_.tell()))
        return malformed(code, *fault);
      source_.seek(target);
      endSegment();
      return -1;
    }
    ++depth_;
    return -1;
  }

  // The native loader grows symtab; the runtime loader's is sized by the table of contents.
  int fillSymtab(uint32_t code) {
    if (options_.loader == LoaderKind::Runtime) {
      if (std::optional<Fault> fault = checkTableStore(symtabFill_, symtabCapacity_))
        return malformed(code, *fault);
    }
    ++symtabFill_;
    return -1;
  }

  int package(uint32_t code, int32_t number) {
    const PackageRef ref = decodePackageNumber(number, 0);
    if (ref.kind == PackageRef::Kind::Bad) return kBadPackage;
    if (ref.kind == PackageRef::Kind::SymtabEntry) return index(code, ref.value, symtabFill_);
    return -1;
  }

  int index(uint32_t code, uint32_t entry, uint32_t fill) {
    if (std::optional<Fault> fault = checkTableIndex(entry, fill)) return malformed(code, *fault);
    return -1;
  }

  void applyStack(uint32_t code, const ItemRow& row) {
    const StackCount count = stackCount(row, operands_);
    const uint32_t n = operands_.value[0];
    const ValueShape oldTop = stack_.height() > 0 ? stack_.shapeAt(0) : ValueShape{};
    const ValueShape picked =
        row.stack.count == CountRule::PicksN ? stack_.shapeAt(n) : ValueShape{};
    stack_.items.resize(stack_.items.size() - count.pops);
    if (count.pushes == 0) return;
    ValueShape pushed{Shape::Other};
    switch (pushedBy(code)) {
      case Pushed::Other:
        break;
      case Pushed::Unknown:
        pushed = {Shape::Unknown};
        break;
      case Pushed::Nil:
        pushed = {Shape::Nil};
        break;
      case Pushed::Cons:
        pushed = {Shape::Cons};
        break;
      case Pushed::Symbol:
        pushed = {Shape::Symbol};
        break;
      case Pushed::CodeVector:
        pushed = {Shape::CodeVector};
        break;
      case Pushed::FunctionN:
        pushed = {Shape::Function, n};
        break;
      case Pushed::ClosureN:
        pushed = {Shape::Closure, n};
        break;
      case Pushed::ValueVectorN:
        pushed = {Shape::ValueVector, n};
        break;
      case Pushed::Macro:
        pushed = {Shape::Macro};
        break;
      case Pushed::ArrayHeader:
        pushed = {Shape::ArrayHeader};
        break;
      case Pushed::KeepTop:
        pushed = oldTop;
        break;
      case Pushed::Picked:
        pushed = picked;
        break;
      case Pushed::ListOfN:
        pushed = {n == 0 ? Shape::Nil : Shape::Cons};
        break;
      case Pushed::ListStarOfN:
        pushed = n == 1 ? oldTop : ValueShape{Shape::Cons};
        break;
    }
    stack_.items.push_back(pushed);
  }

  MemorySource source_;
  FaslReader reader_;
  const FaslModelOptions& options_;
  FaslModelRun run_;
  ModelStack stack_;
  ItemOperands operands_;
  std::vector<uint16_t> characters_;
  bool boundary_ = true;
  bool olderRelease_ = false;
  uint8_t icsFlags_ = 0;
  int32_t depth_ = 0;
  uint32_t symtabFill_ = 0;
  uint32_t fsymtabFill_ = 0;
  uint32_t symtabCapacity_ = 0;  // the runtime loader's symtab, kept for the whole call
  long segmentStart_ = 0;
  uint32_t segmentLength_ = 0;
};

}  // namespace

FaslModelRun walkFaslModel(std::span<const uint8_t> bytes, const FaslModelOptions& options) {
  return Model(bytes, options).run();
}

}  // namespace testing_support
