#include "fit/global_methods.hpp"

#include <cmath>

#include "fit/fit_statistics.hpp"
#include "fit/global_search.hpp"
#include "fit/multi_start.hpp"
#include "fit/random.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

// The searches move the free parameters only; the fixed ones keep their start value.
struct FreeParameters {
  std::vector<std::size_t> index;  // of each free parameter in the flat vector
  std::vector<Bounds> bounds;      // of each free parameter
  std::vector<double> start;       // every parameter

  FreeParameters(const FitContext& context, std::vector<double> x0) : start(std::move(x0)) {
    for (std::size_t j = 0; j < start.size(); ++j) {
      if (context.is_fixed(j)) continue;
      index.push_back(j);
      bounds.push_back(context.bounds[j]);
    }
  }
  std::vector<double> free_start() const {
    std::vector<double> x;
    for (const std::size_t j : index) x.push_back(start[j]);
    return x;
  }
  // Every parameter at the physical point of the free parameters' solver coordinates u.
  std::vector<double> point_at(std::span<const double> u) const {
    const std::vector<double> free = from_solver_coordinates(u, bounds);
    std::vector<double> x = start;
    for (std::size_t k = 0; k < index.size(); ++k) x[index[k]] = free[k];
    return x;
  }
};

// ½ Σ r² at the physical point of u; counts one evaluation.
Objective cost_in_solver_coordinates(const FitContext& context, const FreeParameters& free) {
  return [&context, &free](std::span<const double> u) {
    const auto residuals = weighted_residuals(context.problem, free.point_at(u));
    return residuals ? residual_cost(residuals.value()) : std::nan("");
  };
}

FitError search_failure(const SearchError& error) {
  if (error.kind == SearchError::Kind::Interrupted) {
    return FitError{FitError::Kind::Interrupted, {}};
  }
  FitError failure{FitError::Kind::SearchFailed, {}};
  failure.search = error;
  return failure;
}

SearchResult run_search(FitMethod method, const FitContext& context, const FreeParameters& free,
                        const FitSettings& settings) {
  const Objective objective = cost_in_solver_coordinates(context, free);
  const std::vector<double> x0 = free.free_start();
  switch (method) {
    case FitMethod::ParticleSwarm: {
      ChaChaRng rng = ChaChaRng::seeded(settings.seed);
      return particle_swarm_search(search_box(free.bounds, x0), objective,
                                   {settings.num_particles, settings.generations}, rng);
    }
    case FitMethod::DifferentialEvolution:
      return differential_evolution_search(search_box(free.bounds, x0), objective, objective,
                                           {settings.de_evaluations});
    case FitMethod::NelderMead:
      return nelder_mead_search(to_solver_coordinates(x0, free.bounds), objective,
                                {settings.nelder_mead_iterations});
    case FitMethod::SimulatedAnnealing:
    case FitMethod::LevenbergMarquardt:  // not searches: run_fit never asks for them here
    case FitMethod::BasinHopping:
      break;
  }
  return annealing_search(to_solver_coordinates(x0, free.bounds), objective,
                          {settings.sa_iterations, settings.sa_initial_temperature, settings.seed});
}

struct Basin {
  std::vector<double> params;
  double cost;
  bool success;
  std::optional<LocalStop> local_stop;
};

Basin basin_of(const FitOutcome& outcome) {
  return {outcome.params, outcome.cost, outcome.success, outcome.local_stop};
}

// Every free coordinate moved by a uniform draw in [-s, s) in solver coordinates.
std::vector<double> perturbed(std::span<const double> params, const FitContext& context,
                              double step_size, ChaChaRng& rng) {
  const FreeParameters free(context, std::vector<double>(params.begin(), params.end()));
  std::vector<double> u = to_solver_coordinates(free.free_start(), free.bounds);
  for (double& coordinate : u) coordinate += uniform_52(rng) * 2.0 * step_size - step_size;
  return free.point_at(u);
}

bool metropolis_accepts(double trial_cost, double current_cost, double temperature,
                        ChaChaRng& rng) {
  if (std::isinf(trial_cost)) return false;
  if (trial_cost < current_cost) return true;
  return std::exp(-(trial_cost - current_cost) / temperature) > uniform_53(rng);
}

}  // namespace

Result<GlobalPoint, FitError> global_search(FitMethod method, const FitContext& context,
                                            const FitSettings& settings) {
  const FreeParameters free(context, param_values(context.circuit()));
  const SearchResult found = run_search(method, context, free, settings);
  if (!found) return fail(search_failure(found.error()));
  return GlobalPoint{free.point_at(found.value().best), found.value().iterations};
}

Result<FitOutcome, FitError> basin_hopping_fit(const FitContext& context,
                                               const FitSettings& settings) {
  ChaChaRng rng = ChaChaRng::seeded(settings.seed);
  const LocalFitSettings local_settings;

  auto initial = multi_start_local_fit(param_values(context.circuit()), context, local_settings);
  if (!initial) return initial;
  Basin current = basin_of(initial.value());
  Basin best = current;
  std::uint64_t iterations = initial.value().iterations;

  for (std::uint32_t hop = 0; hop < settings.basin_hopping_hops; ++hop) {
    if (stop_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
    const std::vector<double> start =
        perturbed(current.params, context, settings.basin_hopping_step_size, rng);
    auto trial = multi_start_local_fit(start, context, local_settings);
    if (!trial) return trial;
    iterations += trial.value().iterations;
    const Basin found = basin_of(trial.value());
    if (std::isfinite(found.cost) && improves_on(found.cost, best.cost)) best = found;
    if (metropolis_accepts(found.cost, current.cost, settings.basin_hopping_temperature, rng)) {
      current = found;
    }
  }

  // The statistics count into a fresh counter: the local fits' evaluations are not reported.
  EvaluationCounter statistics_counter;
  FitOutcome outcome = fit_statistics(best.params, best.success, iterations,
                                      context.counting_into(statistics_counter));
  outcome.local_stop = best.local_stop;
  return outcome;
}

}  // namespace movarin
