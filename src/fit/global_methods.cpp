#include "fit/global_methods.hpp"

#include <cmath>

#include "fit/global_search.hpp"
#include "fit/random.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

// ½ Σ r² at the physical point of u; counts one evaluation.
Objective cost_in_solver_coordinates(const FitContext& context, std::span<const Bounds> bounds) {
  return [&context, bounds](std::span<const double> u) {
    const std::vector<double> x = from_solver_coordinates(u, bounds);
    const auto residuals = weighted_residuals(context.problem(), x);
    return residuals ? residual_cost(residuals.value()) : std::nan("");
  };
}

FitError solver_failure(const SearchError& error) {
  if (error.kind == SearchError::Kind::Interrupted) {
    return FitError{FitError::Kind::Interrupted, {}};
  }
  return FitError{FitError::Kind::SolverFailure, message(error)};
}

SearchResult run_search(std::string_view method, const FitContext& context,
                        std::span<const double> x0, std::span<const Bounds> bounds,
                        const FitSettings& settings) {
  const Objective objective = cost_in_solver_coordinates(context, bounds);
  if (method == "particle_swarm") {
    ChaChaRng rng = ChaChaRng::seeded(settings.seed);
    return particle_swarm_search(search_box(bounds, x0), objective,
                                 {settings.num_particles, settings.generations}, rng);
  }
  if (method == "differential_evolution") {
    return differential_evolution_search(search_box(bounds, x0), objective, objective,
                                         {settings.de_evaluations});
  }
  const std::vector<double> u0 = to_solver_coordinates(x0, bounds);
  if (method == "nelder_mead") {
    return nelder_mead_search(u0, objective, {settings.nelder_mead_iterations});
  }
  return annealing_search(u0, objective,
                          {settings.sa_iterations, settings.sa_initial_temperature, settings.seed});
}

struct Basin {
  std::vector<double> params;
  double cost;
  bool success;
};

// Every coordinate moved by a uniform draw in [-s, s) in solver coordinates.
std::vector<double> perturbed(std::span<const double> params, std::span<const Bounds> bounds,
                              double step_size, ChaChaRng& rng) {
  std::vector<double> u = to_solver_coordinates(params, bounds);
  for (double& coordinate : u) coordinate += uniform_52(rng) * 2.0 * step_size - step_size;
  return from_solver_coordinates(u, bounds);
}

bool metropolis_accepts(double trial_cost, double current_cost, double temperature,
                        ChaChaRng& rng) {
  if (std::isinf(trial_cost)) return false;
  if (trial_cost < current_cost) return true;
  return std::exp(-(trial_cost - current_cost) / temperature) > uniform_53(rng);
}

std::optional<FitError> check_step_size(double step_size) {
  if (step_size >= 0.0 && std::isfinite(2.0 * step_size)) return std::nullopt;
  return FitError{FitError::Kind::SolverFailure,
                  "Invalid parameter: basin_hopping_step_size must be finite and >= 0"};
}

}  // namespace

Result<GlobalPoint, FitError> global_search(std::string_view method, const FitContext& context,
                                            const FitSettings& settings) {
  const std::vector<double> x0 = param_values(context.circuit);
  const std::vector<Bounds> bounds = param_bounds(context.circuit);
  const SearchResult found = run_search(method, context, x0, bounds, settings);
  if (!found) return fail(solver_failure(found.error()));
  return GlobalPoint{from_solver_coordinates(found.value().best, bounds), found.value().iterations};
}

Result<FitOutcome, FitError> basin_hopping_fit(const FitContext& context,
                                               const FitSettings& settings) {
  if (auto error = check_step_size(settings.basin_hopping_step_size)) return fail(*error);
  const std::vector<Bounds> bounds = param_bounds(context.circuit);
  ChaChaRng rng = ChaChaRng::seeded(settings.seed);
  const LocalFitSettings local_settings;

  auto initial = multi_start_local_fit(context.circuit, context, local_settings);
  if (!initial) return initial;
  Basin current{initial.value().params, initial.value().cost, initial.value().success};
  Basin best = current;
  std::uint64_t iterations = initial.value().iterations;

  for (std::uint32_t hop = 0; hop < settings.basin_hopping_hops; ++hop) {
    if (stop_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
    const std::vector<double> start =
        perturbed(current.params, bounds, settings.basin_hopping_step_size, rng);
    auto trial =
        multi_start_local_fit(with_values(context.circuit, start).value(), context, local_settings);
    if (!trial) return trial;
    iterations += trial.value().iterations;
    const Basin found{trial.value().params, trial.value().cost, trial.value().success};
    if (std::isfinite(found.cost) && improves_on(found.cost, best.cost)) best = found;
    if (metropolis_accepts(found.cost, current.cost, settings.basin_hopping_temperature, rng)) {
      current = found;
    }
  }

  // The statistics count into a fresh counter: the local fits' evaluations are not reported.
  EvaluationCounter statistics_counter;
  const FitContext statistics_context{context.circuit, context.omega, context.measured,
                                      context.weights, statistics_counter};
  return fit_statistics(best.params, best.success, iterations, statistics_context);
}

}  // namespace movarin
