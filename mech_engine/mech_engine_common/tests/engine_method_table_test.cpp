#include "mech_engine_common/engine_method_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "mech_engine_common/engine_error.h"
#include "test_allocator.h"

namespace {

using testing::ElementsAreArray;

TEST(EngineMethodIds, ListOrderIsTheInterface) {
  EXPECT_EQ(engineMethodNames.size(), 513u);
  EXPECT_EQ(engineMethodNames[0], "UNKNOWN_METHOD");
  EXPECT_EQ(static_cast<int>(EngineMethodId::acceleration2D), 1);
  EXPECT_EQ(static_cast<int>(EngineMethodId::createEngineBody), 99);
  EXPECT_EQ(static_cast<int>(EngineMethodId::nonlinearSolver), 263);
  // The one place where the list is not sorted.
  EXPECT_EQ(engineMethodNames[290], "vfBlock3Jacobian3D");
  EXPECT_EQ(engineMethodNames[291], "pointCurveConstraintAccelerationEquations2D");
  EXPECT_EQ(static_cast<int>(EngineMethodId::zeroRevoluteVelocityEquations3D), 512);
}

TEST(EngineMethodIds, RolesGiveTheVariantOfEachDimension) {
  struct Row {
    EngineMethodRole role;
    EngineMethodId in2D, in3D;
  } const rows[] = {
      {EngineMethodRole::acceleration, EngineMethodId::acceleration2D,
       EngineMethodId::acceleration3D},
      {EngineMethodRole::nonlinearSolver, EngineMethodId::nonlinearSolver,
       EngineMethodId::nonlinearSolver},
      {EngineMethodRole::xyTransformBody, EngineMethodId::xyTransformBody2D,
       EngineMethodId::UNKNOWN_METHOD},
      {EngineMethodRole::scaleQuaternions, EngineMethodId::UNKNOWN_METHOD,
       EngineMethodId::scaleQuaternions3D},
  };
  for (const Row& row : rows) {
    const EngineMethodRoleRow& entry = engineMethodRoles[static_cast<int>(row.role)];
    EXPECT_EQ(entry.method2D, row.in2D);
    EXPECT_EQ(entry.method3D, row.in3D);
    EXPECT_EQ(methodBindingTable2D.methodIds[static_cast<int>(row.role)], row.in2D);
    EXPECT_EQ(methodBindingTable3D.slots[static_cast<int>(row.role)],
              &engineGlobalMethodSet.methods[static_cast<int>(row.in3D)]);
  }
}

// A distinct, never-called address per method id.
EngineMethod fakeMethod(int id, int table = 0) {
  return reinterpret_cast<EngineMethod>(static_cast<std::uintptr_t>(0x10000 + 16 * id + table));
}
EngineMethod fakeMethod(EngineMethodId id) {
  return fakeMethod(static_cast<int>(id));
}

EngineMethodTable fullTable(int tag = 0) {
  EngineMethodTable table{};
  for (int id = 1; id < kEngineMethodCount; ++id) table.methods[id] = fakeMethod(id, tag);
  return table;
}

class MethodTables : public testing::Test {
 protected:
  void SetUp() override { resetEngineMethodSet(); }
  void TearDown() override { resetEngineMethodSet(); }
};

TEST_F(MethodTables, FirstRegistrationWinsAndSlotZeroStaysEmpty) {
  EngineMethodTable first{};
  first.methods[5] = fakeMethod(5, 1);
  first.methods[0] = fakeMethod(0, 1);  // must never become "a method"
  EngineMethodTable second = fullTable(2);
  registerMechanismMethods(&first);
  registerMechanismMethods(&second);
  EXPECT_EQ(engineGlobalMethodSet.methods[0], nullptr);
  EXPECT_EQ(engineGlobalMethodSet.methods[5], fakeMethod(5, 1));
  EXPECT_EQ(engineGlobalMethodSet.methods[6], fakeMethod(6, 2));
  EXPECT_EQ(boundMethod(&methodBindingTable2D, EngineMethodRole::scaleQuaternions), nullptr);
}

// A small mechanism: one chain of general joints plus a ground chain.
struct Fixture {
  EngineJoint joints[2] = {{"m/J1", kJointGeneral, 0, nullptr, 0, 0},
                           {"m/Weld", kJointGeneral, 0, nullptr, 0, 0}};
  EngineJoint* chain0Joints[1] = {&joints[0]};
  EngineJoint* groundJoints[1] = {&joints[1]};
  EngineChain chains[2] = {{1, nullptr, chain0Joints, &chains[1]},
                           {1, nullptr, groundJoints, &chains[1]}};
  EngineChain* chainTable[2] = {&chains[0], &chains[1]};
  EngineConstraint constraint{"m/Loop", kConstraintGeneral};
  EngineConstraint* constraintTable[1] = {&constraint};
  MachineEnvironment environment{};
  EngineMechanism mechanism{};

  Fixture() {
    mechanism.numChains = 2;
    mechanism.chains = chainTable;
    mechanism.numConstraints = 1;
    mechanism.constraints = constraintTable;
    mechanism.environment = &environment;
    mechanism.allowedSimulationDimensions = kEngineDimension2D;
    mechanism.skipBlockJacobians = 1;
    environment.analysisMode = kAnalysisDynamics;
    environment.constraintSolverKind = 1;
  }
};

std::set<int> boundSlots(const MechanismMethods& methods) {
  std::set<int> bound;
  for (int slot = 0; slot < kMechanismMethodSlotCount; ++slot)
    if (methods.slots[slot] != nullptr) bound.insert(slot);
  return bound;
}

// The slots each configuration binds, with every method present.
TEST_F(MethodTables, ConfigurationsBindTheirSlots) {
  const std::set<int> always = {0, 3, 4, 5, 7, 11, 15, 16, 19, 20, 21, 22, 23, 24, 28, 30, 49};
  const std::set<int> constraintSlots = {2,  14, 17, 18, 25, 26, 27, 33, 36, 39,
                                         41, 42, 50, 53, 54, 57, 59, 60, 32, 38};
  const std::set<int> dynamics = {9, 10, 13};
  auto join = [](std::initializer_list<std::set<int>> parts) {
    std::set<int> all;
    for (const auto& p : parts) all.insert(p.begin(), p.end());
    return all;
  };
  struct Config {
    const char* name;
    int constraints, mode, solver, dimensions;
    bool events, blockJacobians;
    std::set<int> expected;
  };
  const Config configs[] = {
      {"ramp", 1, 2, 1, 4, false, false,
       join({always, constraintSlots, dynamics, {8, 12, 56, 58}})},
      {"no constraints", 0, 2, 1, 4, false, false, join({always, dynamics, {8, 12}})},
      {"trimming, projection", 1, 1, 2, 4, false, false,
       join({always, constraintSlots, dynamics, {8, 56, 58, 35, 40}})},
      {"kinematics", 0, 3, 2, 4, false, false, join({always, {8, 41, 42, 34, 32, 46, 45}})},
      {"io only", 0, 4, 2, 4, false, false, join({always, dynamics, {8}})},
      {"events", 0, 2, 2, 4, true, false, join({always, dynamics, {8, 1, 6, 31, 32, 38, 55}})},
      {"block jacobians", 0, 2, 2, 4, false, true,
       join({always, dynamics, {8, 48, 43, 37, 51, 47, 44}})},
      {"3D", 0, 2, 2, 8, false, false, join({always, dynamics, {33, 29}})},
  };
  const EngineMethodTable table = fullTable();
  registerMechanismMethods(&table);
  for (const Config& config : configs) {
    SCOPED_TRACE(config.name);
    Fixture f;
    f.mechanism.numConstraints = config.constraints;
    f.environment.analysisMode = config.mode;
    f.environment.constraintSolverKind = config.solver;
    f.environment.hasEvents = config.events;
    f.mechanism.skipBlockJacobians = config.blockJacobians ? 0 : 1;
    f.mechanism.allowedSimulationDimensions = config.dimensions;
    ASSERT_FALSE(buildMechanismMethods(&f.mechanism));
    const MechanismMethods& methods = *f.mechanism.methods;
    EXPECT_THAT(boundSlots(methods), ElementsAreArray(config.expected));
    EXPECT_EQ(methods.constraintMethods != nullptr, config.constraints > 0);
    EXPECT_EQ(methods.bindingTable,
              config.dimensions == 4 ? &methodBindingTable2D : &methodBindingTable3D);
    destroyMechanismMethods(&f.mechanism);
    EXPECT_EQ(f.mechanism.methods, nullptr);
  }
}

TEST_F(MethodTables, SlotsHoldTheVariantOfTheDimension) {
  const EngineMethodTable table = fullTable();
  registerMechanismMethods(&table);
  Fixture f;
  ASSERT_FALSE(buildMechanismMethods(&f.mechanism));
  const MechanismMethods& m = *f.mechanism.methods;
  EXPECT_EQ(m[MechanismSlot::destroyMechanismMethods], toEngineMethod(&destroyMechanismMethods));
  EXPECT_EQ(m[MechanismSlot::acceleration], fakeMethod(EngineMethodId::acceleration2D));
  EXPECT_EQ(m[MechanismSlot::nonlinearSolver], fakeMethod(EngineMethodId::nonlinearSolver));
  EXPECT_EQ(m.jointMethods->createAll, fakeMethod(EngineMethodId::createEngineJoint));
  EXPECT_EQ(m.jointMethods->createMethods[0], fakeMethod(EngineMethodId::createEngineGeneralJoint));
  EXPECT_EQ(m.jointMethods->transformMethods[1],
            fakeMethod(EngineMethodId::xyTransformGeneralJoint2D));
  EXPECT_EQ(m.constraintMethods->createAll, fakeMethod(EngineMethodId::createEngineConstraint2D));
  EXPECT_EQ(m.constraintMethods->createMethods[0],
            fakeMethod(EngineMethodId::createGeneralEngineConstraint2D));
  EXPECT_EQ(m.constraintMethods->transformMethods[0],
            fakeMethod(EngineMethodId::xyTransformGeneralConstraint2D));
  destroyMechanismMethods(&f.mechanism);

  f.mechanism.allowedSimulationDimensions = kEngineDimension3D;
  f.joints[0].kind = kJointScrew;
  ASSERT_FALSE(buildMechanismMethods(&f.mechanism));
  EXPECT_EQ((*f.mechanism.methods)[MechanismSlot::acceleration],
            fakeMethod(EngineMethodId::acceleration3D));
  EXPECT_EQ(f.mechanism.methods->jointMethods->createMethods[0],
            fakeMethod(EngineMethodId::createEngineScrewJoint3D));
  EXPECT_EQ(f.mechanism.methods->jointMethods->transformMethods, nullptr);
  destroyMechanismMethods(&f.mechanism);
}

TEST_F(MethodTables, EmptyGlobalSlotsGiveEmptyMethodSlots) {
  Fixture f;
  f.joints[0].kind = kJointScrew;  // no 2D variant: empty create entry
  ASSERT_FALSE(buildMechanismMethods(&f.mechanism));
  EXPECT_THAT(boundSlots(*f.mechanism.methods), ElementsAreArray({0}));
  EXPECT_EQ(f.mechanism.methods->jointMethods->createMethods[0], nullptr);
  destroyMechanismMethods(&f.mechanism);
}

TEST_F(MethodTables, UnknownKindIsAnEngineErrorNamingTheBlock) {
  Fixture f;
  f.joints[1].kind = 9;
  EXPECT_TRUE(buildMechanismMethods(&f.mechanism));
  EXPECT_STREQ(getEngineError()->text,
               "Error originates in Mechanical block %s. The joint kind 9 is not known to the "
               "engine.");
  EXPECT_STREQ(getEngineError()->arguments[0], "m/Weld");
  destroyMechanismMethods(&f.mechanism);

  Fixture g;
  g.constraint.kind = 18;
  EXPECT_TRUE(buildMechanismMethods(&g.mechanism));
  EXPECT_STREQ(getEngineError()->text,
               "Error originates in Mechanical block %s. The constraint kind 18 is not known to "
               "the engine.");
  destroyMechanismMethods(&g.mechanism);
}

TEST_F(MethodTables, AllocationFailureAnywhereReportsAndLeaksNothing) {
  const EngineMethodTable table = fullTable();
  registerMechanismMethods(&table);
  TestAllocator::install();
  {
    Fixture f;
    ASSERT_FALSE(buildMechanismMethods(&f.mechanism));
    destroyMechanismMethods(&f.mechanism);
  }
  const int allocations = TestAllocator::calls;
  EXPECT_GE(allocations, 7);
  for (int failAt = 0; failAt < allocations; ++failAt) {
    TestAllocator::install(failAt);
    Fixture f;
    EXPECT_TRUE(buildMechanismMethods(&f.mechanism)) << failAt;
    EXPECT_STREQ(getEngineError()->text,
                 "Error originates in a Mechanical model. Insufficient memory for data structure "
                 "allocation.");
    destroyMechanismMethods(&f.mechanism);
    EXPECT_TRUE(TestAllocator::live.empty()) << failAt;
  }
  TestAllocator::uninstall();
}

TEST(MissingTransform, IsAnAssertionAndAnEngineError) {
  EXPECT_FALSE(reportMissingTransform(fakeMethod(1), "m/J", "src", 1));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(reportMissingTransform(nullptr, "m/J",
                                     "mech_engine/mech_engine_common/createEngineJoint", 371));
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("Assertion Failed (*transformInstance) != NULL at line 371"),
            std::string::npos);
  EXPECT_STREQ(getEngineError()->arguments[0], "m/J");
}

}  // namespace
