#pragma once
// The network's activation, in arithmetic the compiler can spread over vector registers.
//
// vector_tanh is tanh to within a few units in the last place over the whole double range: tiny
// arguments give themselves, large ones saturate to +-1, a negative zero stays negative, NaN
// and the infinities come out as from std::tanh. It uses only additions, multiplications, one
// division and bit operations, no branch and no call into the C library, so the array loops in
// activation.cpp are vectorised (by GCC and clang, on x86-64 and elsewhere); they run in an AVX2
// or AVX-512 copy where the processor has it (nn/cpu_features.hpp). Without fused multiply-adds
// every operation rounds as in the baseline copy and as in the scalar function, so all give the
// same bits.

#include <bit>
#include <cstdint>
#include <span>

namespace movarin {
namespace activation_detail {

inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Beyond this |x|, tanh x rounds to 1 (1 - tanh x < 2^-54 from |x| > 19.06); clamping there
// keeps the exponent in range for infinite arguments.
inline constexpr double kSaturation = 20.0;

// ln 2 split so that n * kLn2High is exact for the |n| < 64 that occur here.
inline constexpr double kLn2High = 0x1.62e42fee00000p-1;
inline constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
inline constexpr double kLog2e = 0x1.71547652b82fep0;
// Adding it rounds a double of magnitude below 2^51 to an integer, held in the low mantissa bits.
inline constexpr double kRoundingShift = 0x1.8p52;

// exp(r) - 1 for |r| <= ln(2) / 2 by its Taylor series to degree 13, whose remainder stays below
// 2^-56 |r|; written as r + r^2 (1/2 + r/6 + ...) so that small r keep their full precision.
// The sum in parentheses is taken in pairs of terms and powers r^2, r^4, r^8 (Estrin's scheme),
// a chain of a third of Horner's length, so that the loops are not kept waiting on it.
inline double expm1_reduced(double r) {
  const double r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
  const double q0 = 1.0 / 2.0 + r * (1.0 / 6.0);
  const double q1 = 1.0 / 24.0 + r * (1.0 / 120.0);
  const double q2 = 1.0 / 720.0 + r * (1.0 / 5040.0);
  const double q3 = 1.0 / 40320.0 + r * (1.0 / 362880.0);
  const double q4 = 1.0 / 3628800.0 + r * (1.0 / 39916800.0);
  const double q5 = 1.0 / 479001600.0 + r * (1.0 / 6227020800.0);
  const double s0 = q0 + r2 * q1, s1 = q2 + r2 * q3, s2 = q4 + r2 * q5;
  const double p = (s0 + r4 * s1) + r8 * s2;
  return r + r2 * p;
}

// exp(y) - 1 for -2 * kSaturation <= y <= 0 (or NaN): y = n ln 2 + r, and
// exp(y) - 1 = 2^n (exp(r) - 1) + (2^n - 1), where both products and 2^n - 1 are exact.
inline double expm1_nonpositive(double y) {
  const double shifted = y * kLog2e + kRoundingShift;
  const double n = shifted - kRoundingShift;
  const double r = (y - n * kLn2High) - n * kLn2Low;
  // The low bits of `shifted` hold n; n + 1023 in the exponent field is 2^n.
  const std::uint64_t biased = std::bit_cast<std::uint64_t>(shifted) + 1023;
  const double scale = std::bit_cast<double>(biased << 52);
  return scale * expm1_reduced(r) + (scale - 1.0);
}

// All ones where a > b, zero elsewhere. Compares without a comparison: GCC keeps floating-point
// comparisons as branches (they may raise the invalid flag), which stops the vectoriser.
inline std::uint64_t greater_mask(std::uint64_t a, std::uint64_t b) {
  return std::uint64_t{0} - ((b - a) >> 63);
}

inline std::uint64_t select_bits(std::uint64_t mask, std::uint64_t if_set, std::uint64_t if_clear) {
  return (if_set & mask) | (if_clear & ~mask);
}

}  // namespace activation_detail

// tanh|x| = -u / (u + 2) with u = exp(-2|x|) - 1, which loses nothing to cancellation for any
// |x|; the sign of x is put back last. The magnitude is clamped on its bits, which order
// non-negative doubles as their values do (below 2^63, so the differences keep their sign).
inline double vector_tanh(double x) {
  using namespace activation_detail;
  constexpr std::uint64_t kSaturationBits = std::bit_cast<std::uint64_t>(kSaturation);
  constexpr std::uint64_t kInfinityBits = 0x7ff0000000000000;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t magnitude = bits & ~kSignBit;
  const double clamped = std::bit_cast<double>(
      select_bits(greater_mask(magnitude, kSaturationBits), kSaturationBits, magnitude));
  const double u = expm1_nonpositive(-2.0 * clamped);
  // -u / (u + 2) is -0 for a zero magnitude; its sign is dropped before x's is put on.
  const std::uint64_t t =
      (std::bit_cast<std::uint64_t>(-u / (u + 2.0)) & ~kSignBit) | (bits & kSignBit);
  // A NaN comes back as x + x, quiet, as from std::tanh.
  return std::bit_cast<double>(
      select_bits(greater_mask(magnitude, kInfinityBits), std::bit_cast<std::uint64_t>(x + x), t));
}

// The tanh approximation of the Gaussian error linear unit.
inline double gelu(double v) {
  return 0.5 * v * (1.0 + vector_tanh(0.7978845608028654 * (v + 0.044715 * v * v * v)));
}

// values[i] = gelu(values[i]).
void apply_gelu(std::span<double> values);

// x[i] = gelu(x[i] + addend[i]); addend has at least x.size() values.
void apply_gelu_of_sum(std::span<double> x, std::span<const double> addend);

}  // namespace movarin
