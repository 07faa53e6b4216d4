// Hand-built old-space heaps for the global collector, and a model of the
// reachable graph to compare before and after a collection.
//
// The model walks from the root array over every reachable object, numbering
// objects in the order met; each object becomes its words with pointers
// replaced by those numbers and a function's entry word by its offset into
// the code vector. Two heaps hold the same graph exactly when their models
// are equal, wherever the objects lie. The walk also counts what lies in the
// open old areas, so the collection's reclaimed space can be predicted.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/gc/global_gc.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/tests/mutator_model.h"
#include "runtime/rs/object_layout.h"

namespace gc_test {

struct GraphModel {
  std::vector<std::vector<uint32_t>> objects;
  uint32_t openOtherBytes = 0;  // reachable other objects in the open old areas
  uint32_t openConses = 0;      // reachable conses there
  std::set<uint32_t> addresses;
};

inline bool inOpenOldSpace(uint32_t address) {
  return address >= gc::areaAddress(GsOpenOldAreaFence) && address < GsNewFence;
}

class GlobalHeap : public RandomMutator {
 protected:
  uint32_t oldSpaceBytes() const override { return oldBytes_; }

  // ---- makers (old space unless said) ----

  lispval oldObject(uint32_t header, int32_t length = -1) {
    const uint32_t lengthWord = length >= 0 ? lisp::makeFixnum(length) : nil();
    const uint32_t bytes = gc::extentOf(header, lengthWord).bytes;
    const uint32_t object = other_from_old_xsmp(bytes);
    EXPECT_LT(object, GsNewFence) << "old space is full";
    for (uint32_t word = 1; word < bytes / 4; ++word) at(object + 4 * word) = nil();
    at(object) = header;
    if (length >= 0) at(object + 4) = lengthWord;
    return lisp::pointerWord(object, Tag::Other);
  }
  lispval oldString(uint32_t characters) {
    const lispval string = oldObject(lisp::type_code::SimpleString, characters);
    for (uint32_t i = 0; i < characters; ++i)
      at<uint16_t>(lisp::objectAddress(string) + 8 + 2 * i) = static_cast<uint16_t>('a' + i % 26);
    return string;
  }
  lispval oldVector(const std::vector<lispval>& elements) {
    const lispval vector =
        oldObject(lisp::type_code::SimpleVector, static_cast<int32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i)
      at(lisp::objectAddress(vector) + 8 + 4 * i) = elements[i];
    return vector;
  }
  lispval oldCons(lispval car, lispval cdr) {
    const uint32_t cell = cons_from_old();
    EXPECT_NE(cell, 0u) << "no old cons page";
    at(cell) = car;
    at(cell + 4) = cdr;
    return lisp::pointerWord(cell, Tag::Cons);
  }
  lispval oldList(uint32_t length, lispval element) {
    lispval list = nil();
    for (uint32_t i = 0; i < length; ++i) list = oldCons(element, list);
    return list;
  }
  lispval oldCodeVector() {
    const lispval code = oldObject(kCodeVectorH8 << 8 | lisp::type_code::CodeVector);
    for (uint32_t word = 1; word < 8 * ((kCodeVectorH8 + 5) >> 2) / 4; ++word)
      at(lisp::objectAddress(code) + 4 * word) = 0x90909090;  // no-ops
    return code;
  }
  // A function whose entry lies `entryOffset` bytes into its code vector's
  // instructions (the entry word otherwise is a trampoline's address).
  lispval oldFunction(lispval code, uint32_t entry = 0) {
    const lispval function = oldObject(lisp::type_code::Function | kFunctionUpper << 16);
    const uint32_t address = lisp::objectAddress(function);
    at(address + 16) = code;
    at(address + 4) = entry != 0 ? entry : code - 14;
    at(address + 12) = lisp::makeFixnum(7);
    return function;
  }
  lispval oldSymbol(lispval value) {
    const uint32_t object = other_from_old_xsmp(sizeof(lisp::SymbolObject));
    at(object) = lisp::kSymbolTypeByte;
    for (uint32_t word = 1; word < 8; ++word) at(object + 4 * word) = nil();
    const lispval symbol = lisp::pointerWord(object, Tag::Symbol);
    lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue = value;
    return symbol;
  }

  void root(uint32_t index, lispval value) { rootArray_[index] = value; }

  // ---- areas ----

  // Old space grows by an area at the next scavenge (the aging area).
  void addOldArea() {
    const uint32_t areas = GsOldAreaCt;
    for (int tries = 0; tries < 3 && GsOldAreaCt == areas; ++tries) {
      GsOldExpansion = GsNewExpansion = 1;
      scavenge(0);
      unprotect();
    }
    ASSERT_EQ(GsOldAreaCt, areas + 1);
  }
  lispval stringIn(gc::GsOldArea* area, uint32_t characters) {
    const uint32_t bytes = 8 * ((characters + 8) >> 2);
    const uint32_t object = grab_old_other(area, bytes);
    EXPECT_NE(object, 0u);
    at(object) = lisp::headerWord(lisp::type_code::SimpleString);
    at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(characters));
    return lisp::pointerWord(object, Tag::Other);
  }

  // ---- the model ----

  GraphModel model() {
    GraphModel graph;
    std::map<uint32_t, uint32_t> ids;
    std::vector<lispval> order;
    auto ref = [&](uint32_t word) -> uint32_t {
      const Tag tag = lisp::tagOf(word);
      if (tag != Tag::Cons && tag != Tag::Other && tag != Tag::Symbol) return word;
      const uint32_t address = lisp::objectAddress(word);
      if (address < lisp_heap.base || address >= GsNewTop) return word;
      auto [found, added] = ids.emplace(address, static_cast<uint32_t>(ids.size()));
      if (added) order.push_back(word);
      return 0xf0000000u | found->second << 3 | static_cast<uint32_t>(tag);
    };
    std::vector<uint32_t> rootWords;
    for (const lispval word : rootArray_) rootWords.push_back(ref(word));
    graph.objects.push_back(rootWords);
    for (size_t next = 0; next < order.size(); ++next) {
      const lispval word = order[next];
      const uint32_t address = lisp::objectAddress(word);
      graph.addresses.insert(address);
      std::vector<uint32_t> words;
      if (lisp::isCons(word)) {
        words = {ref(at(address)), ref(at(address + 4))};
        if (inOpenOldSpace(address)) ++graph.openConses;
      } else {
        const uint32_t header = at(address);
        const gc::ObjectExtent extent = gc::extentOf(header, at(address + 4));
        EXPECT_NE(extent.row, nullptr) << "object at 0x" << std::hex << address;
        if (!extent.row) return graph;
        std::vector<char> value(extent.bytes / 4);
        for (int range = 0; range < 2; ++range)
          for (uint32_t i = 0; i < extent.wordCount[range]; ++i)
            value[extent.firstWord[range] + i] = 1;
        if (extent.row->codeSlot) value[gc::kCodeSlotWord] = 1;
        const bool function = (header & 0xff) == lisp::type_code::Function;
        for (uint32_t i = 0; i < extent.bytes / 4; ++i) {
          const uint32_t raw = at(address + 4 * i);
          if (function && i == 1)
            words.push_back(raw - lisp::objectAddress(at(address + 16)));
          else
            words.push_back(value[i] ? ref(raw) : raw);
        }
        if (inOpenOldSpace(address)) graph.openOtherBytes += extent.bytes;
      }
      graph.objects.push_back(words);
    }
    return graph;
  }

  // ---- what the open areas hold ----

  uint32_t openObjectBytes() {
    uint32_t bytes = 0;
    for (gc::GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
      bytes += area->frontier - area->firstObject;
    return bytes;
  }
  uint32_t openConsPages() {
    uint32_t pages = 0;
    for (gc::GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
      pages += (area->end - area->lowestConsPage) / gc::kPageBytes;
    return pages;
  }
  // Bytes of every open old area's pagemap, objects and cons pages, with its
  // layout words (the scavenger's scan positions left out).
  std::vector<uint8_t> openAreaBytes() {
    std::vector<uint8_t> bytes;
    for (gc::GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) {
      for (const uint32_t word : {area->size, area->lowestConsPage, area->firstObject,
                                  area->frontier, area->freeBytes, area->consPageCount})
        bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(&word),
                     reinterpret_cast<const uint8_t*>(&word) + 4);
      const auto* first = reinterpret_cast<const uint8_t*>(gc::areaAddress(area));
      bytes.insert(bytes.end(), first + sizeof(gc::GsOldArea), first + area->size);
    }
    return bytes;
  }

  // The page maps, read by the heap walkers' object search: every object of
  // every old area is found as an object start, every cons page is marked 1,
  // and the free pages between are unused.
  void checkPageMaps() {
    for (gc::GsOldArea* area = GsOldAreas; area; area = area->next) {
      const gc::ObjectRegion region = gc::regionOf(area);
      for (uint32_t object = area->firstObject; object < area->frontier;
           object += ausize_other(object))
        ASSERT_TRUE(gc::isObjectStart(region, object)) << "object 0x" << std::hex << object;
      for (uint32_t page = area->lowestConsPage; page < area->end; page += gc::kPageBytes)
        EXPECT_EQ(pagemapEntry(area, page), gc::kPageCons) << "page 0x" << std::hex << page;
      for (uint32_t page = gc::pageStart(area->frontier) + gc::kPageBytes;
           page < area->lowestConsPage; page += gc::kPageBytes)
        EXPECT_EQ(pagemapEntry(area, page), gc::kPageUnused) << "page 0x" << std::hex << page;
    }
  }

  // One global collection, then the whole heap and its page maps verified.
  void collect(uint32_t request = 0) {
    global_gc(request);
    unprotect();
    verifyHeap();
    checkPageMaps();
  }

  uint32_t oldBytes_ = 0x100000;
};

}  // namespace gc_test
