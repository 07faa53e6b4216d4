// The seeded mutator with a packing step (pack, sift or resize) among its
// scavenges: after the step the model learns where old objects moved, and
// the mutator's check compares the heap with it as after a scavenge.
#pragma once

#include "runtime/gc/packing.h"
#include "runtime/gc/tests/mutator_model.h"

namespace gc_test {

enum class PackingStep { Pack, Sift, Resize };

class PackingMutator : public RandomMutator {
 protected:
  static constexpr int32_t kResizeOtherBytes = 200000;
  static constexpr int32_t kResizeSymbolBytes = 600;

  // Runs the step, then the check.
  void packingStep(PackingStep step) {
    unprotect();
    ggcp_oldp_shift = ggcp_oldo_shift = 0;
    const uint32_t oldFence = GsNewFence;
    switch (step) {
      case PackingStep::Pack:
        ASSERT_EQ(ggc_pack(0), 0);
        break;
      case PackingStep::Sift:
        ggc_sift();
        scavenge(0);
        break;
      case PackingStep::Resize:
        gc_resize(kResizeOtherBytes, kResizeSymbolBytes);
        EXPECT_GE(openFreeBytes(), static_cast<uint32_t>(kResizeOtherBytes));
        break;
    }
    followMoves(oldFence);
    global_ = false;  // nothing old died: a scavenge's check
    scavenged_ = true;
    checkIfScavenged();
  }

  static uint32_t openFreeBytes() {
    uint32_t free = 0;
    for (gc::GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) free += area->freeBytes;
    return free;
  }

 private:
  // Old nodes whose object moved get their new address: a sifted object by
  // its forwarding header (the mutator makes no byte vectors), a cons of
  // the newest area by the pages' shift when its cons pages moved (a
  // discarded area shifts new space only).
  void followMoves(uint32_t oldFence) {
    const uint32_t newestStart = gc::areaAddress(GsLastOldArea);
    const uint32_t newestEnd = ggcp_oldo_shift != 0 ? GsLastOldArea->end + ggcp_oldp_shift : 0;
    for (const int32_t id : ids_) {
      Node& node = nodes_[id];
      if (node.address >= oldFence) continue;
      if (node.kind == Kind::Cons) {
        if (node.address >= newestStart && node.address < newestEnd)
          node.address -= ggcp_oldp_shift;
      } else if ((at(node.address) & 0xff) == gc::kSiftedType) {
        node.address = lisp::objectAddress(at(node.address + 4));
      }
    }
  }
};

}  // namespace gc_test
