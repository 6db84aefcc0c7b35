// Simulated annealing with uniform neighbours, a logistic acceptance and the fast schedule
// T = T0 / (k + 1).

#include <cmath>

#include "fit/global_search.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

struct State {
  std::vector<double> point;
  double cost;
};

// Each coordinate moves by a uniform draw in [-T, T), so the steps shrink as the run cools.
std::vector<double> neighbour_of(const std::vector<double>& point, double temperature,
                                 ChaChaRng& rng) {
  std::vector<double> next(point.size());
  for (std::size_t k = 0; k < point.size(); ++k) {
    next[k] = point[k] + (uniform_52(rng) * 2.0 * temperature - temperature);
  }
  return next;
}

// A move that is not worse is always taken, a worse one with probability 1 / (1 + e^(delta/T)).
bool accepts(double candidate, double current, double temperature, ChaChaRng& rng) {
  if (!improves_on(current, candidate)) return true;
  const double probability = 1.0 / (1.0 + std::exp((candidate - current) / temperature));
  return uniform_53(rng) < probability;
}

}  // namespace

std::optional<SearchError> check_annealing_options(const AnnealingOptions& options) {
  const double t0 = options.initial_temperature;
  // Written so that NaN fails too.
  if (!(t0 > 0.0)) {
    return SearchError{SearchError::Kind::TemperatureNotPositive, SearchMethod::SimulatedAnnealing};
  }
  // An infinite temperature would make every step inf - inf.
  if (!std::isfinite(t0)) {
    return SearchError{SearchError::Kind::TemperatureNotFinite, SearchMethod::SimulatedAnnealing};
  }
  return std::nullopt;
}

SearchResult annealing_search(std::span<const double> u0, const Objective& objective,
                              const AnnealingOptions& options) {
  if (const auto error = check_annealing_options(options)) return fail(*error);
  const double t0 = options.initial_temperature;

  ChaChaRng neighbour_rng = ChaChaRng::seeded(options.seed);
  // Unsigned addition wraps, as the seed + 1 rule wants.
  ChaChaRng acceptance_rng =
      ChaChaRng::seeded(options.seed ? std::optional(*options.seed + 1) : std::nullopt);

  State current{std::vector<double>(u0.begin(), u0.end()), 0.0};
  current.cost = objective(current.point);
  State best = current;
  double temperature = t0;
  for (std::uint64_t k = 0; k < options.iterations; ++k) {
    std::vector<double> candidate = neighbour_of(current.point, temperature, neighbour_rng);
    const double cost = objective(candidate);
    if (accepts(cost, current.cost, temperature, acceptance_rng)) {
      current = {std::move(candidate), cost};
      if (improves_on(current.cost, best.cost)) best = current;
    }
    temperature = t0 / (static_cast<double>(k + 1) + 1.0);
    if (stop_requested()) {
      return fail(SearchError{SearchError::Kind::Interrupted, SearchMethod::SimulatedAnnealing});
    }
  }
  return SearchSummary{std::move(best.point), best.cost, options.iterations};
}

}  // namespace movarin
