#pragma once
// The five global fit methods wired to a fit's residuals. Internal to fit/.

#include <cstdint>
#include <vector>

#include "fit/fit.hpp"
#include "fit/fit_context.hpp"

namespace movarin {

struct GlobalPoint {
  std::vector<double> params;  // physical coordinates
  std::uint64_t iterations = 0;
};

// Particle swarm, differential evolution, Nelder-Mead or simulated annealing (the method must be
// one of these four), started from the circuit's stored values; the caller polishes the point.
Result<GlobalPoint, FitError> global_search(FitMethod method, const FitContext& context,
                                            const FitSettings& settings);

// Repeated multi-start local fits from perturbed points with Metropolis acceptance.
Result<FitOutcome, FitError> basin_hopping_fit(const FitContext& context,
                                               const FitSettings& settings);

}  // namespace movarin
