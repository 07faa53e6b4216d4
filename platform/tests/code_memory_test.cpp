#include "platform/code_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

TEST(CodeMemory, HoldsCodeThatRuns) {
  // mov eax, 42; ret
  const uint8_t code[] = {0xb8, 42, 0, 0, 0, 0xc3};
  void* memory = platform::allocateCodeMemory(sizeof code);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % 4096, 0u);
  std::memcpy(memory, code, sizeof code);
  auto function = reinterpret_cast<int (*)()>(memory);
  EXPECT_EQ(function(), 42);
  platform::releaseCodeMemory(memory, sizeof code);
}

TEST(CodeMemory, RefusesAnEmptyRequest) {
  EXPECT_EQ(platform::allocateCodeMemory(0), nullptr);
}

}  // namespace
