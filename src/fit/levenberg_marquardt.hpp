#pragma once
// A local least-squares solver: trust-region Levenberg-Marquardt in the MINPACK formulation (QR
// factorisation with column pivoting, the Levenberg-Marquardt parameter found by a safeguarded
// Newton iteration, MINPACK's radius update and convergence tests). It minimises ½‖r(u)‖² over
// caller-supplied residual and Jacobian callbacks and knows nothing of what they model.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/result.hpp"

namespace movarin {

struct LocalSolverSettings {
  double ftol = 1e-8;        // relative reduction of the sum of squares
  double xtol = 1e-8;        // relative step size
  double gtol = 1e-8;        // cosine between the residuals and the Jacobian's columns
  double stepbound = 100.0;  // initial trust radius as a multiple of the scaled start vector
  unsigned patience = 200;   // at most patience × (n + 1) residual evaluations; 0 counts as 1
  bool scale_diag = true;    // scale the variables by the Jacobian's column norms
};

enum class TerminationReason {
  UserStop,               // a callback failed; the label is its message
  NumericalFailure,       // the label names the quantity that became non-finite
  ResidualsZero,          // success
  Orthogonal,             // success: residuals orthogonal to the Jacobian's columns within gtol
  Converged,              // success: label "ftol", "xtol" or "ftol and xtol"
  NoImprovementPossible,  // a tolerance test holds at machine precision: "ftol", "xtol", "gtol"
  LostPatience,
  WrongDimensions,  // a callback returned a result of the wrong size: "residuals" or "jacobian"
  NoParameters,
  NoResiduals,
};

bool is_success(TerminationReason reason);

// Why a callback could not evaluate. The run ends with UserStop and this text as its label.
struct CallbackFailure {
  std::string message;
};

template <class T>
using CallbackResult = Result<T, CallbackFailure>;

struct LocalProblem {
  std::vector<double> start;
  // u ↦ the m residuals. Every call is one of the solver's counted evaluations; m is fixed by the
  // first call and may be smaller than n (the missing rows count as zero residuals).
  std::function<CallbackResult<std::vector<double>>(std::span<const double> u)> residuals;
  // u ↦ ∂r/∂u, m rows of n entries, row-major. Its cost is not counted by the solver.
  std::function<CallbackResult<std::vector<double>>(std::span<const double> u)> jacobian;
};

struct LocalSolverReport {
  std::vector<double> solution;  // the last accepted iterate (the start when none was accepted)
  TerminationReason reason = TerminationReason::UserStop;
  std::string label;
  std::size_t evaluations = 0;  // residual evaluations, the initial one included
  double objective = 0.0;       // ½‖r‖² at the solution; NaN when r was never evaluated
};

struct SolverSetupError {
  enum class Kind { NegativeFtol, NegativeXtol, NegativeGtol };
  Kind kind;
};
std::string message(const SolverSetupError& error);

// The first of ftol, xtol and gtol (in that order) that is negative or NaN.
std::optional<SolverSetupError> check_local_solver_settings(const LocalSolverSettings& settings);

// Checks the settings as above before anything is evaluated. Every other outcome, callback
// failures included, is a report.
Result<LocalSolverReport, SolverSetupError> solve_local(const LocalProblem& problem,
                                                        const LocalSolverSettings& settings);

}  // namespace movarin
