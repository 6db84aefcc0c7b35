#pragma once
// The sizes a caller controls, checked before anything is allocated for them.

#include <cstddef>
#include <optional>

#include "fit/fit_driver.hpp"

namespace movarin {

// A degenerate count (a swarm or population without members) is CountTooSmall; a count whose
// arrays could never be addressed, or whose work count would overflow, is CountTooLarge; arrays
// larger than the machine's physical memory are OutOfMemory, naming what they hold.
std::optional<FitError> check_setting_sizes(const FitSettings& settings, std::size_t parameters,
                                            std::size_t points);

}  // namespace movarin
