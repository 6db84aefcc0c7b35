#include <doctest/doctest.h>

#include <cmath>
#include <string>
#include <vector>

#include "synthetic_fit.hpp"

using namespace movarin;
using test_support::Synthetic;

namespace {

// Two arcs far enough apart that every method tells them apart.
Synthetic two_arcs() {
  return Synthetic("R0-p(R1,CPE1)-p(R2,CPE2)", {5.0, 40.0, 1e-5, 0.85, 120.0, 1e-3, 0.75}, 50);
}

FitSettings quick(const char* method) {
  FitSettings settings;
  settings.method = method;
  settings.seed = 5;
  settings.num_particles = 30;
  settings.generations = 60;
  settings.de_evaluations = 2000;
  settings.sa_iterations = 800;
  settings.basin_hopping_hops = 3;
  return settings;
}

}  // namespace

TEST_CASE("a fixed parameter keeps its value bit for bit under every method") {
  const Synthetic data = two_arcs();
  FitConstraints constraints;
  constraints.fixed = {true, false, false, false, false, false, false};
  // The true R0, the rest off by factors the multi-start recovers from.
  const SeriesList start = data.starting_at({5.0, 80.0, 3e-5, 0.8, 60.0, 3e-4, 0.8});
  for (const char* method : {"levenberg_marquardt", "particle_swarm", "nelder_mead",
                             "differential_evolution", "simulated_annealing", "basin_hopping"}) {
    CAPTURE(std::string(method));
    const auto outcome = data.fit(start, quick(method), constraints);
    REQUIRE(outcome.ok());
    CHECK(outcome.value().params[0] == 5.0);
    const auto& errors = outcome.value().standard_errors;
    if (errors) CHECK(std::isnan((*errors)[0]));
    // Differential evolution draws from the operating system; the other searches are seeded
    // but short, so only the local methods must reach the truth.
    if (std::string(method) == "levenberg_marquardt" || std::string(method) == "basin_hopping") {
      REQUIRE(errors.has_value());
      CHECK(std::isfinite((*errors)[1]));
      CHECK(outcome.value().success);
      for (std::size_t j = 1; j < data.truth.size(); ++j) {
        CHECK(outcome.value().params[j] == doctest::Approx(data.truth[j]).epsilon(1e-6));
      }
    }
  }
}

TEST_CASE("bounds that exclude the optimum end the fit on the bound, inside every box") {
  const Synthetic data("R0-p(R1,CPE1)", {5.0, 40.0, 1e-5, 0.85});
  FitConstraints constraints;
  constraints.bounds = param_bounds(data.circuit);
  constraints.bounds[1] = {50.0, 500.0};
  constraints.bounds[3] = {0.7, 0.8};
  const SeriesList start = data.starting_at({5.0, 60.0, 1e-5, 0.75});
  for (const char* method : {"levenberg_marquardt", "particle_swarm", "basin_hopping"}) {
    CAPTURE(std::string(method));
    const auto outcome = data.fit(start, quick(method), constraints);
    REQUIRE(outcome.ok());
    const auto& p = outcome.value().params;
    CHECK(p[1] >= 50.0);
    CHECK(p[1] == doctest::Approx(50.0).epsilon(1e-6));
    CHECK((p[3] == 0.7 || p[3] == 0.8));
    // The swarm may settle on the lower exponent bound, a local optimum of the box.
    if (std::string(method) != "particle_swarm") CHECK(p[3] == 0.8);
  }
}

TEST_CASE("constraints are refused with the parameter's name, before the settings") {
  const Synthetic data = two_arcs();
  const SeriesList start = data.starting_at({5.0, 80.0, 3e-5, 0.8, 60.0, 3e-4, 0.8});
  const auto refusal = [&](FitConstraints constraints) {
    FitSettings settings;
    settings.ftol = -1.0;  // would be refused next
    const auto outcome = data.fit(start, settings, constraints);
    REQUIRE_FALSE(outcome.ok());
    return message(outcome.error());
  };
  const auto with_bound = [&](std::size_t j, Bounds b) {
    FitConstraints constraints;
    constraints.bounds = param_bounds(data.circuit);
    constraints.bounds[j] = b;
    return constraints;
  };
  CHECK(refusal({{true}, {}}) == "fixed has 1 entries, the circuit has 7 parameters");
  CHECK(refusal(with_bound(1, {NAN, 10.0})) == "bounds of R1.r: the lower bound NaN is not finite");
  CHECK(refusal(with_bound(1, {10.0, NAN})) == "bounds of R1.r: the upper bound is NaN");
  CHECK(refusal(with_bound(1, {100.0, 10.0})) ==
        "bounds of R1.r: the lower bound 100 is not below the upper bound 10");
  CHECK(refusal(with_bound(1, {-1.0, 10.0})) ==
        "bounds of R1.r: [-1, 10] reaches outside the parameter's range [1e-12, inf]");
  // Zero means the resistance's floor: accepted, so the settings are checked next.
  CHECK(refusal(with_bound(1, {0.0, 100.0})) ==
        "solver error: Invalid parameter: ftol must be >= 0");
  CHECK(refusal(with_bound(1, {0.0, 1e-13})) ==
        "bounds of R1.r: [0, 1e-13] reaches outside the parameter's range [1e-12, inf]");
  CHECK(refusal(with_bound(3, {0.5, 1.2})) ==
        "bounds of CPE1.alpha: [0.5, 1.2] reaches outside the parameter's range [0, 1]");
  CHECK(refusal(with_bound(1, {100.0, 200.0})) ==
        "the start value 80 of R1.r lies outside its bounds [100, 200]");
  FitConstraints all_fixed;
  all_fixed.fixed.assign(7, true);
  CHECK(refusal(all_fixed) == "every parameter is fixed: nothing is left to fit");
  FitConstraints fixed_outside;
  fixed_outside.fixed = {false, false, false, false, false, false, true};
  const SeriesList exponent_above_one = data.starting_at({5.0, 80.0, 3e-5, 0.8, 60.0, 3e-4, 1.5});
  const auto outcome = data.fit(exponent_above_one, {}, fixed_outside);
  REQUIRE_FALSE(outcome.ok());
  CHECK(message(outcome.error()) ==
        "the fixed value 1.5 of CPE2.alpha lies outside its bounds [0, 1]");
}
