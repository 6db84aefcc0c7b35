#pragma once
// Every check of a fit's settings, made once before the fit starts and only for the settings the
// chosen method reads, so that which error a caller sees first does not depend on the method's
// inner workings. The solvers keep their own guards for direct callers.

#include <cstddef>
#include <optional>

#include "fit/fit.hpp"

namespace movarin {

// Sizes first: a degenerate count (a swarm or population without members) is CountTooSmall; a
// count whose arrays could never be addressed, or whose work count would overflow, is
// CountTooLarge; arrays larger than the machine's physical memory are OutOfMemory, naming what
// they hold. Then values: the local solver's tolerances (Levenberg-Marquardt), the step size
// (basin hopping), the initial temperature (simulated annealing).
std::optional<FitError> check_settings(const FitSettings& settings, FitMethod method,
                                       std::size_t parameters, std::size_t points);

}  // namespace movarin
