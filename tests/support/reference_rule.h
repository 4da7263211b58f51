#pragma once

#include <cmath>
#include <cstdint>

namespace chromaloom::testing {

// The conversion rule written out plainly, independently of the tool's own code: subtract the
// black level, multiply by the ratio, add the pedestal, each step rounded to a double (volatile
// keeps every step in memory, so nothing can be fused or widened), then truncate toward zero and
// clamp to 0..65535, NaN giving 0.
inline std::uint16_t reference_sample(double x, double black, double ratio) {
  volatile double d = x - black;
  volatile double p = ratio * d;
  volatile double v = p + 50.0;
  if (std::isnan(v) || v <= 0) return 0;
  if (v >= 65535) return 65535;
  return static_cast<std::uint16_t>(std::trunc(v));
}

}  // namespace chromaloom::testing
