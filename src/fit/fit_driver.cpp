#include "fit/fit_driver.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "runtime/text.hpp"
#include "runtime/total_order.hpp"
#include "fit/global_methods.hpp"
#include "fit/local_fit.hpp"
#include "fit/setting_limits.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

constexpr double kOneThird = 0.3333333333333333;
constexpr std::array<double, 4> kOpenFactors = {3.0, kOneThird, 8.0, 0.125};
constexpr std::array<double, 4> kBoxFractions = {0.2, 0.4, 0.6, 0.8};

std::vector<double> scale_open_parameters(std::span<const double> x0,
                                          std::span<const Bounds> bounds, double factor) {
  std::vector<double> x(x0.begin(), x0.end());
  for (std::size_t j = 0; j < std::min(x.size(), bounds.size()); ++j) {
    if (is_open_bound(bounds[j].hi)) x[j] *= factor;
  }
  return x;
}

std::vector<double> place_bounded_parameters(std::span<const double> x0,
                                             std::span<const Bounds> bounds, double fraction) {
  std::vector<double> x(x0.begin(), x0.end());
  for (std::size_t j = 0; j < std::min(x.size(), bounds.size()); ++j) {
    if (!is_open_bound(bounds[j].hi))
      x[j] = bounds[j].lo + fraction * (bounds[j].hi - bounds[j].lo);
  }
  return x;
}

double cost_at(const FitContext& context, std::span<const double> x) {
  const auto residuals = weighted_residuals(context.problem(), x);
  return residuals ? residual_cost(residuals.value()) : std::nan("");
}

// A local run moved into the box. A solver that converged outside the box did not converge at
// the clamped point, so that point is scored anew and no longer counts as the solver's solution.
struct SettledRun {
  LocalRun run;               // x clamped into the box, cost at that x
  bool at_solution = false;  // the solver converged at exactly this point
  bool moved = false;        // clamping changed x
  bool pinned_refit = false;  // x came from a refit with the parameters at a bound frozen
};

SettledRun settle_in_box(LocalRun run, std::span<const Bounds> bounds, const FitContext& context) {
  std::vector<double> clamped = clamp_to_bounds(run.x, bounds);
  // Compared bit for bit so that a NaN coordinate counts as moved.
  const bool moved = !std::equal(clamped.begin(), clamped.end(), run.x.begin(), run.x.end(),
                                 [](double a, double b) { return a == b; });
  if (moved) {
    run.x = std::move(clamped);
    run.cost = cost_at(context, run.x);
  }
  const bool at_solution = run.success && !moved;
  return {std::move(run), at_solution, moved};
}

bool replaces_best(const SettledRun& settled, const std::optional<SettledRun>& best) {
  if (!best) return true;
  const LocalRun& run = settled.run;
  if (run.success != best->run.success) return run.success;
  return run.cost < best->run.cost;
}

// Costs closer than this are equal up to rounding: far above the rounding of ½ Σ r² (relative
// 1e-32 of the cost of a zero model) and far below any difference a fit can resolve.
double rounding_allowance(const FitContext& context) {
  double zero_model_cost = 0.0;
  for (std::size_t i = 0; i < context.measured.size(); ++i) {
    const Complex z = context.measured[i];
    const double w = context.weights[i];
    zero_model_cost += 0.5 * (z.re * z.re + z.im * z.im) / (w * w);
  }
  return 1e-20 * zero_model_cost;
}

// A finite cost that is at most `reference`, or any finite cost when `reference` is not.
bool not_worse(double cost, double reference) {
  return std::isfinite(cost) && (!std::isfinite(reference) || cost <= reference);
}

std::vector<bool> pinned_parameters(std::span<const double> x, std::span<const Bounds> bounds) {
  std::vector<bool> pinned(x.size(), false);
  for (std::size_t j = 0; j < std::min(x.size(), bounds.size()); ++j) {
    pinned[j] = !is_open_bound(bounds[j].hi) && (x[j] <= bounds[j].lo || x[j] >= bounds[j].hi);
  }
  return pinned;
}

std::optional<FitError> check_input(std::span<const double> frequencies,
                                    std::span<const Complex> impedances,
                                    const SeriesList& circuit) {
  if (frequencies.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(circuit) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

// One local run whose bounded parameters end inside their box: a run that left the box is
// clamped, and the parameters it pushed onto a bound are frozen there while the others are
// refitted from the clamped point (an active-set step); the refit is kept unless it is worse.
Result<SettledRun, FitError> local_run_in_box(const FitContext& context,
                                              std::span<const double> start,
                                              std::span<const Bounds> bounds,
                                              const LocalFitSettings& settings,
                                              std::uint64_t& iterations) {
  const std::vector<bool> none_frozen(start.size(), false);
  auto run = run_local_solver(context, start, bounds, none_frozen, settings);
  if (!run) return fail(run.error());
  if (stop_was_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
  iterations += run.value().evaluations;
  SettledRun settled = settle_in_box(std::move(run).value(), bounds, context);
  if (!settled.moved) return settled;
  auto refit = run_local_solver(context, settled.run.x, bounds,
                                pinned_parameters(settled.run.x, bounds), settings);
  if (!refit) return fail(refit.error());
  iterations += refit.value().evaluations;
  SettledRun refitted = settle_in_box(std::move(refit).value(), bounds, context);
  refitted.pinned_refit = true;
  if (not_worse(refitted.run.cost, settled.run.cost)) return refitted;
  return settled;
}

}  // namespace

bool stays_near_start(std::span<const double> x, std::span<const double> x0,
                      std::span<const Bounds> bounds) {
  const std::size_t checked = std::min({x.size(), x0.size(), bounds.size()});
  for (std::size_t j = 0; j < checked; ++j) {
    if (!is_open_bound(bounds[j].hi)) continue;
    const double ratio = x[j] / std::max(std::fabs(x0[j]), 1e-300);
    if (!(x[j] > 100.0 * bounds[j].lo) || !std::isfinite(ratio) || !(ratio >= 1e-6) ||
        !(ratio < 1e6)) {
      return false;
    }
  }
  return true;
}

bool is_plausible_point(std::span<const double> x, double cost, std::span<const double> x0,
                        std::span<const Bounds> bounds) {
  if (!std::isfinite(cost) || !stays_near_start(x, x0, bounds)) return false;
  for (std::size_t j = 0; j < std::min(x.size(), bounds.size()); ++j) {
    const Bounds b = bounds[j];
    if (is_open_bound(b.hi)) continue;
    const double margin = (b.hi - b.lo) * 1e-6;
    if (!(x[j] > b.lo + margin) || !(x[j] < b.hi - margin)) return false;
  }
  return true;
}

std::string message(const FitError& error) {
  switch (error.kind) {
    case FitError::Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case FitError::Kind::EmptySpectrum:
      return "frequencies and impedances must not be empty";
    case FitError::Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case FitError::Kind::SolverFailure:
      return "solver error: " + error.text;
    case FitError::Kind::CountTooSmall:
      return error.text + " must be at least " + std::to_string(error.limit) + ", got " +
             std::to_string(error.value);
    case FitError::Kind::CountTooLarge:
      return error.text + " must be at most " + std::to_string(error.limit) + ", got " +
             std::to_string(error.value);
    case FitError::Kind::OutOfMemory:
      return "not enough memory for " + error.text +
             (error.value > 0 ? " (" + std::to_string(error.value) + " bytes)" : std::string());
    case FitError::Kind::Interrupted:
      return "the fit was interrupted";
    case FitError::Kind::UnknownMethod: {
      std::string text = "unknown fit method " + quote(error.text) + ", expected one of ";
      for (std::size_t i = 0; i < kFitMethods.size(); ++i) {
        if (i > 0) text += ", ";
        text += quote(kFitMethods[i]);
      }
      return text;
    }
  }
  return {};
}

std::vector<ScoredCandidate> candidate_starting_points(std::span<const double> x0,
                                                       std::span<const Bounds> bounds,
                                                       const FitContext& context) {
  std::vector<std::vector<double>> points;
  points.emplace_back(x0.begin(), x0.end());
  for (const double factor : kOpenFactors)
    points.push_back(scale_open_parameters(x0, bounds, factor));
  for (const double fraction : kBoxFractions) {
    points.push_back(place_bounded_parameters(x0, bounds, fraction));
  }
  // Scored where a fit could report them: inside the box.
  std::vector<ScoredCandidate> candidates;
  for (const auto& point : points) {
    std::vector<double> inside = clamp_to_bounds(point, bounds);
    const double score = cost_at(context, inside);
    candidates.push_back({std::move(inside), score});
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.score) < total_order_key(b.score);
  });
  return candidates;
}

Result<FitOutcome, FitError> multi_start_local_fit(const SeriesList& circuit,
                                                   const FitContext& spectrum,
                                                   const LocalFitSettings& settings) {
  EvaluationCounter counter;
  const FitContext context{circuit,          spectrum.omega, spectrum.measured,
                           spectrum.weights, counter,        spectrum.log_omega};
  const std::vector<double> x0 = param_values(circuit);
  const std::vector<Bounds> bounds = param_bounds(circuit);
  const std::vector<ScoredCandidate> candidates = candidate_starting_points(x0, bounds, context);

  std::optional<SettledRun> best;
  std::optional<LocalRun> lowest;  // the cheapest point any run ended at, converged or not
  const auto remember_lowest = [&lowest](const LocalRun& run) {
    if (!lowest || run.cost < lowest->cost) lowest = run;
  };
  std::uint64_t iterations = 0;
  for (const ScoredCandidate& candidate : candidates) {
    auto settled = local_run_in_box(context, candidate.x, bounds, settings, iterations);
    if (!settled) return fail(settled.error());
    remember_lowest(settled.value().run);
    const bool plausible = settled.value().at_solution &&
                           is_plausible_point(settled.value().run.x, settled.value().run.cost, x0,
                                              bounds);
    if (replaces_best(settled.value(), best)) best = std::move(settled).value();
    if (plausible) break;
  }

  // Parameters that ended on a bound without having been refitted there are frozen at it while
  // the others settle.
  const std::vector<bool> pinned = pinned_parameters(best->run.x, bounds);
  const bool any_pinned = std::find(pinned.begin(), pinned.end(), true) != pinned.end();
  if (any_pinned && !best->pinned_refit) {
    auto rerun = run_local_solver(context, best->run.x, bounds, pinned, settings);
    if (!rerun) return fail(rerun.error());
    iterations += rerun.value().evaluations;
    SettledRun settled = settle_in_box(std::move(rerun).value(), bounds, context);
    remember_lowest(settled.run);
    if (not_worse(settled.run.cost, best->run.cost)) best = std::move(settled);
  }

  // No fit may end above the best point it could have started from: then the cheapest point
  // seen is reported. That start is itself a sound optimum only when a converged run ended on it,
  // within the solver's own cost tolerance.
  const ScoredCandidate& best_start = candidates.front();
  const double allowed = best_start.score + rounding_allowance(context);
  if (std::isfinite(best_start.score) && !(best->run.cost <= allowed)) {
    const bool run_below_start = lowest && lowest->cost <= best_start.score;
    const bool converged_on_start =
        !run_below_start && best->at_solution &&
        best->run.cost <= best_start.score * (1.0 + settings.ftol) + rounding_allowance(context);
    return fit_statistics(run_below_start ? lowest->x : best_start.x, converged_on_start,
                          iterations, context);
  }
  return fit_statistics(best->run.x, best->at_solution, iterations, context);
}

Result<FitOutcome, FitError> polish(std::span<const double> global_params,
                                    std::uint64_t global_iterations, const FitContext& context) {
  // The search's own point is a sound answer only when it did not run away from the start.
  const std::vector<double> x0 = param_values(context.circuit);
  const std::vector<Bounds> bounds = param_bounds(context.circuit);
  const std::vector<double> clamped = clamp_to_bounds(global_params, bounds);
  FitOutcome global = fit_statistics(clamped, true, global_iterations, context);
  global.success = is_plausible_point(clamped, global.cost, x0, bounds);
  const SeriesList start = with_values(context.circuit, clamped).value();
  auto local = multi_start_local_fit(start, context, LocalFitSettings{});
  if (!local) return local;
  context.counter.add(local.value().impedance_evals);
  // A local fit that matches the search's point within the local solver's own cost tolerance
  // still wins: it converged there, the search's point did not.
  const double allowed =
      global.cost * (1.0 + LocalFitSettings{}.ftol) + rounding_allowance(context);
  FitOutcome& chosen =
      std::isfinite(local.value().cost) && !(local.value().cost > allowed) ? local.value() : global;
  // A local fit from a runaway point converges at the runaway too; that is no sound answer.
  chosen.success = chosen.success && stays_near_start(chosen.params, x0, bounds);
  chosen.impedance_evals = context.counter.value();
  return std::move(chosen);
}

namespace {

Result<FitOutcome, FitError> dispatch_fit(const SeriesList& circuit,
                                          std::span<const double> frequencies,
                                          std::span<const Complex> impedances,
                                          const FitSettings& settings) {
  const auto method = std::find(kFitMethods.begin(), kFitMethods.end(), settings.method);
  if (method == kFitMethods.end())
    return fail(FitError{FitError::Kind::UnknownMethod, settings.method});
  if (auto error = check_input(frequencies, impedances, circuit)) return fail(std::move(*error));
  if (auto error = check_setting_sizes(settings, param_count(circuit), frequencies.size())) {
    return fail(std::move(*error));
  }

  const std::vector<double> omega = angular_frequencies(frequencies);
  const std::vector<double> weights = weights_for(impedances, settings.weight);
  EvaluationCounter counter;
  const std::vector<double> log_omega = log_angular_frequencies(omega);
  const FitContext context{circuit, omega, impedances, weights, counter, log_omega};

  if (*method == "levenberg_marquardt") {
    return multi_start_local_fit(
        circuit, context,
        LocalFitSettings{settings.max_iterations, settings.ftol, settings.xtol, 1e-8});
  }
  if (*method == "basin_hopping") return basin_hopping_fit(context, settings);
  auto global = global_search(*method, context, settings);
  if (!global) return fail(global.error());
  return polish(global.value().params, global.value().iterations, context);
}

}  // namespace

Result<FitOutcome, FitError> run_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                     std::span<const Complex> impedances,
                                     const FitSettings& settings) {
  // The sizes were checked against the memory there is; this is the rest: memory taken meanwhile.
  try {
    auto outcome = dispatch_fit(circuit, frequencies, impedances, settings);
    if (stop_was_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
    return outcome;
  } catch (const std::bad_alloc&) {
    return fail(FitError{FitError::Kind::OutOfMemory, "the fit's working arrays"});
  }
}

}  // namespace movarin
