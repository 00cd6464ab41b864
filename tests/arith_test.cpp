#include "platform/arith.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace palomir {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(CheckedArithmetic, RaisesInsteadOfWrapping) {
  EXPECT_EQ(CheckedAdd(kMax - 1, 1), kMax);
  EXPECT_THROW(CheckedAdd(kMax, 1), RuntimeError);
  EXPECT_THROW(CheckedAdd(kMin, -1), RuntimeError);
  EXPECT_EQ(CheckedSub(kMin + 1, 1), kMin);
  EXPECT_THROW(CheckedSub(kMin, 1), RuntimeError);
  EXPECT_THROW(CheckedSub(0, kMin), RuntimeError);
  EXPECT_EQ(CheckedMul(-46340, 46340), -2147395600);
  EXPECT_THROW(CheckedMul(65536, 32768), RuntimeError);
  EXPECT_THROW(CheckedMul(-1, kMin), RuntimeError);
  EXPECT_THROW(CheckedAbs(kMin), RuntimeError);
  EXPECT_EQ(CheckedAbs(-7), 7);
}

TEST(RoundHalfEven, TiesGoToTheEvenNeighbour) {
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
  EXPECT_EQ(RoundHalfEven(-1.5), -2);
  EXPECT_EQ(RoundHalfEven(40.5), 40);
  EXPECT_EQ(RoundHalfEven(13.5), 14);
  EXPECT_EQ(RoundHalfEven(2.4999), 2);
  EXPECT_EQ(RoundHalfEven(-2.5001), -3);
}

TEST(RoundHalfEven, OutOfRangeOrNotANumberIsAnError) {
  EXPECT_EQ(RoundHalfEven(2147483647.4), kMax);
  EXPECT_THROW(RoundHalfEven(2147483647.5), RuntimeError);
  EXPECT_EQ(RoundHalfEven(-2147483648.5), kMin);  // the tie goes to the even neighbour
  EXPECT_THROW(RoundHalfEven(-2147483649.0), RuntimeError);
  EXPECT_THROW(RoundHalfEven(std::nan("")), RuntimeError);
}

TEST(FloatingStatus, DivisionByZeroAndInvalidResultsAreErrors) {
  volatile double zero = 0.0;
  EXPECT_THROW(CheckedFloat(1.0 / zero), RuntimeError);
  EXPECT_THROW(CheckedFloat(zero / zero), RuntimeError);
  EXPECT_THROW(CheckedFloat(1e308 * 10.0), RuntimeError);
  EXPECT_EQ(CheckedFloat(-22.5), -22.5);
}

TEST(Decimal, NumbersAreReadWithoutBlanks) {
  EXPECT_EQ(Decimal(0), "0");
  EXPECT_EQ(Decimal(-12), "-12");
  EXPECT_EQ(Decimal(kMin), "-2147483648");
}

TEST(Check, AFailingStatusBecomesARuntimeErrorWithItsReason) {
  EXPECT_NO_THROW(Check(Status::Ok()));
  try {
    Check(Status::Fail("device lost"));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "device lost");
  }
}

}  // namespace
}  // namespace palomir
