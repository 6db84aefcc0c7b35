#include <doctest/doctest.h>

#include <cmath>
#include <vector>

#include "fit/global_methods.hpp"
#include "synthetic_fit.hpp"

using namespace movarin;
using test_support::Synthetic;
using test_support::SyntheticContext;

TEST_CASE("each search method runs its own search inside the box with its own work count") {
  const Synthetic data("R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 0.8}, 20);
  SyntheticContext fit{data};
  const FitContext context = fit.context();

  FitSettings settings;
  settings.seed = 11;
  settings.num_particles = 10;
  settings.generations = 7;
  settings.de_evaluations = 300;
  settings.nelder_mead_iterations = 40;
  settings.sa_iterations = 60;
  const std::vector<std::pair<FitMethod, std::uint64_t>> expected = {
      {FitMethod::ParticleSwarm, 7},
      {FitMethod::DifferentialEvolution, 3000},
      {FitMethod::NelderMead, 40},
      {FitMethod::SimulatedAnnealing, 60},
  };
  for (const auto& [method, iterations] : expected) {
    CAPTURE(fit_method_name(method));
    const auto point = global_search(method, context, settings);
    REQUIRE(point.ok());
    CHECK(point.value().iterations <= iterations);
    CHECK(point.value().iterations > 0);
    REQUIRE(point.value().params.size() == data.truth.size());
    for (const double value : point.value().params) CHECK(std::isfinite(value));
  }

  settings.sa_initial_temperature = INFINITY;
  const auto refused = global_search(FitMethod::SimulatedAnnealing, context, settings);
  REQUIRE_FALSE(refused.ok());
  CHECK(refused.error().kind == FitError::Kind::SearchFailed);
  CHECK(message(refused.error()) ==
        "solver error: Invalid parameter: sa_initial_temperature must be finite");
}
