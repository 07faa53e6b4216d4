// The scavenger under a seeded random mutator: after every scavenge the
// heap must match the shadow model and pass the verifier, with the emptied
// semispace inaccessible (see mutator_fixture.h). The long multi-seed run is
// in bench/runtime.
#include <gtest/gtest.h>

#include "runtime/gc/tests/mutator_model.h"

namespace {

using gc_test::RandomMutator;
namespace flag = gc::flag;

struct MutatorCase {
  uint32_t seed;
  uint32_t flags;
};

class ScavengerMutator : public RandomMutator, public ::testing::WithParamInterface<MutatorCase> {};

TEST_P(ScavengerMutator, HeapMatchesTheModelAfterEveryScavenge) {
  GsGenSpread = 1;  // tenure early: old space fills and grows within the run
  run(GetParam().seed, 150, GetParam().flags);
  EXPECT_GE(ScavengeCt, 150u);
  // With generations advancing, tenures outgrow the first old area.
  if (GetParam().flags & flag::kAdvanceGeneration) {
    runMore(150, [] { return GsOldAreaCt > 1; });
    EXPECT_GT(GsOldAreaCt, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, ScavengerMutator,
    ::testing::Values(MutatorCase{1, flag::kAdvanceGeneration}, MutatorCase{2, 0},
                      MutatorCase{3, flag::kAdvanceGeneration | flag::kHideNewSpace}),
    [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace
