// What the tests of both ramp linkage descriptions share: the blocks' path
// and a fixture base that runs a build's parameter callback and finds the
// records of its tree joints by name. Each test's SetUp sets mechanism_.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "mech_engine_common/engine_mechanism.h"
#include "sim/mechanism/ramp_mechanism.h"

namespace linkage_test {

inline constexpr const char* kPath =
    "zorvath/RampTestWrapper/MotorControllerAndRampPlantModel/Plant Model/RampLinkage/";

// Both builds have 240 parameters.
using Parameters = std::array<double, sim::kMechanismParameterCount>;

class LinkageDescriptionTest : public ::testing::Test {
 protected:
  // The error buffer is filled with 'x' first, so a test sees every byte the
  // callback writes.
  bool runCallback(const Parameters& parameters, int limit = sim::kMechanismErrorTextLimit) {
    std::memset(error_, 'x', sizeof error_);
    return mechanism_->parameterCallback(mechanism_, parameters.data(), error_, limit);
  }

  const double* table() const { return mechanism_->descriptionTable; }

  const EngineJoint* treeJoint(const char* name) const {
    const std::string wanted = std::string(kPath) + name;
    for (int c = 0; c < mechanism_->numChains; ++c)
      for (int j = 0; j < mechanism_->chains[c]->numJoints; ++j)
        if (wanted == mechanism_->chains[c]->joints[j]->blockName)
          return mechanism_->chains[c]->joints[j];
    return nullptr;
  }

  EngineMechanism* mechanism_ = nullptr;
  char error_[sim::kMechanismErrorBufferSize + 1];
};

}  // namespace linkage_test
