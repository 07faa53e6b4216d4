// The random mutator's operations and the check that runs after every
// scavenge (see mutator_fixture.h).
#pragma once

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "runtime/gc/tests/mutator_fixture.h"

namespace gc_test {

class RandomMutator : public MutatorHeap {
 protected:
  // Old space fills and grows within a short run.
  virtual uint32_t oldSpaceBytes() const { return gc::kMinimumSpaceBytes; }

  void SetUp() override {
    oldSize_ = oldSpaceBytes();
    MutatorHeap::SetUp();
    fenceAtStart_ = GsNewFence;
  }

  // ---- what the mutator does ----

  void run(uint32_t seed, uint32_t scavenges, uint32_t flags) {
    seed_ = seed;
    rng_.seed(seed);
    GsCtlFlags |= flags;
    runMore(scavenges);
  }
  // Goes on with the same sequence until `scavenges` more, or `until` holds.
  template <class Until = bool (*)()>
  void runMore(
      uint32_t scavenges, Until until = [] { return false; }) {
    const uint32_t start = ScavengeCt;
    while (ScavengeCt - start < scavenges && !until() && !::testing::Test::HasFailure()) step();
  }

  uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }

  Ref randomRef() {
    const uint32_t roll = below(8);
    if (roll == 0) return {Ref::Fixnum, static_cast<int32_t>(below(1000)) - 500};
    if (roll == 1 || ids_.empty()) return {};
    return {Ref::Node, ids_[below(static_cast<uint32_t>(ids_.size()))]};
  }

  void step() {
    const uint32_t roll = below(100);
    if (roll < 28)
      makeCons();
    else if (roll < 31)
      makeList(5 + below(150));
    else if (roll < 43)
      makeVector(Kind::Vector, below(7));
    else if (roll < 47)
      makeVector(Kind::Vector96, below(5));
    else if (roll < 51)
      makeLeaf(Kind::String, 2 + below(40));
    else if (roll < 55)
      makeLeaf(Kind::Bignum, 4 + 4 * below(6));
    else if (roll < 59)
      makeFunction();
    else if (roll < 63)
      makeVector(Kind::Weak, 1 + below(4));
    else if (roll < 66)
      makeFinalization();
    else if (roll < 68)
      makeWeakKeyTable(2 + below(4));
    else if (roll < 92)
      storeIntoField();
    else if (roll < 99)
      setRoot(below(static_cast<uint32_t>(roots_.size())), Ref{});
    else
      explicitScavenge();
  }

  // With globalShare_ n, one explicit collection in n is a global one.
  void explicitScavenge() {
    if (globalShare_ != 0 && below(globalShare_) == 0)
      global_gc(0);
    else
      scavenge(0);
    checkIfScavenged();
  }

  void checkIfScavenged() {
    if (scavenged_) check();
  }

  int32_t addNode(Kind kind, uint32_t address, size_t fields) {
    const int32_t id = nextId_++;
    nodes_.resize(nextId_);
    nodes_[id] = Node{kind, address, std::vector<Ref>(fields), kind == Kind::Finalization, true};
    ids_.push_back(id);
    return id;
  }

  // Stores into a root, or into a random field of a random object.
  void place(int32_t id) {
    if (below(3) == 0 || ids_.size() < 2)
      setRoot(below(static_cast<uint32_t>(roots_.size())), {Ref::Node, id});
    else
      storeInto(ids_[below(static_cast<uint32_t>(ids_.size()))], {Ref::Node, id});
  }

  void setRoot(uint32_t index, Ref ref) {
    roots_[index] = ref;
    rootSlot(index) = wordOf(ref);
  }
  uint32_t& rootSlot(uint32_t index) {
    return index < kRootSlots ? rootArray_[index] : global(kRootGlobals[index - kRootSlots]);
  }

  // The fields a mutator may write: all but a finalization's (its object is
  // set when it is made, its link belongs to the queue).
  bool writable(const Node& node, size_t field) const {
    if (node.kind == Kind::Finalization || node.kind == Kind::HashTable || node.frozen)
      return false;
    if (node.kind == Kind::WeakKey && field + 1 == node.fields.size()) return false;  // the table
    return field < node.fields.size();
  }

  void storeInto(int32_t id, Ref ref) {
    Node& node = nodes_[id];
    const size_t field = node.fields.empty() ? 0 : below(static_cast<uint32_t>(node.fields.size()));
    if (!writable(node, field)) {
      place0(ref);
      return;
    }
    if (node.kind == Kind::Function && field == 0) {
      // The code slot holds a code vector (or nil), with its entry word.
      if (ref.what == Ref::Node && nodes_[ref.value].kind != Kind::CodeVector) ref = {};
      at(node.address + 4) = ref.what == Ref::Node ? wordOf(ref) - 14 : 0;
    }
    node.fields[field] = ref;
    const uint32_t slot = slotsOf(node)[field];
    at(slot) = wordOf(ref);
    cnoteroot(slot);  // the write barrier's marking step
  }
  void place0(Ref ref) { setRoot(below(static_cast<uint32_t>(roots_.size())), ref); }

  void storeIntoField() {
    if (ids_.empty()) return;
    storeInto(ids_[below(static_cast<uint32_t>(ids_.size()))], randomRef());
  }

  void fill(int32_t id, size_t from) {
    Node& node = nodes_[id];
    const std::vector<uint32_t> slots = slotsOf(node);
    for (size_t field = from; field < node.fields.size(); ++field) {
      Ref ref = below(2) ? randomRef() : Ref{};
      if (node.kind == Kind::Function && field == 0) continue;
      node.fields[field] = ref;
      at(slots[field]) = wordOf(ref);
    }
  }

  void makeCons() {
    const uint32_t cell = newCons();
    checkIfScavenged();
    const int32_t id = addNode(Kind::Cons, cell, 2);
    fill(id, 0);
    place(id);
  }

  void makeList(uint32_t length) {
    Ref tail{};
    for (uint32_t i = 0; i < length; ++i) {
      const uint32_t cell = newCons();
      checkIfScavenged();
      const int32_t id = addNode(Kind::Cons, cell, 2);
      Node& node = nodes_[id];
      node.fields = {below(4) == 0 ? randomRef() : Ref{Ref::Fixnum, static_cast<int32_t>(i)}, tail};
      at(cell) = wordOf(node.fields[0]);
      at(cell + 4) = wordOf(node.fields[1]);
      tail = {Ref::Node, id};
      // Keep the list reachable while it grows: a scavenge may come at any cons.
      setRoot(kRootSlots - 1, tail);
    }
    if (tail.what == Ref::Node) place(tail.value);
  }

  void makeVector(Kind kind, uint32_t n) {
    const int32_t id = nextId_;
    const uint32_t object = newObject(kind, n, id);
    checkIfScavenged();
    addNode(kind, object, n);
    fill(id, 0);
    place(id);
  }

  void makeLeaf(Kind kind, uint32_t n) {
    const int32_t id = nextId_;
    const uint32_t object = newObject(kind, n, id);
    checkIfScavenged();
    addNode(kind, object, 0);
    place(id);
  }

  void makeFunction() {
    const int32_t codeId = nextId_;
    const uint32_t code = newObject(Kind::CodeVector, 0, codeId);
    checkIfScavenged();
    addNode(Kind::CodeVector, code, 0);
    setRoot(kRootSlots - 2, {Ref::Node, codeId});  // alive across the next allocation
    const int32_t id = nextId_;
    const uint32_t function = newObject(Kind::Function, 0, id);
    checkIfScavenged();
    addNode(Kind::Function, function, 8);
    Node& node = nodes_[id];
    node.fields[0] = {Ref::Node, codeId};
    at(function + 16) = wordOf(node.fields[0]);
    at(function + 4) = wordOf(node.fields[0]) - 14;
    fill(id, 1);
    place(id);
  }

  // A weak-key vector of n slots (its id, keys, the table) with its hash
  // table and the table's value vector.
  void makeWeakKeyTable(uint32_t n) {
    if (!replacementMade_) makeReplacementSymbol();
    const int32_t valuesId = nextId_;
    const uint32_t values = newObject(Kind::Vector, n, valuesId);
    checkIfScavenged();
    addNode(Kind::Vector, values, n);
    setRoot(kRootSlots - 1, {Ref::Node, valuesId});
    const int32_t keysId = nextId_;
    const uint32_t keys = newObject(Kind::WeakKey, n, keysId);
    checkIfScavenged();
    addNode(Kind::WeakKey, keys, n);
    setRoot(kRootSlots - 2, {Ref::Node, keysId});
    const int32_t tableId = nextId_;
    const uint32_t table = newObject(Kind::HashTable, 0, tableId);
    checkIfScavenged();
    addNode(Kind::HashTable, table, 3);
    setRoot(kRootSlots - 3, {Ref::Node, tableId});

    Node& tableNode = nodes_[tableId];
    tableNode.fields = {
        {Ref::Node, keysId}, {Ref::Fixnum, static_cast<int32_t>(n)}, {Ref::Node, valuesId}};
    const std::vector<uint32_t> tableSlots = slotsOf(tableNode);
    for (size_t i = 0; i < 3; ++i) at(tableSlots[i]) = wordOf(tableNode.fields[i]);
    Node& keysNode = nodes_[keysId];
    const std::vector<uint32_t> keySlots = slotsOf(keysNode);
    for (size_t i = 0; i + 1 < n; ++i) {
      keysNode.fields[i] = randomRef();
      at(keySlots[i]) = wordOf(keysNode.fields[i]);
    }
    keysNode.fields[n - 1] = {Ref::Node, tableId};
    at(keySlots[n - 1]) = wordOf(keysNode.fields[n - 1]);
    // The values are fixnums: a scavenge of two passes sees the value of a
    // dead key dropped by the first, which must not change what lives.
    Node& valuesNode = nodes_[valuesId];
    valuesNode.frozen = true;
    const std::vector<uint32_t> valueSlots = slotsOf(valuesNode);
    for (size_t i = 0; i < valuesNode.fields.size(); ++i) {
      valuesNode.fields[i] = {Ref::Fixnum, static_cast<int32_t>(i)};
      at(valueSlots[i]) = wordOf(valuesNode.fields[i]);
    }
    for (uint32_t i = 1; i <= 3; ++i) setRoot(kRootSlots - i, {});
    place(below(2) ? tableId : keysId);
  }

  // GlobWeakReplacement: an old symbol whose value dead keys receive.
  void makeReplacementSymbol() {
    const uint32_t symbol = other_from_old_xsmp(32);
    at(symbol) = lisp::kSymbolTypeByte;
    for (uint32_t word = 1; word < 8; ++word) at(symbol + 4 * word) = nil();
    lisp::objectOf<lisp::SymbolObject>(lisp::pointerWord(symbol, Tag::Symbol))->globalValue =
        lisp::makeFixnum(kReplacement);
    global(kWeakReplacementWord) = lisp::pointerWord(symbol, Tag::Symbol);
    replacementMade_ = true;
  }

  void makeFinalization() {
    const int32_t id = nextId_;
    const uint32_t object = newObject(Kind::Finalization, 0, id);
    checkIfScavenged();
    addNode(Kind::Finalization, object, 2);
    Ref target = randomRef();
    Node& node = nodes_[id];
    node.fields[0] = target;
    at(object + 4) = wordOf(target);
    place(id);
  }

  // ---- the check after a scavenge ----

  // Strong references of a node (weak slots and a pending finalization's
  // object are not).
  template <class Visit>
  void strongRefs(const Node& node, Visit visit) {
    for (size_t field = 0; field < node.fields.size(); ++field)
      if (!isWeakField(node, field) && node.fields[field].what == Ref::Node)
        visit(node.fields[field].value);
  }

  void closure(std::vector<char>& live, std::vector<int32_t> work) {
    while (!work.empty()) {
      const int32_t id = work.back();
      work.pop_back();
      if (live[id]) continue;
      live[id] = 1;
      strongRefs(nodes_[id], [&](int32_t target) { work.push_back(target); });
    }
  }

  // Objects that count as roots because they never die in the collection
  // just run: old ones in a scavenge, those below the open-area fence in a
  // global collection.
  uint32_t stayingBelow() const {
    return global_ ? gc::areaAddress(GsOpenOldAreaFence) : fenceAtStart_;
  }

  // What must survive (by id), and the finalizations that must trigger; the
  // weak keys that die are settled. A global collection opens with a
  // scavenge: what that scavenge queues stays queued and the keys it finds
  // dead are settled as it settles them, then the old areas above the fence
  // are collected.
  std::vector<char> expectLive(std::set<int32_t>& triggered) {
    if (global_) settleWeakKeys(expectLiveBelow(triggered, fenceAtStart_));
    const std::vector<char> live = expectLiveBelow(triggered, stayingBelow());
    settleWeakKeys(live);
    return live;
  }

  std::vector<char> expectLiveBelow(std::set<int32_t>& triggered, uint32_t staying) {
    std::vector<int32_t> work(triggered.begin(), triggered.end());  // queued already
    for (const Ref& ref : roots_)
      if (ref.what == Ref::Node) work.push_back(ref.value);
    for (const int32_t id : ids_)
      if (nodes_[id].address < staying) work.push_back(id);
    std::vector<char> live(nodes_.size()), checked(nodes_.size());
    closure(live, work);
    for (;;) {
      std::vector<int32_t> revive;
      for (const int32_t id : ids_) {
        Node& node = nodes_[id];
        if (!live[id] || node.kind != Kind::Finalization || !node.pending || checked[id]) continue;
        checked[id] = 1;
        const Ref& target = node.fields[0];
        if (target.what == Ref::Node && !live[target.value]) {
          triggered.insert(id);
          revive.push_back(target.value);
        }
      }
      if (revive.empty()) return live;
      for (const int32_t id : triggered) nodes_[id].pending = false;
      closure(live, revive);
    }
  }

  void check() {
    scavenged_ = false;
    SCOPED_TRACE("seed " + std::to_string(seed_) + ", scavenge " + std::to_string(ScavengeCt));
    std::set<int32_t> triggered;
    const std::vector<char> live = expectLive(triggered);

    std::vector<uint32_t> moved(nodes_.size());  // new address by id; 0: not found
    std::unordered_map<uint32_t, int32_t> byAddress;
    std::vector<int32_t> work;
    auto compare = [&](uint32_t slot, Ref& ref, bool weak) {
      const lispval value = at(slot);
      if (ref.what == Ref::Node && weak && !live[ref.value]) ref = {};
      if (ref.what != Ref::Node) {
        EXPECT_EQ(value, wordOf(ref))
            << "slot 0x" << std::hex << slot << " of object " << std::dec << currentId_;
        return;
      }
      const Node& node = nodes_[ref.value];
      ASSERT_EQ(lisp::tagOf(value), tagOf(node.kind)) << "slot 0x" << std::hex << slot;
      const uint32_t address = lisp::objectAddress(value);
      if (moved[ref.value] != 0) {
        EXPECT_EQ(address, moved[ref.value]) << "sharing lost for object " << ref.value;
        return;
      }
      EXPECT_TRUE(byAddress.emplace(address, ref.value).second)
          << "two objects at 0x" << std::hex << address;
      ASSERT_TRUE(address < GsNewFence ||
                  (address >= GsNewAllocationArea.start && address < GsNewAllocationArea.end))
          << "object " << ref.value << " at 0x" << std::hex << address;
      moved[ref.value] = address;
      if (node.kind != Kind::Cons) {
        ASSERT_EQ(at(address) & 0xff, typeOf(node.kind)) << "object " << ref.value;
        EXPECT_EQ(at(address + idWordOffset(node.kind)), lisp::makeFixnum(ref.value));
      }
      work.push_back(ref.value);
    };

    for (uint32_t i = 0; i < roots_.size(); ++i)
      compare(gc::addressOf(&rootSlot(i)), roots_[i], false);
    const uint32_t staying = stayingBelow();
    for (const int32_t id : ids_) {
      const Node& node = nodes_[id];
      if (node.address >= staying) continue;
      Ref self{Ref::Node, id};
      uint32_t probe = lisp::pointerWord(node.address, tagOf(node.kind));
      compare(gc::addressOf(&probe), self, false);
    }
    // The finalization queue is a root too: each element by its identity.
    for (lispval list = global(kFinalizeQueueWord); lisp::isOther(list);
         list = at(lisp::objectAddress(list) + 12)) {
      const int32_t id = lisp::fixnumValue(at(lisp::objectAddress(list) + 8));
      ASSERT_TRUE(id > 0 && id < static_cast<int32_t>(nodes_.size()) && nodes_[id].exists);
      Ref self{Ref::Node, id};
      uint32_t probe = list;
      compare(gc::addressOf(&probe), self, false);
    }
    while (!work.empty()) {
      const int32_t id = work.back();
      work.pop_back();
      Node& node = nodes_[id];
      currentId_ = id;
      Node located = node;
      located.address = moved[id];
      const std::vector<uint32_t> slots = slotsOf(located);
      for (size_t field = 0; field < node.fields.size(); ++field) {
        if (node.kind == Kind::Finalization && field == 1) continue;  // the queue link
        compare(slots[field], node.fields[field], isWeakField(node, field));
        if (::testing::Test::HasFatalFailure()) return;
      }
    }

    // Every live object was found; the rest of new space died.
    // What is still reachable once weak-key tables dropped their values
    // (objects only those values held were copied, then left unreferenced).
    std::vector<int32_t> reachableFrom(triggered.begin(), triggered.end());
    for (const Ref& ref : roots_)
      if (ref.what == Ref::Node) reachableFrom.push_back(ref.value);
    for (const int32_t id : ids_)
      if (nodes_[id].address < staying) reachableFrom.push_back(id);
    std::vector<char> reachable(nodes_.size());
    closure(reachable, reachableFrom);
    for (const int32_t id : ids_) {
      if (reachable[id]) {
        EXPECT_NE(moved[id], 0u) << "object " << id << " (kind "
                                 << static_cast<int>(nodes_[id].kind) << ") lost" << referrers(id);
      }
    }
    checkFinalizeQueue(triggered, moved);
    checkEntries(moved);
    std::vector<int32_t> survivors;
    for (const int32_t id : ids_) {
      if (moved[id] != 0) {
        nodes_[id].address = moved[id];
        survivors.push_back(id);
      } else {
        nodes_[id] = Node{};
      }
    }
    ids_ = std::move(survivors);

    verifyHeap();
    fenceAtStart_ = GsNewFence;
    if (global_) ++globalChecks_;
    global_ = false;
    protectEmptiedSemispace();
  }

  // Dead keys of a live weak-key vector get the replacement value; when its
  // table lives and names it as its key vector, the count drops and the
  // value at the key's index becomes nil. A dead table's slot becomes nil.
  void settleWeakKeys(const std::vector<char>& live) {
    for (const int32_t id : ids_) {
      Node& keys = nodes_[id];
      if (!live[id] || keys.kind != Kind::WeakKey) continue;
      Ref& tableRef = keys.fields.back();
      const bool tableAlive = tableRef.what == Ref::Node && live[tableRef.value];
      if (tableRef.what == Ref::Node && !tableAlive) tableRef = {};
      for (size_t i = 0; i + 1 < keys.fields.size(); ++i) {
        Ref& key = keys.fields[i];
        if (key.what != Ref::Node || live[key.value]) continue;
        key = {Ref::Fixnum, kReplacement};
        if (!tableAlive) continue;
        Node& table = nodes_[tableRef.value];
        if (table.fields[0] != Ref{Ref::Node, id}) continue;
        if (table.fields[1].what == Ref::Fixnum) --table.fields[1].value;
        if (table.fields[2].what == Ref::Node) nodes_[table.fields[2].value].fields[i] = {};
      }
    }
  }

  // Who refers to an object, for failure reports.
  std::string referrers(int32_t target) {
    std::string text;
    for (const int32_t id : ids_)
      for (size_t f = 0; f < nodes_[id].fields.size(); ++f)
        if (nodes_[id].fields[f] == Ref{Ref::Node, target})
          text += "; from " + std::to_string(id) + " kind " +
                  std::to_string(static_cast<int>(nodes_[id].kind)) + " field " + std::to_string(f);
    for (size_t r = 0; r < roots_.size(); ++r)
      if (roots_[r] == Ref{Ref::Node, target}) text += "; root " + std::to_string(r);
    return text;
  }

  void checkFinalizeQueue(const std::set<int32_t>& triggered, const std::vector<uint32_t>& moved) {
    std::map<uint32_t, int32_t> finalizationAt;
    for (const int32_t id : triggered) finalizationAt[moved[id]] = id;
    std::set<int32_t> queued;
    lispval list = global(kFinalizeQueueWord);
    while (list != nil()) {
      ASSERT_TRUE(lisp::isOther(list));
      const uint32_t header = lisp::objectAddress(list);
      const auto found = finalizationAt.find(header);
      ASSERT_NE(found, finalizationAt.end()) << "queued finalization not triggered";
      EXPECT_TRUE(queued.insert(found->second).second) << "queued twice";
      EXPECT_FALSE(at(header - 4) & gc::stamp::kFinalizationPending);
      list = at(header + 12);
      at(header + 12) = nil();  // Lisp runs it and unlinks it
    }
    EXPECT_EQ(queued, triggered);
    global(kFinalizeQueueWord) = nil();
  }

  void checkEntries(const std::vector<uint32_t>& moved) {
    for (const int32_t id : ids_) {
      const uint32_t address = moved[id];
      const Node& node = nodes_[id];
      if (address == 0) continue;
      if (node.kind != Kind::Function || node.fields[0].what != Ref::Node) continue;
      EXPECT_EQ(at(address + 4), at(address + 16) - 14) << "entry of function " << id;
    }
  }

  // ---- the whole heap ----

  static MutatorHeap* self() { return current; }
  static void verifyValue(uint32_t slot) {
    const int code = verify_slot(slot, 0, 1);
    namespace vc = gc::verify_code;
    const bool good =
        code == vc::kImmediate || code == vc::kSpecial || code == vc::kCons || code == vc::kObject;
    if (!good)
      ADD_FAILURE() << "slot 0x" << std::hex << slot << " holds 0x" << at(slot) << " (code "
                    << std::dec << code << ")";
    const lispval value = at(slot);
    const bool pointer = (value & 3) != 0 && (value & 7) != 6;
    const bool inOldArea = slot >= gc::areaAddress(GsOldAreas) && slot < GsNewFence;
    if (inOldArea && pointer && value >= GsNewFenceLV && value < GsNewTopLV &&
        !gc::rootBitSet(slot))
      ADD_FAILURE() << "old slot 0x" << std::hex << slot << " points into new space (0x" << value
                    << ") on an unmarked page";
  }
  static uint32_t verifyCons(uint32_t cell) {
    verifyValue(cell);
    verifyValue(cell + 4);
    return 0;
  }
  static uint32_t verifyObject(uint32_t object) {
    static const gc::SlotTreatment treatment{verifyValue, verifyValue};
    scan_other_item(object, &treatment);
    return 0;
  }
  void verifyHeap() {
    gsgc_scan_all(verifyCons, verifyObject, 1, 1, 1);
    for (uint32_t i = 0; i < roots_.size(); ++i) verifyValue(gc::addressOf(&rootSlot(i)));
  }

  static void beforeScavenge(uint32_t) {}

  static constexpr int32_t kReplacement = 4242;
  static constexpr int32_t kWeakReplacementWord = gc::global::kWeakReplacement;

  uint32_t globalShare_ = 0;
  uint32_t globalChecks_ = 0;
  bool replacementMade_ = false;
  int32_t currentId_ = 0;  // the object whose fields are being compared
  std::mt19937 rng_;
  uint32_t seed_ = 0;
  int32_t nextId_ = 1;
  std::vector<int32_t> ids_;
  uint32_t fenceAtStart_ = 0;
};

}  // namespace gc_test
