#include <doctest/doctest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "circuit/parse.hpp"
#include "nn/inference.hpp"
#include "nn/network.hpp"
#include "runtime/total_order.hpp"
#include "support.hpp"
#include "weight_file_builder.hpp"

using namespace movarin;
using test_support::same;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

WeightModel random_model(const test_support::RandomModel& spec) {
  return parse_weight_file(test_support::random_model_file(spec)).value();
}

test_support::RandomModel small_rc() {
  test_support::RandomModel spec;
  spec.channels = 8;
  spec.n_grid = 16;
  spec.groups = 4;
  return spec;
}

Spectrum spectrum_of(std::string_view circuit, const std::vector<double>& values,
                     const std::vector<double>& frequencies) {
  const SeriesList valued = with_values(parse_circuit(circuit).value(), values).value();
  return {frequencies, impedance(valued, frequencies)};
}

std::vector<double> log_spaced(double lo_exponent, double hi_exponent, int count) {
  std::vector<double> f;
  for (int i = 0; i < count; ++i) {
    f.push_back(std::pow(10.0, lo_exponent + (hi_exponent - lo_exponent) * i / (count - 1)));
  }
  return f;
}

// The network written straight from its definition: one term at a time, positions off the grid
// and zero weights left out.
std::vector<double> naive_forward(const WeightModel& m, std::vector<double> x0, Extras extras) {
  const std::size_t C = m.channels, L = m.n_grid, K = m.kernel;
  const auto values = [&](const std::string& name) { return m.tensors.at(name).values; };
  const auto conv = [&](const std::string& layer, const std::vector<double>& x, std::size_t in,
                        std::size_t d) {
    const auto w = values("w." + layer + ".weight"), b = values("w." + layer + ".bias");
    const auto p = static_cast<std::ptrdiff_t>(d * (K - 1) / 2);
    std::vector<double> out(C * L);
    for (std::size_t o = 0; o < C; ++o) {
      for (std::size_t t = 0; t < L; ++t) {
        double sum = b[o];
        for (std::size_t c = 0; c < in; ++c) {
          for (std::size_t k = 0; k < K; ++k) {
            const auto at = static_cast<std::ptrdiff_t>(t + k * d) - p;
            const double weight = w[(o * in + c) * K + k];
            if (at < 0 || at >= static_cast<std::ptrdiff_t>(L) || weight == 0.0) continue;
            sum += weight * x[c * L + static_cast<std::size_t>(at)];
          }
        }
        out[o * L + t] = sum;
      }
    }
    return out;
  };
  const auto norm = [&](const std::string& layer, std::vector<double>& x) {
    const auto w = values("w." + layer + ".weight"), b = values("w." + layer + ".bias");
    const std::size_t g = C / m.groups, n = g * L;
    for (std::size_t j = 0; g > 0 && j < m.groups; ++j) {
      double mean = 0.0, var = 0.0;
      for (std::size_t i = 0; i < n; ++i) mean += x[j * n + i];
      mean /= static_cast<double>(n);
      for (std::size_t i = 0; i < n; ++i) var += (x[j * n + i] - mean) * (x[j * n + i] - mean);
      var /= static_cast<double>(n);
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t ch = j * g + i / L;
        x[j * n + i] = (x[j * n + i] - mean) * (1.0 / std::sqrt(var + 1e-5)) * w[ch] + b[ch];
      }
    }
  };
  const auto linear = [&](const std::string& layer, const std::vector<double>& v) {
    const auto& tensor = m.tensors.at("w." + layer + ".weight");
    const auto b = values("w." + layer + ".bias");
    std::vector<double> y(tensor.dims[0]);
    for (std::size_t o = 0; o < y.size(); ++o) {
      y[o] = b[o];
      for (std::size_t j = 0; j < v.size(); ++j) y[o] += tensor.values[o * v.size() + j] * v[j];
    }
    return y;
  };
  std::vector<double> x = conv("stem", x0, 3, 1);
  for (std::size_t i = 0; i < m.dilations.size(); ++i) {
    const std::string block = "blocks." + std::to_string(i) + ".";
    std::vector<double> h = conv(block + "conv1", x, C, m.dilations[i]);
    norm(block + "norm1", h);
    for (double& v : h) v = gelu(v);
    std::vector<double> h2 = conv(block + "conv2", h, C, m.dilations[i]);
    norm(block + "norm2", h2);
    for (std::size_t j = 0; j < x.size(); ++j) x[j] = gelu(x[j] + h2[j]);
  }
  std::vector<double> pooled(2 * C + 2, -kInf);
  for (std::size_t c = 0; c < C; ++c) {
    pooled[c] = 0.0;
    for (std::size_t t = 0; t < L; ++t) {
      pooled[c] += x[c * L + t];
      if (x[c * L + t] > pooled[C + c]) pooled[C + c] = x[c * L + t];
    }
    pooled[c] /= static_cast<double>(L);
  }
  pooled[2 * C] = extras[0];
  pooled[2 * C + 1] = extras[1];
  std::vector<double> v = linear("head.0", pooled);
  for (double& e : v) e = gelu(e);
  v = linear("head.2", v);
  for (double& e : v) e = gelu(e);
  return linear("head.4", v);
}

std::vector<double> random_input(std::size_t length, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal;
  std::vector<double> input(3 * length);
  for (double& v : input) v = normal(random);
  return input;
}

void check_close(const std::vector<double>& actual, const std::vector<double>& expected,
                 double tolerance) {
  REQUIRE(actual.size() == expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    CAPTURE(i);
    if (std::isnan(expected[i]) || std::isinf(expected[i])) {
      CHECK(same(actual[i], expected[i]));
    } else {
      CHECK(std::abs(actual[i] - expected[i]) <= tolerance * (1.0 + std::abs(expected[i])));
    }
  }
}

std::string prediction_error(const WeightModel& model, std::size_t points = 20) {
  const Spectrum spectrum =
      spectrum_of("R0-(R1,C1)", {10.0, 100.0, 1e-5}, log_spaced(-1, 5, static_cast<int>(points)));
  const auto result = predict_parameters(model, spectrum);
  REQUIRE_FALSE(result.ok());
  return message(result.error());
}

}  // namespace

TEST_CASE("inference: the network matches its definition") {
  struct Shape {
    std::uint32_t channels, n_grid, kernel, groups;
    std::vector<std::uint32_t> dilations;
  };
  // Channel and position counts off the blocking sizes, kernels other than 5, a dilation beyond the
  // grid, groups that do not divide the channels and more groups than are normalised at once.
  const std::vector<Shape> shapes = {{8, 16, 5, 4, {1, 2, 4, 8}},
                                     {20, 11, 5, 10, {1, 2}},
                                     {6, 13, 3, 4, {1, 3}},
                                     {5, 9, 4, 2, {2, 40}},
                                     {4, 1, 5, 1, {1}},
                                     {3, 8, 1, 8, {0, 7}}};
  for (const Shape& shape : shapes) {
    test_support::RandomModel spec;
    spec.channels = shape.channels;
    spec.n_grid = shape.n_grid;
    spec.kernel = shape.kernel;
    spec.groups = shape.groups;
    spec.dilations = shape.dilations;
    spec.seed = shape.channels;
    CAPTURE(shape.channels);
    const WeightModel model = random_model(spec);
    const auto input = random_input(shape.n_grid, 7);
    const Extras extras = {0.75, 0.85};
    const auto output = run_network(model, input, extras);
    REQUIRE(output.ok());
    check_close(output.value(), naive_forward(model, input, extras), 1e-12);
  }
}

TEST_CASE("inference: zero weights skip non-finite inputs, off-grid taps skip any weight") {
  WeightModel model = random_model(small_rc());
  auto& stem = model.tensors.at("w.stem.weight").values;
  // Output channel 0 ignores input channel 0 entirely; output channel 1 has an infinite weight on
  // its first tap, which only the positions that reach past the grid's start must not see.
  for (std::size_t k = 0; k < 5; ++k) stem[k] = 0.0;
  stem[15] = kInf;
  std::vector<double> input = random_input(16, 3);
  input[5] = kInf;
  input[6] = std::nan("");
  const Network network = bind_network(model).value();
  const Extras extras = {0.5, 0.5};
  check_close(forward(network, input, extras), naive_forward(model, input, extras), 1e-12);

  // The same holds in the first convolution alone, where NaN has not yet spread everywhere.
  WeightModel stem_only = model;
  stem_only.dilations.clear();
  const auto out = forward(bind_network(stem_only).value(), input, extras);
  const auto expected = naive_forward(stem_only, input, extras);
  check_close(out, expected, 1e-12);
}

TEST_CASE("inference: malformed files end in an error before any value is read") {
  const WeightModel valid = random_model(small_rc());
  const std::string unparsable = "weight file has an unparsable value for ";
  const auto resized = [](WeightModel& m, const std::string& name, std::size_t size) {
    m.tensors.at(name).values.resize(size, 0.5);
  };
  struct Case {
    std::function<void(WeightModel&)> change;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](WeightModel& m) { m.n_grid = 0; }, unparsable + "n_grid (0 is outside 1 to 4096)"},
      {[](WeightModel& m) { m.n_grid = 4097; }, unparsable + "n_grid (4097 is outside 1 to 4096)"},
      {[](WeightModel& m) { m.channels = 0; }, unparsable + "channels (0 is outside 1 to 4096)"},
      {[](WeightModel& m) { m.channels = 1u << 20; },
       unparsable + "channels (1048576 is outside 1 to 4096)"},
      {[](WeightModel& m) { m.channels = 4096, m.n_grid = 4096; },
       unparsable + "channels (4096 channels of 4096 grid points exceed 1048576 values)"},
      {[](WeightModel& m) { m.kernel = 0; }, unparsable + "kernel (0 is outside 1 to 4096)"},
      {[](WeightModel& m) { m.groups = 0; },
       unparsable + "groups (0 is outside 1 to 18446744073709551615)"},
      {[](WeightModel& m) { m.dilations[2] = 1ull << 40; },
       unparsable + "dilations (1099511627776 is outside 0 to 4294967295)"},
      {[](WeightModel& m) { m.tensors.erase("w.stem.bias"); },
       "weight file is missing w.stem.bias"},
      {[](WeightModel& m) { m.dilations.push_back(16); },
       "weight file is missing w.blocks.4.conv1.weight"},
      {[](WeightModel& m) { m.tensors.erase("w.blocks.1.norm2.bias"); },
       "weight file is missing w.blocks.1.norm2.bias"},
      {[&](WeightModel& m) { resized(m, "w.stem.weight", 119); },
       "tensor w.stem.weight has 119 elements, expected 120"},
      {[](WeightModel& m) {
         m.tensors.at("w.stem.weight").dims = {3, 8, 5};
       },
       unparsable + "w.stem.weight (shape [3, 8, 5], expected [8, 3, 5])"},
      {[](WeightModel& m) {
         m.tensors.at("w.blocks.0.conv2.weight").dims = {8, 8, 5, 1};
       },
       unparsable + "w.blocks.0.conv2.weight (shape [8, 8, 5, 1], expected [8, 8, 5])"},
      {[](WeightModel& m) { m.kernel = 3; }, "tensor w.stem.weight has 120 elements, expected 72"},
      {[&](WeightModel& m) { resized(m, "w.blocks.3.conv1.bias", 9); },
       "tensor w.blocks.3.conv1.bias has 9 elements, expected 8"},
      {[&](WeightModel& m) { resized(m, "w.blocks.2.norm1.weight", 4); },
       "tensor w.blocks.2.norm1.weight has 4 elements, expected 8"},
      {[](WeightModel& m) {
         m.tensors.at("w.head.0.weight").dims = {32, 17};
       },
       "tensor head.0 has 18 elements, expected 17"},
      {[](WeightModel& m) { m.tensors.at("w.head.0.weight").dims = {576}; },
       unparsable + "w.head.0.weight (shape [576], expected two dimensions)"},
      {[&](WeightModel& m) { resized(m, "w.head.0.weight", 575); },
       "tensor w.head.0.weight has 575 elements, expected 576"},
      {[&](WeightModel& m) {
         m.tensors.at("w.head.2.weight").dims = {31, 32};
         resized(m, "w.head.2.weight", 31 * 32);
         resized(m, "w.head.2.bias", 31);
       },
       "tensor head.4 has 31 elements, expected 32"},
      {[&](WeightModel& m) { resized(m, "w.head.4.bias", 5); },
       "tensor w.head.4.bias has 5 elements, expected 6"},
      {[&](WeightModel& m) {
         m.tensors.at("w.head.4.weight").dims = {2, 32};
         resized(m, "w.head.4.weight", 64);
         resized(m, "w.head.4.bias", 2);
       },
       unparsable + "w.head.4.weight (2 outputs for 3 parameters)"},
      {[](WeightModel& m) { m.target_std.pop_back(); },
       "tensor target_std has 2 elements, expected 3"},
      {[](WeightModel& m) { m.log_params.clear(); },
       "tensor log_params has 0 elements, expected 3"},
      {[](WeightModel& m) { m.param_names.push_back("X.x"); },
       "tensor target_mean has 3 elements, expected 4"},
      {[](WeightModel& m) { m.scaling.pop_back(), m.target_mean.pop_back(); },
       "tensor target_mean has 2 elements, expected 3"},
      {[](WeightModel& m) { m.scaling[1].exponent_index = 3; },
       unparsable + "scaling (row 1 takes its exponent from parameter 3 of 3)"},
      {[](WeightModel& m) { m.alpha_min = 2.0; },
       unparsable + "alpha_max (not at least alpha_min)"},
      {[](WeightModel& m) { m.alpha_max = std::nan(""); },
       unparsable + "alpha_max (not at least alpha_min)"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    WeightModel broken = valid;
    c.change(broken);
    CHECK(prediction_error(broken) == c.text);
  }
  CHECK(predict_parameters(valid, spectrum_of("R0-(R1,C1)", {10, 100, 1e-5}, log_spaced(-1, 5, 20)))
            .ok());

  // The point count comes first, the network's checks after it.
  WeightModel broken = valid;
  broken.tensors.erase("w.stem.weight");
  CHECK(prediction_error(broken, 1) == "need at least 2 frequency points to guess, got 1");
  CHECK(prediction_error(broken, 2) == "weight file is missing w.stem.weight");
}

TEST_CASE("inference: scales and features") {
  WeightModel model;
  model.n_grid = 64;

  SUBCASE("the reactive centroid of an RC spectrum") {
    const Spectrum spectrum = spectrum_of("R0-(R1,C1)", {10.0, 100.0, 1e-5}, log_spaced(-1, 5, 50));
    const SpectrumScales scales = estimate_scales(spectrum);
    CHECK(scales.impedance == doctest::Approx(33.32).epsilon(1e-3));
    CHECK(scales.angular_frequency == doctest::Approx(3237).epsilon(1e-3));
  }
  SUBCASE("without capacitive points: upper median modulus and geometric mean") {
    Spectrum resistive{{10.0, 1000.0, 100.0, 1.0}, {{4, 0}, {1, 0}, {3, 0}, {2, 0}}};
    SpectrumScales scales = estimate_scales(resistive);
    CHECK(scales.impedance == 3.0);
    CHECK(scales.angular_frequency == doctest::Approx(kTwoPi * std::sqrt(1000.0)));
    Spectrum inductive{{1.0, 2.0}, {{1, 1}, {0, 5}}};
    scales = estimate_scales(inductive);
    CHECK(scales.impedance == 5.0);
    CHECK(scales.angular_frequency == doctest::Approx(kTwoPi * std::sqrt(2.0)));
  }
  SUBCASE("two points span the grid exactly") {
    const Spectrum spectrum{{1000.0, 10.0}, {{3, -4}, {0, -10}}};
    const Features f = featurise(model, spectrum, {1.0, kTwoPi});
    CHECK(f.input[0] == doctest::Approx(1.0));  // log10 |Z| at 10 Hz
    CHECK(f.input[63] == doctest::Approx(std::log10(5.0)));
    CHECK(f.input[64] == doctest::Approx(-1.0));   // phase -pi/2 at 10 Hz
    CHECK(f.input[128] == doctest::Approx(0.25));  // (log10 10 - 0) / 4
    CHECK(f.input[191] == doctest::Approx(0.75));
    CHECK(f.extras[0] == 0.25);
    CHECK(f.extras[1] == doctest::Approx(std::log10(2.0) * 0.5));
  }
  SUBCASE("point order does not matter") {
    Spectrum ascending = spectrum_of("R0-(R1,CPE1)", {5, 50, 2e-4, 0.8}, log_spaced(-2, 4, 30));
    Spectrum descending{{ascending.frequencies.rbegin(), ascending.frequencies.rend()},
                        {ascending.impedances.rbegin(), ascending.impedances.rend()}};
    const auto a = featurise(model, ascending, estimate_scales(ascending));
    const auto d = featurise(model, descending, estimate_scales(descending));
    check_close(a.input, d.input, 1e-12);
  }
  SUBCASE("the phase is made continuous") {
    WeightModel two;
    two.n_grid = 2;
    const Spectrum spectrum{{1.0, 2.0},
                            {{std::cos(3.0), std::sin(3.0)}, {std::cos(-3.0), std::sin(-3.0)}}};
    const Features f = featurise(two, spectrum, {1.0, 1.0});
    CHECK(f.input[2] * 1.5707963267948966 == doctest::Approx(3.0));
    CHECK(f.input[3] * 1.5707963267948966 == doctest::Approx(3.2831853071795862));
  }
  SUBCASE("NaN frequencies keep every grid point in range") {
    const Spectrum spectrum{{std::nan(""), 10.0, -1.0, 100.0},
                            {{1, -1}, {2, -1}, {3, -1}, {4, -1}}};
    const Features f = featurise(model, spectrum, estimate_scales(spectrum));
    CHECK(f.input.size() == 192);
  }
}

TEST_CASE("inference: outputs to parameters") {
  WeightModel model;
  model.param_names = {"R0.r", "CPE0.q", "CPE0.alpha"};
  model.target_mean = {1.0, -3.0, 0.3};
  model.target_std = {1.0, 1.0, 1.0};
  model.log_params = {true, true, false};
  model.scaling = {{1, 0, 0, -1}, {-1, 0, -1, 2}, {0, 0, 0, -1}};
  model.alpha_min = 0.05;
  model.alpha_max = 1.0;
  const SpectrumScales scales = {10.0, 100.0};

  // A log-scaled value is never clamped; the exponent is, and the q row uses the clamped value.
  auto values = map_outputs(model, std::vector<double>{1.5, 0.0, 1.0, 99.0}, scales);
  CHECK(values[0] == doctest::Approx(std::pow(10.0, 2.5) * 10.0));
  CHECK(values[2] == 1.0);
  CHECK(values[1] == doctest::Approx(1e-3 / 10.0 / 100.0));
  values = map_outputs(model, std::vector<double>{0.0, 0.0, -1.0}, scales);
  CHECK(values[2] == 0.05);
  values = map_outputs(model, std::vector<double>{0.0, 0.0, std::nan("")}, scales);
  CHECK(std::isnan(values[2]));
}

TEST_CASE("inference: IEEE total order") {
  const double nan = std::nan(""), negative_nan = -std::nan("");
  const std::vector<double> ordered = {negative_nan, -kInf, -1.0, -0.0, 0.0, 1e-300, kInf, nan};
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    for (std::size_t j = 0; j < ordered.size(); ++j) {
      CAPTURE(i);
      CAPTURE(j);
      CHECK(total_order_less(ordered[i], ordered[j]) == (i < j));
    }
  }
}
