// A seeded random mutator over a real heap, with a C++ shadow model of the
// object graph, checked after every scavenge.
//
// The model knows every object the mutator made (conses, simple vectors,
// type-96 vectors, strings, bignums, code vectors, functions, weak vectors
// and finalizations), its fields as references to other model objects, and
// which objects lie in old space (old objects never die in a scavenge and
// hold what they point to alive). After a scavenge the heap is walked from
// the roots and from every old object in step with the model: each object
// must match its kind and identity number, sharing must be preserved, weak
// slots must be nil exactly when only weak references remained, and
// triggered finalizations must be queued exactly once. Then the whole heap
// is verified: every slot holds a live value, none points into the
// from-space, and every old slot that points into new space lies on a page
// whose root-set bit is set. The emptied semispace is made inaccessible
// until the next scavenge, so a stale pointer faults at once.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/external_slot_managers.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_verify.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_heap_fixture.h"

namespace gc_test {

using lisp::lispval;
using lisp::Tag;

enum class Kind {
  Cons,
  Vector,
  Vector96,
  String,
  Bignum,
  CodeVector,
  Function,
  Weak,
  Finalization,
  WeakKey,    // keys, then the hash table in the last slot
  HashTable,  // its key vector, count and value vector
};

// A field: a fixnum, nil, or a model object.
struct Ref {
  enum { Fixnum, Nil, Node } what = Nil;
  int32_t value = 0;  // the fixnum, or the object's id
  bool operator==(const Ref&) const = default;
};

struct Node {
  Kind kind = Kind::Cons;
  uint32_t address;         // header (cons: cell) address as of the last check
  std::vector<Ref> fields;  // value fields in slot order
  bool pending = false;     // finalization not yet triggered
  bool exists = false;      // made and not yet found dead
  bool frozen = false;      // fields the mutator leaves alone (a table's value vector)
};

inline constexpr uint32_t kRootSlots = 48;
inline constexpr int32_t kRootGlobals[] = {-0x15 - 4 * 100, -0x15 - 4 * 101, -0x15 - 4 * 102};
inline constexpr int32_t kBeforeHooks = -0x15 - 4 * 311;
inline constexpr int32_t kAfterHooks = -0x15 - 4 * 312;
inline constexpr uint32_t kFinalizationHeader = 0x360;  // type 96, three slots
inline constexpr uint32_t kFunctionUpper = 2;           // header >> 16: 6 cells, values 3, 5..10
inline constexpr uint32_t kCodeVectorH8 = 27;           // 8 cells

class MutatorHeap : public LispHeap {
 public:
  static MutatorHeap* current;

 protected:
  void SetUp() override {
    LispHeap::SetUp();
    current = this;
    for (auto& slot : rootArray_) slot = nil();
    for (int32_t word : kRootGlobals) global(word) = nil();
    handle_ = register_external_slot_manager(presentRoots, rootArray_);
    ASSERT_NE(handle_, nullptr);
    global(kFinalizeQueueWord) = nil();
    installHooks();
  }
  void TearDown() override {
    unprotect();
    unregister_external_slot_manager(handle_);
    current = nullptr;
    LispHeap::TearDown();
  }

  // ---- roots and hooks ----

  static void presentRoots(gsgc_slot_routine slot, void* data) {
    auto* roots = static_cast<lispval*>(data);
    for (uint32_t i = 0; i < kRootSlots; ++i) slot(gc::addressOf(&roots[i]));
  }
  // The hooks' argument is 1 for a global collection.
  static void beforeHook(uint32_t global) {
    current->unprotect();
    current->global_ = current->global_ || global != 0;
  }
  static void afterHook() { current->scavenged_ = true; }

  // A one-element list holding a raw vector (type 127) with the hook's address.
  lispval hookList(uint32_t address) {
    const uint32_t vector = other_from_new_xsmp(12);
    at(vector) = lisp::headerWord(127);
    at(vector + 4) = lisp::makeFixnum(1);
    at(vector + 8) = address;
    const uint32_t cell = cons_from_new_page();
    at(cell) = lisp::pointerWord(vector, Tag::Other);
    at(cell + 4) = nil();
    return lisp::pointerWord(cell, Tag::Cons);
  }
  void installHooks() {
    global(kBeforeHooks) = hookList(gc::addressOf(reinterpret_cast<void*>(&beforeHook)));
    global(kAfterHooks) = hookList(gc::addressOf(reinterpret_cast<void*>(&afterHook)));
  }

  void protectEmptiedSemispace() {
    protected_ = GsNewScavengeToArea;
    protectedBytes_ = GsNewSemiSize;
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(protected_), protectedBytes_, PROT_NONE), 0);
  }
  void unprotect() {
    if (protected_ == 0) return;
    mprotect(reinterpret_cast<void*>(protected_), protectedBytes_,
             PROT_READ | PROT_WRITE | PROT_EXEC);
    protected_ = 0;
  }

  // ---- allocation (each may scavenge; the check then runs on a parsable heap) ----

  uint32_t newCons() {
    uint32_t& fill = global(gc::global::kConsFill);
    uint32_t cell;
    if (fill < global(gc::global::kConsLimit)) {
      cell = fill - gc::kConsWordBias;
      fill += gc::kConsCellBytes;
    } else {
      cell = cons_from_new_page();
    }
    at(cell) = at(cell + 4) = nil();
    return cell;
  }

  // Header and identity written, every value field nil.
  uint32_t newObject(Kind kind, uint32_t n, int32_t id) {
    uint32_t bytes = 0, header = 0;
    switch (kind) {
      case Kind::Vector:
      case Kind::Weak:
      case Kind::WeakKey:
        bytes = 8 + 4 * (n + 1);
        header = lisp::headerWord(lisp::type_code::SimpleVector);
        break;
      case Kind::HashTable:
        bytes = 48;
        header = lisp::headerWord(lisp::type_code::HashTable);
        break;
      case Kind::Vector96:
        bytes = 4 + 4 * (n + 1);
        header = (n + 1) << 8 | lisp::type_code::LispVector;
        break;
      case Kind::Finalization:
        bytes = 16;
        header = kFinalizationHeader;
        break;
      case Kind::String:
        bytes = 8 * ((n + 8) >> 2);
        header = lisp::headerWord(lisp::type_code::SimpleString);
        break;
      case Kind::Bignum:
        bytes = 8 * ((n + 5) >> 2);
        header = lisp::type_code::Bignum | n << 16;
        break;
      case Kind::CodeVector:
        bytes = 8 * ((kCodeVectorH8 + 5) >> 2);
        header = kCodeVectorH8 << 8 | lisp::type_code::CodeVector;
        break;
      case Kind::Function:
        bytes = 8 * ((kFunctionUpper >> 1) + 5);
        header = lisp::type_code::Function | kFunctionUpper << 16;
        break;
      case Kind::Cons:
        break;
    }
    const uint32_t object = other_from_new_xsmp(bytes);
    for (uint32_t word = 0; word < bytes / 4; ++word) at(object + 4 * word) = nil();
    at(object) = header;
    const lispval idWord = lisp::makeFixnum(id);
    switch (kind) {
      case Kind::Vector:
      case Kind::Weak:
      case Kind::WeakKey:
        at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(n + 1));
        at(object + 8) = idWord;
        break;
      case Kind::HashTable:
        at(object + 8) = idWord;
        break;
      case Kind::Vector96:
        at(object + 4) = idWord;
        break;
      case Kind::Finalization:
        at(object + 8) = idWord;
        break;
      case Kind::String:
        at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(n));
        at(object + 8) = idWord;
        break;
      case Kind::Bignum:
      case Kind::CodeVector:
        at(object + 4) = idWord;
        break;
      case Kind::Function:
        at(object + 4) = 0;  // entry, set with the code vector
        at(object + 8) = idWord;
        break;
      case Kind::Cons:
        break;
    }
    if (kind == Kind::Weak || kind == Kind::Finalization || kind == Kind::WeakKey) {
      const uint32_t half = kind == Kind::Weak      ? gc::stamp::kWeakVectorHalf
                            : kind == Kind::WeakKey ? gc::stamp::kWeakKeyVectorHalf
                                                    : gc::stamp::kFinalizationHalf;
      at(object - 4) |= half << gc::stamp::kFlagHalfShift;
    }
    return object;
  }

  // Heap slots of a node's value fields, in model order.
  static std::vector<uint32_t> slotsOf(const Node& node) {
    std::vector<uint32_t> slots;
    const uint32_t a = node.address;
    switch (node.kind) {
      case Kind::Cons:
        slots = {a, a + 4};
        break;
      case Kind::Vector:
      case Kind::Weak:
      case Kind::WeakKey:
        for (size_t i = 0; i < node.fields.size(); ++i) slots.push_back(a + 12 + 4 * i);
        break;
      case Kind::HashTable:
        slots = {a + 4, a + 28, a + 32};  // key vector, count, value vector
        break;
      case Kind::Vector96:
        for (size_t i = 0; i < node.fields.size(); ++i) slots.push_back(a + 8 + 4 * i);
        break;
      case Kind::Finalization:
        slots = {a + 4, a + 12};  // the object, the queue link
        break;
      case Kind::Function:
        slots = {a + 16, a + 12, a + 20, a + 24, a + 28, a + 32, a + 36, a + 40};
        break;  // code vector, word 3, words 5..10
      default:
        break;
    }
    return slots;
  }
  static Tag tagOf(Kind kind) { return kind == Kind::Cons ? Tag::Cons : Tag::Other; }
  static uint8_t typeOf(Kind kind) {
    switch (kind) {
      case Kind::Vector:
      case Kind::Weak:
      case Kind::WeakKey:
        return lisp::type_code::SimpleVector;
      case Kind::HashTable:
        return lisp::type_code::HashTable;
      case Kind::Vector96:
      case Kind::Finalization:
        return lisp::type_code::LispVector;
      case Kind::String:
        return lisp::type_code::SimpleString;
      case Kind::Bignum:
        return lisp::type_code::Bignum;
      case Kind::CodeVector:
        return lisp::type_code::CodeVector;
      case Kind::Function:
        return lisp::type_code::Function;
      case Kind::Cons:
        break;
    }
    return 0;
  }
  static uint32_t idWordOffset(Kind kind) {
    switch (kind) {
      case Kind::Vector:
      case Kind::Weak:
      case Kind::WeakKey:
      case Kind::HashTable:
      case Kind::Finalization:
      case Kind::String:
      case Kind::Function:
        return 8;
      default:
        return 4;
    }
  }
  bool isWeakField(const Node& node, size_t field) const {
    return node.kind == Kind::Weak || node.kind == Kind::WeakKey ||
           (node.kind == Kind::Finalization && field == 0 && node.pending);
  }

  lispval wordOf(const Ref& ref) {
    switch (ref.what) {
      case Ref::Fixnum:
        return lisp::makeFixnum(ref.value);
      case Ref::Nil:
        return nil();
      case Ref::Node: {
        const Node& node = nodes_[ref.value];
        return lisp::pointerWord(node.address, tagOf(node.kind));
      }
    }
    return nil();
  }
  bool isOld(const Node& node) const { return node.address < GsNewFence; }

  static inline constexpr int32_t kFinalizeQueueWord = gc::global::kFinalizeQueue;

  lispval rootArray_[kRootSlots] = {};
  void* handle_ = nullptr;
  uint32_t protected_ = 0, protectedBytes_ = 0;
  bool scavenged_ = false;
  bool global_ = false;                             // a global collection ran since the last check
  std::vector<Node> nodes_ = std::vector<Node>(1);  // by id; id 0 unused
  std::vector<Ref> roots_ = std::vector<Ref>(kRootSlots + std::size(kRootGlobals));
};

inline MutatorHeap* MutatorHeap::current = nullptr;

}  // namespace gc_test
