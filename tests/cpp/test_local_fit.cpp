#include <doctest/doctest.h>

#include <cmath>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/local_fit.hpp"

using namespace movarin;

namespace {

// A noiseless spectrum of R0-(R1,C1) and the context a fit of it works in.
struct RcSpectrum {
  SeriesList circuit = parse_circuit("R0-(R1,C1)").value();
  std::vector<double> truth = {10.0, 100.0, 1e-5};
  std::vector<double> omega;
  std::vector<Complex> measured;
  std::vector<double> weights;
  std::vector<Bounds> bounds = param_bounds(circuit);
  EvaluationCounter counter;

  RcSpectrum() {
    for (int i = 0; i < 30; ++i) omega.push_back(kTwoPi * std::pow(10.0, 5.0 - 0.25 * i));
    for (const double w : omega)
      measured.push_back(impedance_with_values(circuit, truth, w).value());
    weights = weights_for(measured, WeightScheme::Modulus);
  }
  FitContext context() { return {{circuit, omega, measured, weights, counter}, bounds}; }
};

}  // namespace

TEST_CASE("a local run recovers the free parameters and leaves frozen ones bit for bit") {
  RcSpectrum spectrum;
  const FitContext context = spectrum.context();
  const std::vector<double> start = {10.0, 300.0, 3e-6};
  const auto free = run_local_solver(context, start, {false, false, false}, LocalFitSettings{});
  REQUIRE(free.ok());
  CHECK(free.value().success);
  CHECK(is_success(free.value().stop.reason));
  CHECK(free.value().x[1] == doctest::Approx(100.0).epsilon(1e-7));
  CHECK(free.value().evaluations > 0);
  CHECK(spectrum.counter.value() > free.value().evaluations);  // Jacobians and the final cost

  const std::vector<double> off_start = {12.5, 300.0, 3e-6};
  const auto frozen =
      run_local_solver(context, off_start, {true, false, false}, LocalFitSettings{});
  REQUIRE(frozen.ok());
  CHECK(frozen.value().x[0] == 12.5);
  CHECK(frozen.value().cost > 0.0);
}

TEST_CASE("a local run refuses negative tolerances as a typed error") {
  RcSpectrum spectrum;
  LocalFitSettings settings;
  settings.xtol = NAN;
  const auto run =
      run_local_solver(spectrum.context(), spectrum.truth, {false, false, false}, settings);
  REQUIRE_FALSE(run.ok());
  CHECK(run.error().kind == FitError::Kind::InvalidLocalSetting);
  CHECK(run.error().local_setting.kind == SolverSetupError::Kind::NegativeXtol);
  CHECK(message(run.error()) == "solver error: Invalid parameter: xtol must be >= 0");
}
