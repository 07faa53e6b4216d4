// Growth of a segment record's tables, over simple vectors laid out in a
// small arena the way the runtime lays them out.

#include "runtime/load/fasl_segment.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/rs/object_layout.h"

namespace {

using namespace lisp;
using namespace lisp::fasl;

// Nil stands in as a word with the nil tag; it is compared, never read.
constexpr lispval kNil = 0x100005;

std::vector<std::vector<uint64_t>> g_arena;
uint32_t g_made = 0;

lispval makeVector(uint32_t length) {
  ++g_made;
  g_arena.emplace_back((8 + 4 * length + 7) / 8, 0);
  auto* object = reinterpret_cast<FixnumLengthVector*>(g_arena.back().data());
  object->header = type_code::SimpleVector;
  object->length = makeFixnum(static_cast<int32_t>(length));
  const lispval word = wordOf(object, Tag::Other);
  for (uint32_t i = 0; i < length; ++i) simpleVectorElement(word, i) = kNil;
  return word;
}

class SegmentRecord : public testing::Test {
 protected:
  void SetUp() override {
    g_arena.clear();
    g_arena.reserve(64);
    g_made = 0;
    record_ = makeVector(segment_record::kElements);
    simpleVectorElement(record_, segment_record::kSymtabCount) = makeFixnum(0);
    simpleVectorElement(record_, segment_record::kFsymtabCount) = makeFixnum(0);
    g_made = 0;
  }
  lispval element(uint32_t i) { return simpleVectorElement(record_, i); }
  void setCount(uint32_t countIndex, int32_t count) {
    simpleVectorElement(record_, countIndex) = makeFixnum(count);
  }

  lispval record_;
};

TEST_F(SegmentRecord, AMissingTableGetsThirtySlots) {
  const lispval table = need_fasl_symtab_slot(&record_, makeVector);
  EXPECT_EQ(simpleVectorLength(table), 30u);
  EXPECT_EQ(element(segment_record::kSymtab), table);
  EXPECT_EQ(element(segment_record::kFsymtab), kNil);
}

TEST_F(SegmentRecord, ATableWithRoomIsKept) {
  const lispval table = need_fasl_fsymtab_slot(&record_, makeVector);
  setCount(segment_record::kFsymtabCount, 29);
  EXPECT_EQ(need_fasl_fsymtab_slot(&record_, makeVector), table);
  EXPECT_EQ(g_made, 1u);
}

TEST_F(SegmentRecord, AFullTableDoublesKeepingItsEntriesInOrder) {
  lispval table = need_fasl_symtab_slot(&record_, makeVector);
  for (uint32_t i = 0; i < 30; ++i)
    simpleVectorElement(table, i) = makeFixnum(static_cast<int32_t>(i));
  setCount(segment_record::kSymtabCount, 30);
  table = need_fasl_symtab_slot(&record_, makeVector);
  ASSERT_EQ(simpleVectorLength(table), 60u);
  EXPECT_EQ(element(segment_record::kSymtab), table);
  for (uint32_t i = 0; i < 30; ++i)
    EXPECT_EQ(simpleVectorElement(table, i), makeFixnum(static_cast<int32_t>(i)));
  for (uint32_t i = 30; i < 60; ++i) EXPECT_EQ(simpleVectorElement(table, i), kNil);
}

TEST(SegmentRecordGrowth, LengthRule) {
  EXPECT_EQ(grownTableLength(0), 30u);
  EXPECT_EQ(grownTableLength(30), 60u);
  EXPECT_EQ(grownTableLength(7), 14u);
}

}  // namespace
