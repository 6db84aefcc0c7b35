#pragma once
// The statistics of a fit's end point: cost, chi-square and standard errors from the weighted
// Jacobian. Internal to fit/.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fit/fit.hpp"
#include "fit/fit_context.hpp"

namespace movarin {

// Every parameter clamped to [lo, hi]; entries without bounds are kept.
std::vector<double> clamp_to_bounds(std::span<const double> params, std::span<const Bounds> bounds);

// The outcome at params clamped into the box. The success flag is cleared when the cost there is
// not finite.
FitOutcome fit_statistics(std::span<const double> params, bool success, std::uint64_t iterations,
                          const FitContext& context);

// The inverse of a square matrix (row-major), or nothing when it is singular.
std::optional<std::vector<double>> invert_matrix(std::span<const double> a, std::size_t m);

}  // namespace movarin
