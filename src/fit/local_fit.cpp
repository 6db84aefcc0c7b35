#include "fit/local_fit.hpp"

#include <cmath>

#include "fit/levenberg_marquardt.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

CallbackFailure callback_failure(const NotEnoughValues& error) {
  return CallbackFailure{message(error)};
}

LocalProblem circuit_problem(const FitContext& context, std::span<const double> x_start,
                             std::span<const Bounds> bounds, const std::vector<bool>& frozen) {
  LocalProblem problem;
  problem.start = to_solver_coordinates(x_start, bounds);
  problem.residuals = [&context,
                       bounds](std::span<const double> u) -> CallbackResult<std::vector<double>> {
    // The run ends as if the model could not be evaluated; the driver reports the interruption.
    if (stop_requested()) return fail(CallbackFailure{"interrupted"});
    auto residuals = weighted_residuals(context.problem(), from_solver_coordinates(u, bounds));
    if (!residuals) return fail(callback_failure(residuals.error()));
    return std::move(residuals).value();
  };
  problem.jacobian = [&context, bounds,
                      &frozen](std::span<const double> u) -> CallbackResult<std::vector<double>> {
    auto jacobian = solver_jacobian(context.problem(), u, bounds, frozen);
    if (!jacobian) return fail(callback_failure(jacobian.error()));
    return std::move(jacobian).value().data;
  };
  return problem;
}

}  // namespace

Result<LocalRun, FitError> run_local_solver(const FitContext& context,
                                            std::span<const double> x_start,
                                            std::span<const Bounds> bounds,
                                            const std::vector<bool>& frozen,
                                            const LocalFitSettings& settings) {
  LocalSolverSettings solver_settings;
  solver_settings.ftol = settings.ftol;
  solver_settings.xtol = settings.xtol;
  solver_settings.gtol = settings.gtol;
  solver_settings.patience = settings.patience;
  const auto report =
      solve_local(circuit_problem(context, x_start, bounds, frozen), solver_settings);
  if (!report) {
    return fail(
        FitError{FitError::Kind::SolverFailure, "Invalid parameter: " + message(report.error())});
  }
  LocalRun run;
  run.x = from_solver_coordinates(report.value().solution, bounds);
  run.success = is_success(report.value().reason);
  run.evaluations = report.value().evaluations;
  const auto residuals = weighted_residuals(context.problem(), run.x);
  run.cost = residuals ? residual_cost(residuals.value()) : std::nan("");
  return run;
}

}  // namespace movarin
