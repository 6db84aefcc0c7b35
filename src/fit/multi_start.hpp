#pragma once
// Local fits from several starting points, and the plausibility rules that decide which end point
// is a sound answer. The Levenberg-Marquardt method is a multi-start fit; the global methods
// polish their point with one. Internal to fit/.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/fit.hpp"
#include "fit/fit_context.hpp"

namespace movarin {

struct ScoredCandidate {
  std::vector<double> x;
  double score;
};

// The nine starting points around x0, clamped into the box and sorted by cost (stable, IEEE
// totalOrder).
std::vector<ScoredCandidate> candidate_starting_points(std::span<const double> x0,
                                                       const FitContext& context);

// Local fits from the candidates around x0, counted into a counter of their own (the outcome's
// impedance_evals).
Result<FitOutcome, FitError> multi_start_local_fit(std::span<const double> x0,
                                                   const FitContext& context,
                                                   const LocalFitSettings& settings);

// The better of a global search's point and a multi-start local fit from it.
Result<FitOutcome, FitError> polish(std::span<const double> global_params,
                                    std::uint64_t global_iterations, const FitContext& context);

// Whether every free open-ended parameter of x is well above its lower bound and within six
// decades of its value in x0.
bool stays_near_start(std::span<const double> x, std::span<const double> x0,
                      const FitContext& context);

// Whether x is an acceptable end point of a search started at x0: a finite cost, every free
// bounded parameter strictly inside its box, every free open-ended one well above its lower bound
// and within six decades of its start.
bool is_plausible_point(std::span<const double> x, double cost, std::span<const double> x0,
                        const FitContext& context);

}  // namespace movarin
