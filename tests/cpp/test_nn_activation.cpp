#include <doctest/doctest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "nn/activation.hpp"
#include "support.hpp"

using namespace movarin;
using test_support::kInf;
using test_support::kNaN;
using test_support::same;

namespace {

// Distance in representable doubles; the sign of zero counts as one step.
std::uint64_t ulps_between(double a, double b) {
  const auto ordered = [](double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits < 0 ? std::int64_t{-1} - (bits & INT64_MAX) : bits;
  };
  const std::int64_t d = ordered(a) - ordered(b);
  return static_cast<std::uint64_t>(d < 0 ? -d : d);
}

double reference_gelu(double v) {
  return 0.5 * v * (1.0 + std::tanh(0.7978845608028654 * (v + 0.044715 * v * v * v)));
}

}  // namespace

TEST_CASE("activation: tanh within a few ulp of std::tanh over the whole range") {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::vector<double> arguments;
  // Every binade from the smallest subnormal to the largest finite, both signs.
  for (int exponent = -1074; exponent <= 1023; ++exponent) {
    for (int i = 0; i < 40; ++i) {
      const double x = std::ldexp(mantissa(random), exponent);
      if (std::isfinite(x)) arguments.push_back(i % 2 == 0 ? x : -x);
    }
  }
  // Densely where tanh bends and saturates, across the splits of the reduction.
  std::uniform_real_distribution<double> bend(-22.0, 22.0);
  for (int i = 0; i < 400000; ++i) arguments.push_back(bend(random));
  std::uint64_t worst = 0;
  double worst_at = 0.0;
  for (const double x : arguments) {
    const std::uint64_t ulps = ulps_between(vector_tanh(x), std::tanh(x));
    if (ulps > worst) worst = ulps, worst_at = x;
  }
  CAPTURE(worst_at);
  CHECK(worst <= 4);

  const double tiny = std::numeric_limits<double>::denorm_min();
  for (const double x :
       {0.0, -0.0, tiny, -tiny, 1e-300, -1e-200, 19.5, -30.0, 1e300, kInf, -kInf}) {
    CAPTURE(x);
    CHECK(same(vector_tanh(x), std::tanh(x)));
  }
  CHECK(std::isnan(vector_tanh(kNaN)));
  CHECK(std::isnan(vector_tanh(-kNaN)));
}

TEST_CASE("activation: the array loops give the scalar GELU's bits") {
  // A length off every vector width, with the special values among ordinary ones.
  std::vector<double> values = {0.0, -0.0, kInf, -kInf, kNaN, 1e-310, -1e300, 40.0, -40.0};
  std::mt19937_64 random(5);
  std::normal_distribution<double> normal(0.0, 3.0);
  while (values.size() < 37) values.push_back(normal(random));
  std::vector<double> addend(values.size());
  for (double& a : addend) a = normal(random);

  std::vector<double> gelus = values, sums = values;
  apply_gelu(gelus);
  apply_gelu_of_sum(sums, addend);
  for (std::size_t i = 0; i < values.size(); ++i) {
    CAPTURE(values[i]);
    CHECK(same(gelus[i], gelu(values[i])));
    CHECK(same(sums[i], gelu(values[i] + addend[i])));
    if (std::isfinite(values[i]) && std::abs(values[i]) < 5.0) {
      CHECK(gelus[i] == doctest::Approx(reference_gelu(values[i])).epsilon(1e-14));
    }
  }
}
