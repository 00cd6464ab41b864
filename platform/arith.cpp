#include "platform/arith.h"

#include <cmath>
#include <limits>

namespace palomir {

void Check(const Status& status) {
  if (!status.ok()) throw RuntimeError(status.reason());
}

namespace {
[[noreturn]] void Overflow() {
  throw RuntimeError("overflow");
}
}  // namespace

int32_t CheckedAdd(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_add_overflow(a, b, &r)) Overflow();
  return r;
}

int32_t CheckedSub(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_sub_overflow(a, b, &r)) Overflow();
  return r;
}

int32_t CheckedMul(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_mul_overflow(a, b, &r)) Overflow();
  return r;
}

int32_t CheckedAbs(int32_t a) {
  if (a == std::numeric_limits<int32_t>::min()) Overflow();
  return a < 0 ? -a : a;
}

double CheckedFloat(double value) {
  if (!std::isfinite(value)) throw RuntimeError("invalid floating-point result");
  return value;
}

int32_t RoundHalfEven(double value) {
  CheckedFloat(value);
  // nearbyint follows the current rounding mode, which the game never leaves: to nearest,
  // ties to even.
  const double r = std::nearbyint(value);
  if (r < -2147483648.0 || r > 2147483647.0) Overflow();
  return static_cast<int32_t>(r);
}

std::string Decimal(int32_t value) {
  return std::to_string(value);
}

}  // namespace palomir
