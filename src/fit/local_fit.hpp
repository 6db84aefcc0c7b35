#pragma once
// One run of the local solver on a fit's residuals, in solver coordinates.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/fit.hpp"
#include "fit/fit_context.hpp"

namespace movarin {

struct LocalRun {
  std::vector<double> x;  // physical coordinates
  bool success = false;
  LocalStop stop;                 // why the solver ended this run
  std::uint64_t evaluations = 0;  // residual evaluations counted by the solver
  double cost = 0.0;              // at x, from one more residual evaluation
};

// The context's fixed parameters and the pinned ones keep their start value exactly. Fails when
// the settings are invalid or the caller asked the fit to stop.
Result<LocalRun, FitError> run_local_solver(const FitContext& context,
                                            std::span<const double> x_start,
                                            const std::vector<bool>& pinned,
                                            const LocalFitSettings& settings);

}  // namespace movarin
