#pragma once
// Derivative-free global searches. They minimise an objective over points in the caller's
// coordinates and know nothing of circuits; the fit driver maps points to parameters, counts the
// evaluations and polishes the result.

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "elements/catalogue.hpp"
#include "fit/random.hpp"
#include "runtime/result.hpp"

namespace movarin {

// Must return a cost for any point; a failed evaluation should come back as NaN, which every
// search ranks below all numbers.
using Objective = std::function<double(std::span<const double>)>;

struct SearchSummary {
  std::vector<double> best;  // in the objective's coordinates
  double best_cost = 0.0;
  // The work count handed on as `iterations`: generations (particle swarm), evaluation steps of
  // all rounds (differential evolution), iterations (Nelder-Mead, simulated annealing).
  std::uint64_t iterations = 0;
};

enum class SearchMethod { ParticleSwarm, DifferentialEvolution, NelderMead, SimulatedAnnealing };

struct SearchError {
  enum class Kind {
    NoBestPosition,
    TemperatureNotPositive,
    TemperatureNotFinite,
    Interrupted,  // the caller's stop poll asked the search to end
  };
  Kind kind;
  SearchMethod method;
};
// The solver's own text; the driver puts "solver error: " in front.
std::string message(const SearchError& error);

using SearchResult = Result<SearchSummary, SearchError>;

// Every search asks stop_requested() (runtime/cancellation.hpp) after each evaluation and ends
// with an Interrupted error when it says so.

// Strictly lower, where every number is lower than NaN, so that a NaN incumbent never blocks a
// real cost. Among numbers this is plain `<`; it is the one comparison all searches rank costs by.
inline bool improves_on(double candidate, double incumbent) {
  return candidate < incumbent || (std::isnan(incumbent) && !std::isnan(candidate));
}

// One interval per parameter (the first min(bounds, x0) of them) in solver coordinates: the bounds
// for a bounded parameter; four decades either side of max(|x0|, 1e-6), measured from lo, for an
// open-ended one.
std::vector<Bounds> search_box(std::span<const Bounds> bounds, std::span<const double> x0);

struct ParticleSwarmOptions {
  std::uint64_t particles = 200;
  std::uint64_t generations = 1000;
};
// Standard PSO 2011 coefficients; positions are clamped to the box, velocities are not.
SearchResult particle_swarm_search(std::span<const Bounds> box, const Objective& objective,
                                   const ParticleSwarmOptions& options, ChaChaRng& rng);

struct DifferentialEvolutionOptions {
  std::uint64_t evaluations_per_round = 20000;
};
// jDE, DE/rand/1/bin in single precision, population 100, ten rounds on fresh xorshift128
// generators. Each round's best is re-scored by `rescore` in double precision; the summary's cost
// is that score and its count is 10 x evaluations_per_round (re-scores not included).
SearchResult differential_evolution_search(std::span<const Bounds> box, const Objective& objective,
                                           const Objective& rescore,
                                           const DifferentialEvolutionOptions& options);

struct NelderMeadOptions {
  std::uint64_t max_iterations = 2000;
};
SearchResult nelder_mead_search(std::span<const double> u0, const Objective& objective,
                                const NelderMeadOptions& options);

struct AnnealingOptions {
  std::uint64_t iterations = 5000;
  double initial_temperature = 2.0;
  // Neighbours draw from a generator seeded with `seed`, acceptances from one seeded with
  // seed + 1; both from the operating system when absent.
  std::optional<std::uint64_t> seed;
};
// A temperature that is not positive, or not finite; the search checks it before it starts.
std::optional<SearchError> check_annealing_options(const AnnealingOptions& options);
SearchResult annealing_search(std::span<const double> u0, const Objective& objective,
                              const AnnealingOptions& options);

}  // namespace movarin
