// The long run of the scavenger's random mutator: many seeds, thousands of
// scavenges each (with global collections among them in GlobalStress), every one checked against
// the shadow model and the heap verifier (see runtime/gc/tests/mutator_fixture.h); PackingStress
// packs, sifts or resizes the heap now and then. Run by hand:
//   build/bin/bench_scavenger_stress [--gtest_filter=...]
// SCAVENGER_STRESS_SCAVENGES sets the scavenges per seed (default 1000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "runtime/gc/tests/mutator_model.h"
#include "runtime/gc/tests/packing_mutator.h"

namespace {

using gc_test::RandomMutator;
namespace flag = gc::flag;

uint32_t scavengesPerSeed() {
  const char* text = std::getenv("SCAVENGER_STRESS_SCAVENGES");
  return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 1000;
}

class ScavengerStress : public RandomMutator, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ScavengerStress, ManyScavengesMatchTheModel) {
  const uint32_t seed = GetParam();
  const uint32_t flags =
      (seed % 2 ? flag::kAdvanceGeneration : 0) | (seed % 3 == 0 ? flag::kHideNewSpace : 0);
  GsGenSpread = 1 + static_cast<int32_t>(seed % 3);
  run(seed, scavengesPerSeed(), flags);
  EXPECT_GE(ScavengeCt, scavengesPerSeed());
}

INSTANTIATE_TEST_SUITE_P(Seeds, ScavengerStress, ::testing::Range(100u, 106u));

// The same with a global collection in one explicit collection of three
// (or of fifteen, so that old space grows into more areas between them),
// and automatic ones under flag g.
class GlobalStress : public RandomMutator, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(GlobalStress, GlobalCollectionsAmongScavengesMatchTheModel) {
  const uint32_t seed = GetParam();
  const uint32_t flags = (seed % 2 ? flag::kAdvanceGeneration | flag::kAutoGlobal : 0) |
                         (seed % 3 == 0 ? flag::kHideNewSpace : 0);
  GsGenSpread = 1 + static_cast<int32_t>(seed % 3);
  globalShare_ = seed % 4 < 2 ? 3 : 15;
  run(seed, scavengesPerSeed(), flags);
  EXPECT_GT(globalChecks_, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, GlobalStress, ::testing::Range(200u, 206u));

// Packing steps among scavenges: every 25 scavenges one of pack, sift and
// resize in turn, each followed by the check.
class PackingStress : public gc_test::PackingMutator,
                      public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PackingStress, PackingStepsAmongScavengesMatchTheModel) {
  constexpr uint32_t kScavengesBetweenSteps = 25;
  constexpr gc_test::PackingStep kSteps[] = {gc_test::PackingStep::Pack, gc_test::PackingStep::Sift,
                                             gc_test::PackingStep::Resize};
  const uint32_t seed = GetParam();
  GsGenSpread = 1 + static_cast<int32_t>(seed % 2);
  run(seed, kScavengesBetweenSteps, flag::kAdvanceGeneration);
  for (uint32_t done = kScavengesBetweenSteps, step = seed % 3;
       done < scavengesPerSeed() && !HasFailure(); done += kScavengesBetweenSteps, ++step) {
    packingStep(kSteps[step % 3]);
    runMore(kScavengesBetweenSteps);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PackingStress, ::testing::Range(300u, 306u));

}  // namespace
