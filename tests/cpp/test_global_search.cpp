#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fit/global_search.hpp"

using namespace movarin;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double shifted_quadratic(std::span<const double> u) {
  double sum = 0.0;
  for (std::size_t k = 0; k < u.size(); ++k)
    sum += (u[k] - 0.5 * double(k + 1)) * (u[k] - 0.5 * double(k + 1));
  return sum;
}

double rosenbrock(std::span<const double> u) {
  return 100.0 * std::pow(u[1] - u[0] * u[0], 2) + std::pow(1.0 - u[0], 2);
}

// Wraps an objective and keeps every point it was asked about.
struct Recorder {
  explicit Recorder(Objective f) : inner(std::move(f)) {}
  Objective inner;
  std::vector<std::vector<double>> points;
  Objective objective() {
    return [this](std::span<const double> u) {
      points.emplace_back(u.begin(), u.end());
      return inner(u);
    };
  }
};

const std::vector<Bounds> kSquare = {{-2.0, 2.0}, {-2.0, 2.0}};

}  // namespace

TEST_CASE("search_box") {
  const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}, {1e-12, kNaN}, {1e-12, kInf}};
  const std::vector<double> x0 = {0.0, 0.3, -5.0};
  const std::vector<Bounds> box = search_box(bounds, x0);
  REQUIRE(box.size() == 3);
  // An open-ended start at 0 is taken as 1e-6.
  CHECK(box[0].lo == std::log10(1e-6 * 1e-4 - 1e-12));
  CHECK(box[0].hi == std::log10(1e-6 * 1e4 - 1e-12));
  CHECK(box[1].lo == 0.0);
  CHECK(box[1].hi == 1.0);
  // A NaN upper bound counts as open; the magnitude of a negative start is used.
  CHECK(box[2].lo == std::log10(5.0 * 1e-4 - 1e-12));
  CHECK(box[2].hi == std::log10(5.0 * 1e4 - 1e-12));

  const std::vector<Bounds> high_floor = {{1e3, kInf}};
  const std::vector<double> small = {0.01};
  const Bounds degenerate = search_box(high_floor, small)[0];
  CHECK(degenerate.lo == -300.0);
  CHECK(degenerate.hi == -300.0);
}

TEST_CASE("failure texts") {
  using Kind = SearchError::Kind;
  CHECK(message({Kind::NoBestPosition, SearchMethod::ParticleSwarm}) ==
        "particle swarm found no best position");
  CHECK(message({Kind::NoBestPosition, SearchMethod::DifferentialEvolution}) ==
        "differential evolution found no best position");
  CHECK(message({Kind::NoBestPosition, SearchMethod::NelderMead}) ==
        "nelder-mead found no best position");
  CHECK(message({Kind::NoBestPosition, SearchMethod::SimulatedAnnealing}) ==
        "simulated annealing found no best position");
}

TEST_CASE("particle swarm") {
  SUBCASE("finds the minimum of a shifted quadratic and of Rosenbrock's function") {
    const std::vector<Bounds> box3 = {{-3.0, 3.0}, {-3.0, 3.0}, {-3.0, 3.0}};
    ChaChaRng rng = ChaChaRng::seeded(7);
    const auto q = particle_swarm_search(box3, shifted_quadratic, {40, 200}, rng);
    REQUIRE(q.ok());
    CHECK(q.value().best_cost < 1e-8);
    CHECK(q.value().iterations == 200);
    const auto r = particle_swarm_search(kSquare, rosenbrock, {40, 400}, rng);
    REQUIRE(r.ok());
    CHECK(r.value().best[0] == doctest::Approx(1.0).epsilon(1e-3));
    CHECK(r.value().best[1] == doctest::Approx(1.0).epsilon(1e-3));
  }
  SUBCASE("the same seed gives the same run; every point lies in the box") {
    Recorder first{rosenbrock};
    Recorder second{rosenbrock};
    ChaChaRng rng1 = ChaChaRng::seeded(11);
    ChaChaRng rng2 = ChaChaRng::seeded(11);
    const auto a = particle_swarm_search(kSquare, first.objective(), {10, 30}, rng1);
    const auto b = particle_swarm_search(kSquare, second.objective(), {10, 30}, rng2);
    CHECK(first.points == second.points);
    CHECK(a.value().best == b.value().best);
    CHECK(first.points.size() == 10 * 31);
    const auto outside = std::count_if(first.points.begin(), first.points.end(), [](const auto& p) {
      return p[0] < -2.0 || p[0] > 2.0 || p[1] < -2.0 || p[1] > 2.0;
    });
    CHECK(outside == 0);
  }
  SUBCASE("a NaN cost never holds the best position") {
    // The region x < 0 cannot be evaluated; its NaN must not beat a real cost.
    auto partial = [](std::span<const double> u) {
      return u[0] < 0.0 ? kNaN : shifted_quadratic(u);
    };
    ChaChaRng rng = ChaChaRng::seeded(3);
    const auto result = particle_swarm_search(kSquare, partial, {20, 50}, rng);
    CHECK(result.value().best_cost < 1e-3);
  }
  SUBCASE("an empty swarm has no best position") {
    ChaChaRng rng = ChaChaRng::seeded(1);
    const auto result = particle_swarm_search(kSquare, rosenbrock, {0, 10}, rng);
    REQUIRE_FALSE(result.ok());
    CHECK(message(result.error()) == "particle swarm found no best position");
  }
}

TEST_CASE("differential evolution") {
  SUBCASE("finds the minimum, in single precision, and counts 10 x evaluations") {
    Recorder recorder{rosenbrock};
    int rescores = 0;
    auto rescore = [&](std::span<const double> u) {
      ++rescores;
      return rosenbrock(u);
    };
    const auto result =
        differential_evolution_search(kSquare, recorder.objective(), rescore, {20000});
    REQUIRE(result.ok());
    CHECK(result.value().iterations == 200000);
    CHECK(recorder.points.size() == 200000);
    CHECK(rescores == 10);
    CHECK(result.value().best[0] == doctest::Approx(1.0).epsilon(1e-2));
    CHECK(result.value().best[1] == doctest::Approx(1.0).epsilon(1e-2));
    CHECK(result.value().best_cost == rosenbrock(result.value().best));
    const auto wide = std::count_if(
        recorder.points.begin(), recorder.points.end(),
        [](const auto& p) { return double(float(p[0])) != p[0] || double(float(p[1])) != p[1]; });
    CHECK(wide == 0);
  }
  SUBCASE("a shifted quadratic in three dimensions") {
    const std::vector<Bounds> box3 = {{-3.0, 3.0}, {-3.0, 3.0}, {-3.0, 3.0}};
    const auto result =
        differential_evolution_search(box3, shifted_quadratic, shifted_quadratic, {10000});
    CHECK(result.value().best_cost < 1e-6);
  }
  SUBCASE("no evaluations, no best position") {
    const auto result = differential_evolution_search(kSquare, rosenbrock, rosenbrock, {0});
    REQUIRE_FALSE(result.ok());
    CHECK(message(result.error()) == "differential evolution found no best position");
  }
}

TEST_CASE("Nelder-Mead") {
  SUBCASE("initial simplex: relative steps, and exactly 0.1 for a zero coordinate") {
    Recorder recorder{shifted_quadratic};
    const std::vector<double> u0 = {0.0, -4.0, 1e-9};
    nelder_mead_search(u0, recorder.objective(), {0});
    REQUIRE(recorder.points.size() == 4);
    CHECK(recorder.points[1] == std::vector<double>{0.1, -4.0, 1e-9});
    CHECK(recorder.points[2] == std::vector<double>{0.0, -4.0 + 0.4, 1e-9});
    CHECK(recorder.points[3] == std::vector<double>{0.0, -4.0, 1e-9 + 0.1});
  }
  SUBCASE("expansion and contraction in one dimension") {
    Recorder recorder{shifted_quadratic};  // (u - 0.5)^2
    const std::vector<double> u0 = {1.5};
    nelder_mead_search(u0, recorder.objective(), {4});
    // Two reflections that expand, then two that contract towards the worst vertex.
    const std::vector<double> expected = {1.5, 1.65, 1.35, 1.2, 0.9, 0.6, 0.0, 0.9, 0.3, 0.75};
    REQUIRE(recorder.points.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      CHECK(recorder.points[i][0] == doctest::Approx(expected[i]).epsilon(1e-12));
    }
  }
  SUBCASE("converges on a quadratic and on Rosenbrock's function") {
    const std::vector<double> start = {3.0, -2.0, 0.0};
    const auto q = nelder_mead_search(start, shifted_quadratic, {});
    CHECK(q.value().best_cost < 1e-12);
    CHECK(q.value().iterations < 2000);  // stopped by the spread of the costs
    const std::vector<double> classic = {-1.2, 1.0};
    const auto r = nelder_mead_search(classic, rosenbrock, {});
    CHECK(r.value().best[0] == doctest::Approx(1.0).epsilon(1e-4));
    CHECK(r.value().best[1] == doctest::Approx(1.0).epsilon(1e-4));
  }
  SUBCASE("iteration limit, and no iteration when the costs are already equal") {
    const std::vector<double> classic = {-1.2, 1.0};
    CHECK(nelder_mead_search(classic, rosenbrock, {7}).value().iterations == 7);
    auto flat = [](std::span<const double>) { return 1.0; };
    CHECK(nelder_mead_search(classic, flat, {}).value().iterations == 0);
  }
  SUBCASE("a point that cannot be evaluated counts as worse than any, and the search goes on") {
    auto left_undefined = [](std::span<const double> u) {
      return u[0] < -0.05 ? kNaN : u[0] * u[0];
    };
    // The first reflection lands where the cost is NaN.
    const std::vector<double> u0 = {0.0};
    const auto result = nelder_mead_search(u0, left_undefined, {});
    CHECK(std::fabs(result.value().best[0]) < 1e-6);
    auto all_nan = [](std::span<const double>) { return kNaN; };
    CHECK(std::isnan(nelder_mead_search(u0, all_nan, {50}).value().best_cost));
  }
}

TEST_CASE("simulated annealing") {
  const std::vector<double> u0 = {2.0, -1.0};
  SUBCASE("approaches the minimum; the same seed gives the same run") {
    Recorder first{shifted_quadratic};
    Recorder second{shifted_quadratic};
    const auto a = annealing_search(u0, first.objective(), {5000, 2.0, 99});
    const auto b = annealing_search(u0, second.objective(), {5000, 2.0, 99});
    CHECK(first.points == second.points);
    CHECK(a.value().best == b.value().best);
    CHECK(a.value().iterations == 5000);
    CHECK(a.value().best_cost < 1e-3);
    const auto other = annealing_search(u0, shifted_quadratic, {5000, 2.0, 100});
    CHECK(other.value().best != a.value().best);
  }
  SUBCASE("neighbours: one 52-bit draw per coordinate, seeded by seed, T = T0 / (k + 1)") {
    // A flat cost accepts every move without a draw, so consecutive points are consecutive states.
    Recorder flat{[](std::span<const double>) { return 0.0; }};
    annealing_search(u0, flat.objective(), {50, 3.0, 5});
    REQUIRE(flat.points.size() == 51);
    ChaChaRng rng = ChaChaRng::seeded(5);
    std::vector<double> state = u0;
    for (std::size_t k = 1; k < flat.points.size(); ++k) {
      const double temperature = 3.0 / double(k);
      for (double& x : state) x += uniform_52(rng) * 2.0 * temperature - temperature;
      CHECK(flat.points[k] == state);
    }
  }
  SUBCASE("the start stays best when every move is worse") {
    const std::vector<double> at_minimum = {0.5, 1.0};
    const auto result = annealing_search(at_minimum, shifted_quadratic, {300, 1.0, 1});
    CHECK(result.value().best == at_minimum);
    CHECK(result.value().best_cost == 0.0);
  }
  SUBCASE("the initial temperature must be a positive number") {
    for (double t0 : {0.0, -1.0, kNaN}) {
      const auto result = annealing_search(u0, shifted_quadratic, {10, t0, 1});
      REQUIRE_FALSE(result.ok());
      CHECK(message(result.error()) ==
            "Invalid parameter: sa_initial_temperature must be > 0");
    }
    const auto result = annealing_search(u0, shifted_quadratic, {10, kInf, 1});
    REQUIRE_FALSE(result.ok());
    CHECK(message(result.error()) ==
          "Invalid parameter: sa_initial_temperature must be finite");
  }
}
