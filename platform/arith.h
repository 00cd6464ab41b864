// The game's arithmetic: 32-bit integers that never wrap, floating expressions that are
// checked after the fact, and the one run-time error type that ends a handler. Any thread;
// pure.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/status.h"

namespace palomir {

// A run-time error: an overflow, a bad floating result or a failing platform call. It ends
// the handler in which it happens; nothing inside the game retries.
class RuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when a platform call reports failure; the reason comes from the platform.
void Check(const Status& status);

// 32-bit signed arithmetic with overflow detection.
int32_t CheckedAdd(int32_t a, int32_t b);
int32_t CheckedSub(int32_t a, int32_t b);
int32_t CheckedMul(int32_t a, int32_t b);
int32_t CheckedAbs(int32_t a);

// The floating-point status test that follows an expression with a division: an invalid
// operation, a division by zero or an overflow all leave a non-finite result behind.
double CheckedFloat(double value);

// Rounds to the nearest integer, an exact half going to the even neighbour, into 32 bits.
// A value outside the 32-bit range is an overflow.
int32_t RoundHalfEven(double value);

// Decimal text of a number as the voice reads it: "-12", "0", "50".
std::string Decimal(int32_t value);

}  // namespace palomir
