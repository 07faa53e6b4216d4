#include "mech_engine_common/engine_allocation.h"

#include <gtest/gtest.h>

#include "mech_engine_common/engine_error.h"
#include "test_allocator.h"

namespace {

class EngineAllocation : public testing::Test {
 protected:
  void SetUp() override {
    TestAllocator::install();
    setEngineError("no error");
  }
  void TearDown() override { TestAllocator::uninstall(); }
};

TEST_F(EngineAllocation, ZeroBytesGiveNullWithoutMessage) {
  EXPECT_EQ(engineAllocate(0), nullptr);
  EXPECT_STREQ(getEngineError()->text, "no error");
}

TEST_F(EngineAllocation, FailureRecordsInsufficientHeapSpace) {
  TestAllocator::callsBeforeFailure = 0;
  EXPECT_EQ(engineAllocate(16), nullptr);
  EXPECT_STREQ(getEngineError()->text, "Insufficient heap space.");
}

TEST_F(EngineAllocation, OverflowingCountIsAFailureNotAShortBlock) {
  EXPECT_EQ(engineAllocateArray(SIZE_MAX / 4, 8), nullptr);
  EXPECT_STREQ(getEngineError()->text, "Insufficient heap space.");
}

TEST_F(EngineAllocation, BlocksAreZeroedAndReleaseClearsTheSlot) {
  EngineMatrix* matrix = newEngineMatrix(3, 2, 1, 2);
  ASSERT_NE(matrix, nullptr);
  EXPECT_EQ(matrix->zeroFlag, 1);
  EXPECT_EQ(matrix->form, 2);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(matrix->data[i], 0.0);
  releaseEngineMatrix(&matrix);
  EXPECT_EQ(matrix, nullptr);
  EXPECT_TRUE(TestAllocator::live.empty());

  EngineMatrix* empty = newEngineMatrix(0, 5, 0, 1);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->data, nullptr);
  releaseEngineMatrix(&empty);
  releaseEngineMatrix(&empty);  // a cleared slot is fine
  EXPECT_TRUE(TestAllocator::live.empty());
}

TEST_F(EngineAllocation, MatrixListIsFormOneWithClearZeroFlags) {
  EngineMatrixList* list = newEngineMatrixList(3, 3);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list->matrices[i]->form, 1);
    EXPECT_EQ(list->matrices[i]->zeroFlag, 0);
    EXPECT_EQ(list->matrices[i]->data[2], 0.0);
  }
  releaseEngineMatrixList(&list);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(TestAllocator::live.empty());
}

// Failing each allocation in turn leaves nothing allocated and the message set.
TEST_F(EngineAllocation, FailureAtEveryAllocationLeaksNothing) {
  // A list of 3 matrices takes 1 + 1 + 3·2 allocations; an index list 2.
  for (int failAt = 0; failAt < 8; ++failAt) {
    TestAllocator::callsBeforeFailure = failAt;
    EXPECT_EQ(newEngineMatrixList(3, 4), nullptr) << failAt;
    EXPECT_TRUE(TestAllocator::live.empty()) << failAt;
    EXPECT_STREQ(getEngineError()->text, "Insufficient heap space.");
  }
  for (int failAt = 0; failAt < 2; ++failAt) {
    TestAllocator::callsBeforeFailure = failAt;
    EXPECT_EQ(newIndexList(4), nullptr);
    TestAllocator::callsBeforeFailure = failAt;
    EXPECT_EQ(newEngineMatrix(2, 2, 0, 1), nullptr);
    EXPECT_TRUE(TestAllocator::live.empty()) << failAt;
  }
}

TEST_F(EngineAllocation, IndexListHoldsZeroedInts) {
  IndexList* list = newIndexList(5);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 5);
  EXPECT_EQ(list->indices[4], 0);
  releaseIndexList(&list);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(TestAllocator::live.empty());
}

}  // namespace
