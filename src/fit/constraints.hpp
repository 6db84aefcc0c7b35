#pragma once
// A caller's fixed parameters and bounds, checked against the circuit and turned into the bounds
// and the fixed mask a fit works with. Internal to fit/.

#include <vector>

#include "fit/fit.hpp"

namespace movarin {

struct ConstrainedParameters {
  std::vector<Bounds> bounds;  // the given bounds where given, else the parameter's own
  std::vector<bool> fixed;     // one per parameter
};

// Refuses, in flat parameter order, bounds that are not an interval inside the parameter's own
// range, start values outside given bounds and fixed values outside their bounds; then a fit
// with nothing left free.
Result<ConstrainedParameters, ConstraintError> apply_constraints(const SeriesList& circuit,
                                                                 const FitConstraints& constraints);

}  // namespace movarin
