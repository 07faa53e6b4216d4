// nconc as item 29 does it, over conses laid out in a small arena.

#include "runtime/load/fasl_lists.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "runtime/rs/object_layout.h"

namespace {

using namespace lisp;
using lisp::fasl::faslNconc;

class Conses : public testing::Test {
 protected:
  void SetUp() override {
    // nil's car and cdr (nil-0x11, nil-0xd) hold nil, as in the nil block.
    nil_ =
        pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(nilWords_.data())), Tag::Nil);
    car(nil_) = nil_;
    cdr(nil_) = nil_;
  }
  lispval cons(lispval car, lispval cdr) {
    ConsCell& cell = cells_.at(used_++);
    cell = {car, cdr};
    return wordOf(&cell, Tag::Cons);
  }
  lispval list(std::initializer_list<int32_t> items) {
    lispval result = nil_;
    for (auto it = std::rbegin(items); it != std::rend(items); ++it)
      result = cons(makeFixnum(*it), result);
    return result;
  }
  std::vector<int32_t> items(lispval l) {
    std::vector<int32_t> out;
    for (; isCons(l); l = cdr(l)) out.push_back(fixnumValue(car(l)));
    return out;
  }

  alignas(8) std::array<lispval, 4> nilWords_{};
  lispval nil_ = 0;
  alignas(8) std::array<ConsCell, 64> cells_{};
  size_t used_ = 0;
};

TEST_F(Conses, AppendsToTheLastCons) {
  const lispval a = list({1, 2});
  const lispval b = list({3});
  EXPECT_EQ(faslNconc(a, b), a);
  EXPECT_EQ(items(a), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(Conses, ReplacesADottedTail) {
  const lispval a = cons(makeFixnum(1), makeFixnum(9));
  EXPECT_EQ(faslNconc(a, list({2})), a);
  EXPECT_EQ(items(a), (std::vector<int32_t>{1, 2}));
}

TEST_F(Conses, NilIsLeftAlone) {
  const lispval b = list({3, 4});
  EXPECT_EQ(faslNconc(nil_, b), b);
  EXPECT_EQ(car(nil_), nil_);
  EXPECT_EQ(cdr(nil_), nil_);
}

// Lists of `length` conses whose last cdr goes back to cons `loopStart`.
TEST_F(Conses, ACircularListIsRefusedUntouched) {
  struct Shape {
    int length;
    int loopStart;
  };
  for (const Shape shape :
       {Shape{1, 0}, Shape{2, 0}, Shape{3, 0}, Shape{8, 0}, Shape{5, 2}, Shape{4, 3}}) {
    SCOPED_TRACE(testing::Message() << shape.length << " " << shape.loopStart);
    std::vector<lispval> chain;
    for (int i = 0; i < shape.length; ++i) chain.push_back(cons(makeFixnum(i), nil_));
    for (int i = 0; i + 1 < shape.length; ++i) cdr(chain[i]) = chain[i + 1];
    cdr(chain.back()) = chain[shape.loopStart];
    EXPECT_EQ(faslNconc(chain.front(), nil_), std::nullopt);
    EXPECT_EQ(cdr(chain.back()), chain[shape.loopStart]);
  }
}

}  // namespace
