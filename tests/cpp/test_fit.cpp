#include <doctest/doctest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/fit.hpp"
#include "fit/fit_statistics.hpp"
#include "fit/multi_start.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/total_order.hpp"
#include "synthetic_fit.hpp"

using namespace movarin;
using test_support::Synthetic;
using test_support::SyntheticContext;

namespace {

void check_recovers(const FitOutcome& outcome, const std::vector<double>& truth, double tolerance) {
  REQUIRE(outcome.params.size() == truth.size());
  for (std::size_t j = 0; j < truth.size(); ++j) {
    CHECK(outcome.params[j] == doctest::Approx(truth[j]).epsilon(tolerance));
  }
}

}  // namespace

TEST_CASE("levenberg_marquardt recovers noiseless circuits from starts three times off") {
  struct Case {
    const char* circuit;
    std::vector<double> truth;
  };
  const std::vector<Case> cases = {
      {"R0-(R1,C1)", {10.0, 100.0, 1e-5}},
      {"R0-(R1-W1,CPE1)", {12.0, 85.0, 40.0, 2.2e-5, 0.87}},
      {"R0-(R1,CPE1)-(R2,CPE2)", {5.0, 50.0, 2e-6, 0.9, 200.0, 1e-3, 0.75}},
  };
  // Every open-ended parameter off by a factor of 3, all up, all down or alternating; the
  // exponents keep their true values.
  const std::vector<std::vector<double>> patterns = {
      {3.0, 3.0}, {1.0 / 3.0, 1.0 / 3.0}, {3.0, 1.0 / 3.0}, {1.0 / 3.0, 3.0}};
  for (const Case& c : cases) {
    for (const auto& pattern : patterns) {
      CAPTURE(c.circuit);
      CAPTURE(pattern[0]);
      const Synthetic data(c.circuit, c.truth);
      const std::vector<Bounds> bounds = param_bounds(data.circuit);
      std::vector<double> start = c.truth;
      for (std::size_t j = 0, open = 0; j < start.size(); ++j) {
        if (is_open_bound(bounds[j].hi)) start[j] *= pattern[open++ % 2];
      }
      const auto outcome = data.fit(data.starting_at(start));
      REQUIRE(outcome.ok());
      CHECK(outcome.value().success);
      check_recovers(outcome.value(), c.truth, 1e-6);
      CHECK(outcome.value().chi_square == 2.0 * outcome.value().cost);
      const std::size_t m = c.truth.size();
      CHECK(outcome.value().impedance_evals >= 9 + 1 + 2 * m);
      REQUIRE(outcome.value().standard_errors.has_value());
      CHECK(outcome.value().standard_errors->size() == m);
    }
  }
}

TEST_CASE("every global method finds the minimum of an rc spectrum from placeholder values") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  for (const char* method : {"particle_swarm", "differential_evolution", "nelder_mead",
                             "simulated_annealing", "basin_hopping"}) {
    CAPTURE(method);
    FitSettings settings;
    settings.method = method;
    settings.seed = 7;
    settings.num_particles = 40;
    settings.generations = 100;
    settings.de_evaluations = 2000;
    settings.basin_hopping_hops = 5;
    const auto outcome = data.fit(data.circuit, settings);
    REQUIRE(outcome.ok());
    check_recovers(outcome.value(), data.truth, 1e-6);
  }
}

TEST_CASE("a fixed seed makes swarm, annealing and basin hopping reproducible") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  for (const char* method : {"particle_swarm", "simulated_annealing", "basin_hopping"}) {
    CAPTURE(method);
    FitSettings settings;
    settings.method = method;
    settings.seed = 12345;
    settings.num_particles = 20;
    settings.generations = 30;
    settings.sa_iterations = 300;
    settings.basin_hopping_hops = 3;
    const auto first = data.fit(data.circuit, settings).value();
    const auto second = data.fit(data.circuit, settings).value();
    CHECK(first.params == second.params);
    CHECK(first.iterations == second.iterations);
    CHECK(first.impedance_evals == second.impedance_evals);
  }
}

TEST_CASE("a bounded parameter whose optimum lies beyond its bound ends exactly at it") {
  // A CPE measured with alpha 1.2 cannot be matched inside alpha's bounds (0, 1).
  const Synthetic data("R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 1.2});
  const auto outcome = data.fit(data.starting_at({10.0, 100.0, 1e-5, 0.9}));
  REQUIRE(outcome.ok());
  CHECK(outcome.value().params[3] == 1.0);
  CHECK(param_values(outcome.value().circuit)[3] == 1.0);
}

TEST_CASE("standard errors need more residuals than parameters") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 1);
  const auto outcome = data.fit(data.circuit).value();
  CHECK_FALSE(outcome.standard_errors.has_value());
  CHECK(std::isfinite(outcome.cost));
  CHECK(outcome.params.size() == 3);
}

TEST_CASE("basin hopping reports the statistics' own evaluations only") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  FitSettings settings;
  settings.method = "basin_hopping";
  settings.seed = 3;
  settings.basin_hopping_hops = 2;
  const auto outcome = data.fit(data.circuit, settings).value();
  CHECK(outcome.impedance_evals == 1 + 2 * 3);
  CHECK(outcome.success);
}

TEST_CASE("basin hopping is unsuccessful when every local fit failed") {
  Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  data.impedances[3] = {NAN, 0.0};  // every residual vector is non-finite
  FitSettings settings;
  settings.method = "basin_hopping";
  settings.seed = 3;
  settings.basin_hopping_hops = 2;
  const auto outcome = data.fit(data.circuit, settings).value();
  CHECK_FALSE(outcome.success);
}

TEST_CASE("input checks come after the method keyword, in order") {
  const SeriesList rc = parse_circuit("R0-(R1,C1)").value();
  const std::vector<double> one_frequency = {1.0};
  const std::vector<Complex> one_impedance = {{1.0, 0.0}};
  const std::vector<Complex> two_impedances = {{1.0, 0.0}, {2.0, 0.0}};
  FitSettings lm;
  FitSettings unknown;
  unknown.method = "lm";

  const auto wrong_method = run_fit(rc, {}, {}, unknown);
  CHECK(message(wrong_method.error()) ==
        "unknown fit method \"lm\", expected one of \"levenberg_marquardt\", \"particle_swarm\", "
        "\"nelder_mead\", \"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"");
  CHECK(message(run_fit(rc, one_frequency, two_impedances, lm).error()) ==
        "frequencies and impedances must have the same length");
  CHECK(message(run_fit(rc, {}, {}, lm).error()) == "frequencies and impedances must not be empty");
  CHECK(message(run_fit({}, one_frequency, one_impedance, lm).error()) ==
        "circuit topology has no parameters to fit");
}

TEST_CASE("invalid solver settings end the fit with a solver error, never an abort") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  struct Case {
    void (*apply)(FitSettings&);
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](FitSettings& s) { s.ftol = -1.0; }, "solver error: Invalid parameter: ftol must be >= 0"},
      {[](FitSettings& s) { s.xtol = -1.0; }, "solver error: Invalid parameter: xtol must be >= 0"},
      {[](FitSettings& s) {
         s.method = "basin_hopping";
         s.basin_hopping_step_size = -1.0;
       },
       "solver error: Invalid parameter: basin_hopping_step_size must be finite and >= 0"},
      {[](FitSettings& s) {
         s.method = "basin_hopping";
         s.basin_hopping_step_size = INFINITY;
       },
       "solver error: Invalid parameter: basin_hopping_step_size must be finite and >= 0"},
      {[](FitSettings& s) {
         s.method = "simulated_annealing";
         s.sa_initial_temperature = 0.0;
       },
       "solver error: Invalid parameter: sa_initial_temperature must be > 0"},
  };
  for (const Case& c : cases) {
    FitSettings settings;
    c.apply(settings);
    const auto outcome = data.fit(data.circuit, settings);
    REQUIRE_FALSE(outcome.ok());
    CHECK(message(outcome.error()) == c.text);
  }
}

TEST_CASE("candidates are x0, four scalings of open parameters and four box placements") {
  const Synthetic data("R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 0.8});
  const std::vector<double> x0 = {10.0, 100.0, 1e-5, 0.8};
  SyntheticContext fit{data};
  const auto candidates = candidate_starting_points(x0, fit.context());
  REQUIRE(candidates.size() == 9);
  CHECK(fit.counter.value() == 9);
  CHECK(candidates[0].x == x0);
  CHECK(candidates[0].score == 0.0);
  std::vector<double> alphas;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    CHECK(candidates[i - 1].score <= candidates[i].score);
    alphas.push_back(candidates[i].x[3]);
  }
  std::sort(alphas.begin(), alphas.end());
  CHECK(alphas == std::vector<double>{0.2, 0.4, 0.6, 0.8, 0.8, 0.8, 0.8, 0.8});
}

TEST_CASE("matrix inverse: cofactors up to 4x4, pivoted LU above, nothing for singular") {
  for (std::size_t m = 1; m <= 6; ++m) {
    CAPTURE(m);
    std::vector<double> a(m * m);
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t c = 0; c < m; ++c) a[r * m + c] = 1.0 / (1.0 + r + c) + (r == c ? 1.0 : 0.0);
    }
    const auto inverse = invert_matrix(a, m).value();
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t c = 0; c < m; ++c) {
        double sum = 0.0;
        for (std::size_t k = 0; k < m; ++k) sum += a[r * m + k] * inverse[k * m + c];
        CHECK(sum == doctest::Approx(r == c ? 1.0 : 0.0).epsilon(1e-12).scale(1.0));
      }
    }
    std::vector<double> singular(m * m, m == 1 ? 0.0 : 1.0);
    CHECK_FALSE(invert_matrix(singular, m).has_value());
  }
  // The first pivot is zero unless rows are exchanged.
  std::vector<double> cycle(25, 0.0);
  for (std::size_t r = 0; r < 5; ++r) cycle[r * 5 + (r + 1) % 5] = 1.0;
  CHECK(invert_matrix(cycle, 5).has_value());
}

TEST_CASE("total order puts -NaN, -inf, -0, +0, inf, NaN in order") {
  const std::vector<double> ordered = {-NAN, -INFINITY, -1.0, -0.0, 0.0, 1e-300, INFINITY, NAN};
  for (std::size_t i = 1; i < ordered.size(); ++i) {
    CHECK(total_order_key(ordered[i - 1]) < total_order_key(ordered[i]));
  }
}

TEST_CASE("a stop poll ends every method with an interruption, and the next fit is as before") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  // Work far beyond what the test waits for; without an interval the poll is asked at the first
  // check, and stops the fit.
  FitSettings endless;
  endless.seed = 3;
  endless.max_iterations = 4'000'000'000u;
  endless.ftol = endless.xtol = 0.0;
  endless.num_particles = 1000;
  endless.generations = 1'000'000'000;
  endless.nelder_mead_iterations = 1'000'000'000;
  endless.de_evaluations = 1'000'000'000;
  endless.sa_iterations = 1'000'000'000;
  endless.basin_hopping_hops = 4'000'000'000u;
  for (const std::string_view method : kFitMethods) {
    CAPTURE(method);
    FitSettings settings = endless;
    settings.method = std::string(method);
    int polls = 0;
    const CancellationScope scope([](void* count) { return ++*static_cast<int*>(count) > 0; },
                                  &polls, std::chrono::seconds(0));
    const auto outcome = data.fit(data.circuit, settings);
    REQUIRE_FALSE(outcome.ok());
    CHECK(message(outcome.error()) == "the fit was interrupted");
    CHECK(polls == 1);
  }
  FitSettings quick;
  quick.method = "particle_swarm";
  quick.seed = 3;
  quick.num_particles = 20;
  quick.generations = 20;
  const auto before = data.fit(data.circuit, quick).value();
  {
    const CancellationScope never([](void*) { return false; }, nullptr, std::chrono::seconds(0));
    CHECK(data.fit(data.circuit, quick).value().params == before.params);
  }
}

TEST_CASE("sizes are refused before anything is allocated for them") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  struct Case {
    FitSettings settings;
    FitError::Kind kind;
    std::string text;
  };
  const auto swarm = [](std::uint64_t particles) {
    FitSettings settings;
    settings.method = "particle_swarm";
    settings.num_particles = particles;
    return settings;
  };
  FitSettings evolution;
  evolution.method = "differential_evolution";
  evolution.de_evaluations = 0;
  const std::vector<Case> cases = {
      {swarm(0), FitError::Kind::CountTooSmall, "num_particles must be at least 1, got 0"},
      {evolution, FitError::Kind::CountTooSmall, "de_evaluations must be at least 1, got 0"},
      {swarm(std::uint64_t{1} << 62), FitError::Kind::CountTooLarge,
       "num_particles must be at most 703687441776, got 4611686018427387904"},
      {swarm(std::uint64_t{1} << 39), FitError::Kind::OutOfMemory,
       "not enough memory for a swarm of 549755813888 particles (109951162777600 bytes)"},
  };

  for (const Case& c : cases) {
    const auto outcome = data.fit(data.circuit, c.settings);
    REQUIRE_FALSE(outcome.ok());
    CHECK(outcome.error().kind == c.kind);
    CHECK(message(outcome.error()) == c.text);
  }
}

TEST_CASE("method keywords parse to their enum and back; anything else is refused") {
  for (std::size_t i = 0; i < kFitMethods.size(); ++i) {
    const auto method = parse_fit_method(kFitMethods[i]);
    REQUIRE(method.has_value());
    CHECK(fit_method_name(*method) == kFitMethods[i]);
  }
  CHECK_FALSE(parse_fit_method("Levenberg_Marquardt").has_value());
  CHECK_FALSE(parse_fit_method("levenberg_marquardt ").has_value());
  CHECK_FALSE(parse_fit_method("").has_value());
}

TEST_CASE("settings are checked only for the method that reads them") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 12);
  FitSettings settings;
  settings.ftol = -1.0;  // read by Levenberg-Marquardt alone
  settings.basin_hopping_step_size = -1.0;
  settings.sa_initial_temperature = 0.0;
  settings.method = "nelder_mead";
  settings.nelder_mead_iterations = 50;
  CHECK(data.fit(data.circuit, settings).ok());
  settings.method = "levenberg_marquardt";
  CHECK(message(data.fit(data.circuit, settings).error()) ==
        "solver error: Invalid parameter: ftol must be >= 0");
  // Sizes come before values.
  settings.method = "particle_swarm";
  settings.num_particles = 0;
  CHECK(message(data.fit(data.circuit, settings).error()) ==
        "num_particles must be at least 1, got 0");
}

TEST_CASE("the outcome says why the local solver stopped") {
  const Synthetic data("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  const auto converged = data.fit(data.starting_at({30.0, 30.0, 3e-5}));
  REQUIRE(converged.ok());
  REQUIRE(converged.value().local_stop.has_value());
  CHECK(is_success(converged.value().local_stop->reason));
  CHECK_FALSE(converged.value().local_stop->label.empty());

  FitSettings patience_of_one;
  patience_of_one.max_iterations = 1;
  const auto stopped = data.fit(data.starting_at({1e3, 1.0, 1e-9}), patience_of_one);
  REQUIRE(stopped.ok());
  REQUIRE(stopped.value().local_stop.has_value());
  CHECK_FALSE(is_success(stopped.value().local_stop->reason));
  CHECK_FALSE(stopped.value().success);

  FitSettings swarm;
  swarm.method = "particle_swarm";
  swarm.num_particles = 20;
  swarm.generations = 20;
  swarm.seed = 3;
  const auto polished = data.fit(data.circuit, swarm);
  REQUIRE(polished.ok());
  // Either the polishing fit decided the result (and says why it stopped) or the swarm's point.
  if (polished.value().local_stop) CHECK(is_success(polished.value().local_stop->reason));
}
