#pragma once

#include <cmath>

#include <opencv2/core.hpp>

namespace Oskelo::CV::Native64::detail {

// Floored remainder a - floor(a / b) * b: the result takes the sign of b, so FlooredMod(-1, n) is
// n - 1 and cyclic neighbours of index 0 wrap to the end. Evaluated in double precision, which
// holds every int exactly; the quotient's rounding cannot cross an integer and the product lies
// within |b| of a, so the result is exact and fits an int. b == 0 is refused with cv::Exception.
inline int FlooredMod(int a, int b) {
  if (b == 0) CV_Error(cv::Error::StsDivByZero, "FlooredMod: the divisor is 0");
  const double dividend = a;
  const double divisor = b;
  return static_cast<int>(dividend - std::floor(dividend / divisor) * divisor);
}

}  // namespace Oskelo::CV::Native64::detail
