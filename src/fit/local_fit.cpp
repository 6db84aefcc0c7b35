#include "fit/local_fit.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

CallbackFailure callback_failure(const NotEnoughValues& error) {
  return CallbackFailure{message(error)};
}

LocalProblem circuit_problem(const FitContext& context, std::span<const double> x_start,
                             const std::vector<bool>& frozen) {
  LocalProblem problem;
  problem.start = to_solver_coordinates(x_start, context.bounds);
  problem.residuals = [&context](std::span<const double> u) -> CallbackResult<std::vector<double>> {
    // The run ends as if the model could not be evaluated; run_local_solver reports the stop.
    if (stop_requested()) return fail(CallbackFailure{"interrupted"});
    auto residuals =
        weighted_residuals(context.problem, from_solver_coordinates(u, context.bounds));
    if (!residuals) return fail(callback_failure(residuals.error()));
    return std::move(residuals).value();
  };
  problem.jacobian = [&context,
                      &frozen](std::span<const double> u) -> CallbackResult<std::vector<double>> {
    auto jacobian = solver_jacobian(context.problem, u, context.bounds, frozen);
    if (!jacobian) return fail(callback_failure(jacobian.error()));
    return std::move(jacobian).value().data;
  };
  return problem;
}

LocalSolverSettings solver_settings(const LocalFitSettings& settings) {
  LocalSolverSettings solver;
  solver.ftol = settings.ftol;
  solver.xtol = settings.xtol;
  solver.gtol = settings.gtol;
  solver.patience = settings.patience;
  return solver;
}

}  // namespace

Result<LocalRun, FitError> run_local_solver(const FitContext& context,
                                            std::span<const double> x_start,
                                            const std::vector<bool>& pinned,
                                            const LocalFitSettings& settings) {
  std::vector<bool> frozen(x_start.size(), false);
  for (std::size_t j = 0; j < frozen.size(); ++j) {
    frozen[j] = context.is_fixed(j) || (j < pinned.size() && pinned[j]);
  }
  const auto report =
      solve_local(circuit_problem(context, x_start, frozen), solver_settings(settings));
  if (!report) {
    FitError error{FitError::Kind::InvalidLocalSetting, {}};
    error.local_setting = report.error();
    return fail(std::move(error));
  }
  if (stop_was_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
  LocalRun run;
  run.x = from_solver_coordinates(report.value().solution, context.bounds);
  // The round trip through log coordinates may move a frozen value in its last bit.
  for (std::size_t j = 0; j < std::min(frozen.size(), run.x.size()); ++j) {
    if (frozen[j]) run.x[j] = x_start[j];
  }
  run.success = is_success(report.value().reason);
  run.stop = LocalStop{report.value().reason, report.value().label};
  run.evaluations = report.value().evaluations;
  const auto residuals = weighted_residuals(context.problem, run.x);
  run.cost = residuals ? residual_cost(residuals.value()) : std::nan("");
  return run;
}

}  // namespace movarin
