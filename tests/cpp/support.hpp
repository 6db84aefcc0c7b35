#pragma once
// Comparisons shared by the numeric tests.

#include <doctest/doctest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <ostream>

#include "elements/complex.hpp"

namespace movarin {

inline std::ostream& operator<<(std::ostream& out, Complex z) {
  return out << '(' << z.re << ", " << z.im << ')';
}

}  // namespace movarin

namespace test_support {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using movarin::Complex;

// Bitwise agreement up to NaN payloads: equal values with equal signs of zero, or both NaN.
inline bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}
inline bool same(Complex a, Complex b) {
  return same(a.re, b.re) && same(a.im, b.im);
}

inline std::complex<double> to_std(Complex z) {
  return {z.re, z.im};
}

// |a - b| <= tolerance * |b|
inline bool near(Complex a, std::complex<double> b, double tolerance = 1e-13) {
  return std::abs(to_std(a) - b) <= tolerance * std::abs(b);
}
inline bool near(Complex a, Complex b, double tolerance = 1e-13) {
  return near(a, to_std(b), tolerance);
}

}  // namespace test_support
