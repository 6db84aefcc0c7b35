#pragma once
// The five global fit methods wired to a fit's residuals.

#include <cstdint>
#include <string_view>
#include <vector>

#include "fit/fit_driver.hpp"

namespace movarin {

struct GlobalPoint {
  std::vector<double> params;  // physical coordinates
  std::uint64_t iterations = 0;
};

// "particle_swarm", "differential_evolution", "nelder_mead" or "simulated_annealing", started
// from the circuit's stored values; the caller polishes the point.
Result<GlobalPoint, FitError> global_search(std::string_view method, const FitContext& context,
                                            const FitSettings& settings);

// Repeated multi-start local fits from perturbed points with Metropolis acceptance.
Result<FitOutcome, FitError> basin_hopping_fit(const FitContext& context,
                                               const FitSettings& settings);

}  // namespace movarin
