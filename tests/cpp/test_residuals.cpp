#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <thread>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/residuals.hpp"

using namespace movarin;

namespace {

struct Fixture {
  SeriesList circuit = parse_circuit("R0-(R1-W1,CPE1)").value();
  std::vector<double> params = {12.0, 85.0, 40.0, 2.2e-5, 0.87};
  std::vector<double> frequencies = {1e5, 1e3, 31.6, 1.0, 0.05};
  std::vector<Complex> measured = {
      {12.3, -0.4}, {20.0, -30.0}, {70.0, -25.0}, {0.0, 0.0}, {300.0, -250.0}};
  std::vector<double> omega = angular_frequencies(frequencies);
  std::vector<double> weights = weights_for(measured, WeightScheme::Modulus);
  EvaluationCounter counter;
  ResidualProblem problem() { return {circuit, omega, measured, weights, counter}; }
};

// The model at one frequency, computed apart from the residual code.
Complex model_at(const SeriesList& circuit, const std::vector<double>& params, double f) {
  return impedance_with_values(circuit, params, f * 6.283185307179586).value();
}

}  // namespace

TEST_CASE("weight schemes parse exactly and weigh by the measured modulus") {
  CHECK(parse_weight_scheme("modulus").value() == WeightScheme::Modulus);
  CHECK(parse_weight_scheme("unit").value() == WeightScheme::Unit);
  for (const WeightScheme scheme : {WeightScheme::Modulus, WeightScheme::Unit}) {
    CHECK(parse_weight_scheme(weight_scheme_name(scheme)).value() == scheme);
  }
  for (const char* wrong : {"Modulus", "UNIT", " unit", ""}) {
    CHECK_FALSE(parse_weight_scheme(wrong).ok());
  }
  CHECK(message(parse_weight_scheme("Modu\"lus").error()) ==
        R"(unknown weight scheme "Modu\"lus", expected "modulus" or "unit")");

  const std::vector<Complex> z = {{3.0, -4.0}, {0.0, 0.0}};
  CHECK(weights_for(z, WeightScheme::Modulus) == std::vector<double>{5.0, 1e-30});
  CHECK(weights_for(z, WeightScheme::Unit) == std::vector<double>{1.0, 1.0});
}

TEST_CASE("residuals are model minus measurement over the weight, interleaved") {
  Fixture f;
  const auto r = weighted_residuals(f.problem(), f.params).value();
  REQUIRE(r.size() == 2 * f.frequencies.size());
  for (std::size_t i = 0; i < f.frequencies.size(); ++i) {
    const Complex model = model_at(f.circuit, f.params, f.frequencies[i]);
    CHECK(r[2 * i] == (model.re - f.measured[i].re) / f.weights[i]);
    CHECK(r[2 * i + 1] == (model.im - f.measured[i].im) / f.weights[i]);
  }
  CHECK(f.counter.value() == 1);
  CHECK(std::isfinite(r[6]));  // the point measured as zero is weighted by 1e-30, not divided by 0
}

TEST_CASE("cost sums from negative zero") {
  CHECK(std::signbit(sum_of_squares({})));
  CHECK(residual_cost(std::vector<double>{3.0, 4.0}) == 12.5);
}

TEST_CASE("short parameter vectors fail, extra values are ignored") {
  Fixture f;
  const std::vector<double> short_params(f.params.begin(), f.params.end() - 1);
  CHECK_FALSE(weighted_residuals(f.problem(), short_params).ok());
  std::vector<double> long_params = f.params;
  long_params.push_back(99.0);
  CHECK(weighted_residuals(f.problem(), long_params).value() ==
        weighted_residuals(f.problem(), f.params).value());
}

TEST_CASE("central Jacobian matches an independent difference and counts 2m evaluations") {
  Fixture f;
  const auto jacobian = central_jacobian(f.problem(), f.params).value();
  CHECK(f.counter.value() == 2 * f.params.size());
  REQUIRE(jacobian.rows == 2 * f.frequencies.size());
  REQUIRE(jacobian.cols == f.params.size());
  const double c = std::cbrt(std::numeric_limits<double>::epsilon());
  CHECK(jacobian_step(0.0) == c * 1e-8);
  for (std::size_t j = 0; j < f.params.size(); ++j) {
    const double h = c * std::max(std::fabs(f.params[j]), 1e-8);
    auto plus = f.params, minus = f.params;
    plus[j] += h;
    minus[j] -= h;
    for (std::size_t i = 0; i < f.frequencies.size(); ++i) {
      const Complex zp = model_at(f.circuit, plus, f.frequencies[i]);
      const Complex zm = model_at(f.circuit, minus, f.frequencies[i]);
      const double re =
          ((zp.re - f.measured[i].re) / f.weights[i] - (zm.re - f.measured[i].re) / f.weights[i]) /
          (2 * h);
      const double im =
          ((zp.im - f.measured[i].im) / f.weights[i] - (zm.im - f.measured[i].im) / f.weights[i]) /
          (2 * h);
      CHECK(jacobian.at(2 * i, j) == doctest::Approx(re).epsilon(1e-12));
      CHECK(jacobian.at(2 * i + 1, j) == doctest::Approx(im).epsilon(1e-12));
    }
  }
}

TEST_CASE("the Jacobian is bitwise the same from any number of concurrent callers") {
  Fixture f;
  const auto reference = central_jacobian(f.problem(), f.params).value().data;
  std::vector<std::vector<double>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] { result = central_jacobian(f.problem(), f.params).value().data; });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) CHECK(result == reference);
  CHECK(f.counter.value() == 5 * 2 * f.params.size());
}

TEST_CASE("solver coordinates: log10 above lo for open bounds, identity for finite ones") {
  const std::vector<Bounds> bounds = {{1e-12, INFINITY}, {0.0, 1.0}, {1e-12, NAN}};
  const std::vector<double> x = {1e-12 + 100.0, 0.25, 1e-12 + 0.001};
  const auto u = to_solver_coordinates(x, bounds);
  CHECK(u[0] == doctest::Approx(2.0));
  CHECK(u[1] == 0.25);
  CHECK(u[2] == doctest::Approx(-3.0));
  const auto back = from_solver_coordinates(u, bounds);
  for (std::size_t j = 0; j < x.size(); ++j) CHECK(back[j] == doctest::Approx(x[j]).epsilon(1e-14));
  CHECK(to_solver_coordinates(std::vector<double>{1e-12}, bounds)[0] == -300.0);
  // Values beyond the bounds list are left as they are.
  CHECK(to_solver_coordinates(std::vector<double>{5.0, 7.0}, std::vector<Bounds>{{0.0, 1.0}})[1] ==
        7.0);
  CHECK(is_open_bound(-INFINITY));
  CHECK_FALSE(is_open_bound(1e308));
}

TEST_CASE("the solver-coordinate Jacobian applies the chain rule and zeroes frozen columns") {
  Fixture f;
  const std::vector<Bounds> bounds = param_bounds(f.circuit);
  const auto u = to_solver_coordinates(f.params, bounds);
  const auto x = from_solver_coordinates(u, bounds);
  const auto physical = central_jacobian(f.problem(), x).value();
  const std::vector<bool> frozen = {false, true, false, false, false};
  const auto scaled = solver_jacobian(f.problem(), u, bounds, frozen).value();
  for (std::size_t k = 0; k < physical.rows; ++k) {
    CHECK(scaled.at(k, 0) == physical.at(k, 0) * ((x[0] - 1e-12) * 2.302585092994046));
    CHECK(scaled.at(k, 1) == 0.0);
    CHECK(scaled.at(k, 4) == physical.at(k, 4));  // alpha is bounded: linear
  }
}

TEST_CASE("large spectra go to the pool in pieces with the same residuals and Jacobian bits") {
  // Enough points that both calls cut the spectrum into pool tasks; the reference evaluates
  // 50-point slices, each on the calling thread, with and without the logarithms handed in.
  const SeriesList circuit = parse_circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)").value();
  const std::vector<double> params = {5.0, 20.0, 1e-5, 0.9, 40.0, 30.0, 5.0, 5e-4, 0.8};
  const std::size_t n = 2 * kPoolWork + 7;
  REQUIRE(n * 2 * params.size() >= kPoolWork);
  std::vector<double> frequencies(n);
  std::vector<Complex> measured(n);
  for (std::size_t i = 0; i < n; ++i) {
    frequencies[i] = std::pow(10.0, -2.0 + 7.0 * static_cast<double>(i) / (n - 1));
    measured[i] = {10.0 + std::sin(static_cast<double>(i)), -3.0};
  }
  const std::vector<double> omega = angular_frequencies(frequencies);
  const std::vector<double> logs = log_angular_frequencies(omega);
  const std::vector<double> weights = weights_for(measured, WeightScheme::Modulus);
  EvaluationCounter counter;
  const ResidualProblem whole{circuit, omega, measured, weights, counter, logs};
  const auto residuals = weighted_residuals(whole, params).value();
  const Matrix jacobian = central_jacobian(whole, params).value();
  CHECK(counter.value() == 1 + 2 * params.size());
  bool same_bits = true;
  for (std::size_t begin = 0; begin < n; begin += 50) {
    const std::size_t count = std::min<std::size_t>(50, n - begin);
    const std::span<const double> all_logs(logs);
    const std::span<const double> slice_logs =
        begin % 100 == 0 ? std::span<const double>() : all_logs.subspan(begin, count);
    const ResidualProblem slice{circuit,
                                std::span<const double>(omega).subspan(begin, count),
                                std::span<const Complex>(measured).subspan(begin, count),
                                std::span<const double>(weights).subspan(begin, count),
                                counter,
                                slice_logs};
    const auto slice_residuals = weighted_residuals(slice, params).value();
    const Matrix slice_jacobian = central_jacobian(slice, params).value();
    same_bits = same_bits && std::equal(slice_residuals.begin(), slice_residuals.end(),
                                        residuals.begin() + static_cast<std::ptrdiff_t>(2 * begin));
    same_bits = same_bits &&
                std::equal(slice_jacobian.data.begin(), slice_jacobian.data.end(),
                           jacobian.data.begin() +
                               static_cast<std::ptrdiff_t>(2 * begin * params.size()));
  }
  CHECK(same_bits);
  // A short parameter vector fails in every piece, not only the first.
  const std::vector<double> short_params(params.begin(), params.end() - 1);
  CHECK_FALSE(weighted_residuals(whole, short_params));
  CHECK_FALSE(central_jacobian(whole, short_params));
}
