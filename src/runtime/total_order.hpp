#pragma once
// IEEE 754 totalOrder for doubles: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN, so that sorts
// and minima are deterministic whatever NaNs the data holds.

#include <bit>
#include <cstdint>
#include <limits>

namespace movarin {

// A key whose signed integer order is totalOrder.
inline std::int64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  // Negative numbers order backwards in their magnitude bits.
  return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

inline bool total_order_less(double a, double b) {
  return total_order_key(a) < total_order_key(b);
}

}  // namespace movarin
