#include "fit/global_search.hpp"

#include <algorithm>
#include <cmath>

#include "fit/residuals.hpp"

namespace movarin {
namespace {

constexpr double kSmallestMagnitude = 1e-6;
constexpr double kFourDecadesDown = 1e-4;
constexpr double kFourDecadesUp = 1e4;
constexpr double kSmallestOffset = 1e-300;

const char* method_name(SearchMethod method) {
  switch (method) {
    case SearchMethod::ParticleSwarm:
      return "particle swarm";
    case SearchMethod::DifferentialEvolution:
      return "differential evolution";
    case SearchMethod::NelderMead:
      return "nelder-mead";
    case SearchMethod::SimulatedAnnealing:
      return "simulated annealing";
  }
  return "search";
}

// fmax rather than std::max: a NaN start value falls back to the floor instead of spreading NaN
// into the box.
Bounds open_interval(const Bounds& bounds, double x0) {
  const double c = std::fmax(std::fabs(x0), kSmallestMagnitude);
  const double lower_offset = std::fmax(c * kFourDecadesDown, bounds.lo) - bounds.lo;
  const double upper_offset = c * kFourDecadesUp - bounds.lo;
  return {std::log10(std::fmax(lower_offset, kSmallestOffset)),
          std::log10(std::fmax(upper_offset, kSmallestOffset))};
}

}  // namespace

std::string message(const SearchError& error) {
  switch (error.kind) {
    case SearchError::Kind::NoBestPosition:
      return std::string(method_name(error.method)) + " found no best position";
    case SearchError::Kind::TemperatureNotPositive:
      return "Invalid parameter: sa_initial_temperature must be > 0";
    case SearchError::Kind::TemperatureNotFinite:
      return "Invalid parameter: sa_initial_temperature must be finite";
    case SearchError::Kind::Interrupted:
      return std::string(method_name(error.method)) + " was interrupted";
  }
  return "search failed";
}

std::vector<Bounds> search_box(std::span<const Bounds> bounds, std::span<const double> x0) {
  const std::size_t count = std::min(bounds.size(), x0.size());
  std::vector<Bounds> box;
  box.reserve(count);
  for (std::size_t j = 0; j < count; ++j) {
    box.push_back(is_open_bound(bounds[j].hi) ? open_interval(bounds[j], x0[j]) : bounds[j]);
  }
  return box;
}

}  // namespace movarin
