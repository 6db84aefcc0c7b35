#include <doctest/doctest.h>

#include <cmath>
#include <random>
#include <vector>

#include "nn/winograd.hpp"
#include "support.hpp"

using namespace movarin;
using test_support::kInf;
using test_support::kNaN;

namespace {

struct Convolution {
  std::size_t in, channels, length, dilation;
};

// The sum term by term, positions off the grid left out, and the sum of the terms' magnitudes,
// which bounds the rounding error of any order of summation.
struct Reference {
  std::vector<double> values, magnitudes;
};

Reference reference(const Convolution& shape, const std::vector<double>& weights,
                    const std::vector<double>& bias, const std::vector<double>& input) {
  const auto length = static_cast<std::ptrdiff_t>(shape.length);
  Reference result{std::vector<double>(shape.channels * shape.length),
                   std::vector<double>(shape.channels * shape.length)};
  for (std::size_t o = 0; o < shape.channels; ++o) {
    for (std::ptrdiff_t t = 0; t < length; ++t) {
      double sum = bias[o], magnitude = std::abs(bias[o]);
      for (std::size_t c = 0; c < shape.in; ++c) {
        for (std::size_t k = 0; k < kWinogradTaps; ++k) {
          const std::ptrdiff_t at = t + (static_cast<std::ptrdiff_t>(k) - 2) *
                                            static_cast<std::ptrdiff_t>(shape.dilation);
          if (at < 0 || at >= length) continue;
          const double term = weights[(o * shape.in + c) * kWinogradTaps + k] *
                              input[c * shape.length + static_cast<std::size_t>(at)];
          sum += term;
          magnitude += std::abs(term);
        }
      }
      result.values[o * shape.length + static_cast<std::size_t>(t)] = sum;
      result.magnitudes[o * shape.length + static_cast<std::size_t>(t)] = magnitude;
    }
  }
  return result;
}

std::vector<double> random_values(std::size_t count, std::mt19937_64& random, double scale) {
  std::normal_distribution<double> normal(0.0, scale);
  std::vector<double> values(count);
  for (double& v : values) v = normal(random);
  return values;
}

}  // namespace

TEST_CASE("winograd: the fast convolution is the term by term sum up to rounding") {
  // Channel counts off the block of four, lengths off the tiles (down to one point), dilations
  // that leave tiles partly off the grid, one that is no power of two, the stem's three inputs.
  const Convolution shapes[] = {{32, 32, 64, 1}, {32, 32, 64, 8}, {3, 16, 64, 1},
                                {5, 7, 13, 2},   {6, 5, 67, 3},   {4, 9, 1, 1},
                                {2, 3, 7, 1},    {8, 6, 30, 8},   {3, 4, 20, 4}};
  std::mt19937_64 random(11);
  for (const Convolution& shape : shapes) {
    CAPTURE(shape.in);
    CAPTURE(shape.length);
    CAPTURE(shape.dilation);
    std::vector<double> weights =
        random_values(shape.channels * shape.in * kWinogradTaps, random, 0.3);
    weights[1] = 0.0;
    const auto bias = random_values(shape.channels, random, 1.0);
    const auto input = random_values(shape.in * shape.length, random, 2.0);
    const auto filters = transform_filters(weights, shape.channels, shape.in);
    REQUIRE(filters.has_value());
    REQUIRE(fast_convolution_applies(*filters, bias, input.data(), shape.length));

    // NaN marks what the convolution must write, and the guards past the output and the
    // workspace what it must not.
    const std::size_t values = shape.channels * shape.length;
    const std::size_t scratch = fast_convolution_workspace(shape.in, shape.length, shape.dilation);
    std::vector<double> output(values + 8, kNaN), workspace(scratch + 8, 7.0);
    convolve_fast(*filters, bias, shape.length, shape.dilation, input.data(), output.data(),
                  workspace.data());

    const Reference expected = reference(shape, weights, bias, input);
    for (std::size_t i = 0; i < values; ++i) {
      CAPTURE(i);
      CHECK(std::abs(output[i] - expected.values[i]) <= 1e-14 * expected.magnitudes[i]);
    }
    for (std::size_t i = values; i < output.size(); ++i) CHECK(std::isnan(output[i]));
    for (std::size_t i = scratch; i < workspace.size(); ++i) CHECK(workspace[i] == 7.0);
  }
}

TEST_CASE("winograd: only finite values of safe size take the fast form") {
  std::vector<double> weights(4 * 2 * kWinogradTaps, 0.5);
  const std::vector<double> bias(4, 1.0);
  const auto filters = transform_filters(weights, 4, 2);
  REQUIRE(filters.has_value());
  std::vector<double> input(2 * 10, 1.0);
  CHECK(fast_convolution_applies(*filters, bias, input.data(), 10));

  // Any non-finite input or bias, or one large enough for a sum to overflow, is left to the
  // term by term form, which gives infinities and NaN where they belong.
  for (const double bad : {kNaN, -kInf, kInf, 1e300}) {
    CAPTURE(bad);
    input[19] = bad;
    CHECK_FALSE(fast_convolution_applies(*filters, bias, input.data(), 10));
    input[19] = 1.0;
    std::vector<double> bad_bias = bias;
    bad_bias[3] = bad;
    CHECK_FALSE(fast_convolution_applies(*filters, bad_bias, input.data(), 10));
  }
  for (const double bad : {kNaN, kInf}) {
    weights[7] = bad;
    CHECK_FALSE(transform_filters(weights, 4, 2).has_value());
  }
}
