#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "mech_engine_common/engine_vector_kernels.h"

namespace {

TEST(VectorKernels, NormsOfEmptyAndSimpleVectors) {
  const double v[] = {3.0, -4.0, 12.0};
  EXPECT_EQ(twonorm(v, 0), 0.0);
  EXPECT_EQ(twonorm(v, 3), 13.0);
  EXPECT_EQ(vectorOneNorm(v, 3), 19.0);
  EXPECT_NEAR(scaledNorm(v, 3), 13.0, 1e-15);
  EXPECT_EQ(scaledNorm(v, 0), 0.0);
  const double strided[] = {3.0, 99.0, 4.0, 99.0};
  EXPECT_EQ(stridedNorm(strided, 2, 2), 5.0);
}

TEST(VectorKernels, ScaledNormSurvivesValuesWhoseSquaresOverflow) {
  const double zeros[] = {0.0, 0.0};
  EXPECT_EQ(scaledNorm(zeros, 2), 0.0);  // no 0/0
  const double huge[] = {0.0, 3e200, 4e200};
  EXPECT_TRUE(std::isinf(twonorm(huge, 3)));
  EXPECT_NEAR(scaledNorm(huge, 3) / 5e200, 1.0, 1e-15);
}

TEST(VectorKernels, NormaliseLeavesZeroVectorAlone) {
  double zero[] = {0.0, 0.0, 0.0};
  normalise(zero, 3);
  EXPECT_EQ(zero[0], 0.0);
  EXPECT_EQ(zero[2], 0.0);
  double v[] = {0.0, 0.0, 2.0};
  normalise(v, 3);
  EXPECT_EQ(v[2], 1.0);
}

TEST(VectorKernels, CrossProductsAddSubtractAndGather) {
  const double a[] = {1, 0, 0, 0, 1, 0};
  const double b[] = {0, 1, 0, 0, 0, 1};
  double out[6];
  crossProducts(out, a, b, 2);
  const double expectedCross[] = {0, 0, 1, 1, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], expectedCross[i]);

  addColumns(out, a, b, 3, 2);
  EXPECT_EQ(out[1], 1.0);
  subtractColumns(out, a, b, 3, 2);
  EXPECT_EQ(out[5], -1.0);

  // source 3x3 with element (i, j) = 10·i + j
  double source[9];
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) source[i + 3 * j] = 10 * i + j;
  const std::int32_t rows[] = {2, 0};
  const std::int32_t columns[] = {1, 2};
  double gathered[4];
  gatherMatrix(gathered, source, 3, 2, rows, 2, columns);
  const double expectedGather[] = {21, 1, 22, 2};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(gathered[i], expectedGather[i]);
}

TEST(VectorKernels, BilinearCombineWithStrides) {
  const double x[] = {1.0, 100.0, 2.0};
  const double y[] = {3.0, 4.0};
  double out[4] = {0, -1, 0, -1};
  vectorBilinearCombine(out, x, y, 2.0, 10.0, 100.0, 2, 2, 2, 1);
  EXPECT_EQ(out[0], 2.0 * 1 * 3 + 10.0 * 1 + 100.0 * 3);
  EXPECT_EQ(out[1], -1.0);
  EXPECT_EQ(out[2], 2.0 * 2 * 4 + 10.0 * 2 + 100.0 * 4);
  // The description's unit conversion: a = 0, b = degrees to radians, c = 0.
  const double degrees = 90.0;
  double radians = 0.0;
  vectorBilinearCombine(&radians, &degrees, &degrees, 0.0, 0.017453292519943295, 0.0, 1, 1, 1, 1);
  EXPECT_EQ(radians, 1.5707963267948966);
}

TEST(VectorKernels, MatrixOneNormIsLargestColumnSum) {
  const double a[] = {1, -2, 3, -4};  // columns (1, -2), (3, -4)
  EXPECT_EQ(matrixOneNorm(a, 2, 2), 7.0);
}

TEST(MachineConstants, HaveTheirIeeeValues) {
  EXPECT_EQ(engineEps(), std::ldexp(1.0, -52));
  EXPECT_EQ(engineRealmin(), std::ldexp(1.0, -1022));
  EXPECT_EQ(engineRealmax(), 1.7976931348623157e308);
  EXPECT_EQ(enginePi(), M_PI);
}

TEST(UniformRandom, TenThousandthStateFromOneIsTheMinimalStandardCheck) {
  UniformRandom generator{1};
  double last = 0.0;
  for (int i = 0; i < 10000; ++i) {
    last = nextUniformRandom(generator);
    ASSERT_GT(last, 0.0);
    ASSERT_LT(last, 1.0);
  }
  EXPECT_EQ(generator.state, 1043618065);
  EXPECT_EQ(last, 1043618065.0 / 2147483647.0);
}

TEST(UniformRandom, SeedIsSquaredModuloTheModulus) {
  UniformRandom generator{};
  seedUniformRandom(generator, 13);
  EXPECT_EQ(generator.state, 169);
  seedUniformRandom(generator, 100000);
  EXPECT_EQ(generator.state, static_cast<std::int32_t>(10000000000ULL % 2147483647ULL));
}

}  // namespace
