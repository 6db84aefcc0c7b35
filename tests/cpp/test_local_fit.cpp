#include <doctest/doctest.h>

#include <cmath>
#include <vector>

#include "fit/local_fit.hpp"
#include "synthetic_fit.hpp"

using namespace movarin;

using test_support::Synthetic;
using test_support::SyntheticContext;

TEST_CASE("a local run recovers the free parameters and leaves frozen ones bit for bit") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 30);
  SyntheticContext spectrum{data};
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
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 30);
  SyntheticContext spectrum{data};
  LocalFitSettings settings;
  settings.xtol = NAN;
  const auto run =
      run_local_solver(spectrum.context(), data.truth, {false, false, false}, settings);
  REQUIRE_FALSE(run.ok());
  CHECK(run.error().kind == FitError::Kind::InvalidLocalSetting);
  CHECK(run.error().local_setting.kind == SolverSetupError::Kind::NegativeXtol);
  CHECK(message(run.error()) == "solver error: Invalid parameter: xtol must be >= 0");
}
