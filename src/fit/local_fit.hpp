#pragma once
// One run of the local solver on a fit's residuals, in solver coordinates.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/fit_driver.hpp"

namespace movarin {

struct LocalRun {
  std::vector<double> x;  // physical coordinates
  bool success = false;
  std::uint64_t evaluations = 0;  // residual evaluations counted by the solver
  double cost = 0.0;              // at x, from one more residual evaluation
};

// Frozen parameters keep their start value. Fails only when the settings are invalid.
Result<LocalRun, FitError> run_local_solver(const FitContext& context,
                                            std::span<const double> x_start,
                                            std::span<const Bounds> bounds,
                                            const std::vector<bool>& frozen,
                                            const LocalFitSettings& settings);

}  // namespace movarin
