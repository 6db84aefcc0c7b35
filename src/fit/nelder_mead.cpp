// The Nelder-Mead simplex method: reflection 1, expansion 2, contraction 0.5, shrink 0.5.

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/global_search.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

constexpr double kReflection = 1.0;
constexpr double kExpansion = 2.0;
constexpr double kContraction = 0.5;
constexpr double kShrink = 0.5;
constexpr double kRelativeStep = 0.1;
constexpr double kAbsoluteStep = 0.1;
constexpr double kNegligibleMagnitude = 1e-8;

using Point = std::vector<double>;

struct Vertex {
  Point point;
  double cost;
};

// Kept best first; stable, so equal costs keep their places and NaN costs sink to the end.
using Simplex = std::vector<Vertex>;

void sort_by_cost(Simplex& simplex) {
  std::stable_sort(simplex.begin(), simplex.end(),
                   [](const Vertex& a, const Vertex& b) { return improves_on(a.cost, b.cost); });
}

Vertex scored(Point point, const Objective& objective) {
  const double cost = objective(point);
  return {std::move(point), cost};
}

Simplex initial_simplex(std::span<const double> u0, const Objective& objective) {
  Simplex simplex;
  simplex.push_back(scored(Point(u0.begin(), u0.end()), objective));
  for (std::size_t j = 0; j < u0.size(); ++j) {
    Point point(u0.begin(), u0.end());
    const double magnitude = std::fabs(u0[j]);
    point[j] += magnitude > kNegligibleMagnitude ? kRelativeStep * magnitude : kAbsoluteStep;
    simplex.push_back(scored(std::move(point), objective));
  }
  sort_by_cost(simplex);
  return simplex;
}

// Sample standard deviation of the vertex costs (divisor: vertices minus one).
bool costs_have_converged(const Simplex& simplex) {
  double mean = 0.0;
  for (const Vertex& v : simplex) mean += v.cost;
  mean /= static_cast<double>(simplex.size());
  double squares = 0.0;
  for (const Vertex& v : simplex) squares += (v.cost - mean) * (v.cost - mean);
  const double deviation = std::sqrt(squares / static_cast<double>(simplex.size() - 1));
  return deviation < std::numeric_limits<double>::epsilon();
}

// c + factor * (to - from), per coordinate.
Point along(const Point& c, double factor, const Point& to, const Point& from) {
  Point result(c.size());
  for (std::size_t k = 0; k < c.size(); ++k) result[k] = c[k] + factor * (to[k] - from[k]);
  return result;
}

Point centroid_without_worst(const Simplex& simplex) {
  const std::size_t count = simplex.size() - 1;
  Point c(simplex.front().point.size(), 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t k = 0; k < c.size(); ++k) c[k] += simplex[i].point[k];
  }
  for (double& value : c) value /= static_cast<double>(count);
  return c;
}

void shrink_towards_best(Simplex& simplex, const Objective& objective) {
  const Point& best = simplex.front().point;
  for (std::size_t i = 1; i < simplex.size(); ++i) {
    simplex[i] = scored(along(best, kShrink, simplex[i].point, best), objective);
  }
}

// One iteration. Costs are ranked by improves_on, so a NaN cost (a point that cannot be
// evaluated) counts as worse than every number and sends the simplex into contraction.
void iterate(Simplex& simplex, const Objective& objective) {
  const Vertex& best = simplex.front();
  Vertex& worst = simplex.back();
  const double second_worst_cost = simplex[simplex.size() - 2].cost;
  const Point c = centroid_without_worst(simplex);
  Vertex reflected = scored(along(c, kReflection, c, worst.point), objective);

  if (!improves_on(reflected.cost, best.cost) && improves_on(reflected.cost, second_worst_cost)) {
    worst = std::move(reflected);
  } else if (improves_on(reflected.cost, best.cost)) {
    Vertex expanded = scored(along(c, kExpansion, reflected.point, c), objective);
    worst = improves_on(expanded.cost, reflected.cost) ? std::move(expanded)
                                                       : std::move(reflected);
  } else {
    Vertex contracted = scored(along(c, kContraction, worst.point, c), objective);
    if (improves_on(contracted.cost, worst.cost)) {
      worst = std::move(contracted);
    } else {
      shrink_towards_best(simplex, objective);
    }
  }
  sort_by_cost(simplex);
}

}  // namespace

SearchResult nelder_mead_search(std::span<const double> u0, const Objective& objective,
                                const NelderMeadOptions& options) {
  Simplex simplex = initial_simplex(u0, objective);
  std::uint64_t iterations = 0;
  // A single vertex (no coordinates) has nothing to move.
  while (simplex.size() > 1 && iterations < options.max_iterations &&
         !costs_have_converged(simplex)) {
    iterate(simplex, objective);
    ++iterations;
    if (stop_requested()) {
      return fail(SearchError{SearchError::Kind::Interrupted, SearchMethod::NelderMead});
    }
  }
  Vertex& best = simplex.front();
  return SearchSummary{std::move(best.point), best.cost, iterations};
}

}  // namespace movarin
