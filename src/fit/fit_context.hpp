#pragma once
// What one fit shares between its evaluations: the residual problem (circuit, spectrum, weights,
// evaluation counter) and the parameters' bounds, plus the local solver's settings. Internal to
// fit/.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/residuals.hpp"

namespace movarin {

// The problem's spans and the bounds outlive the context.
struct FitContext {
  ResidualProblem problem;
  std::span<const Bounds> bounds;  // one per parameter, in flat order
  std::vector<bool> fixed = {};    // held at their start value; empty when none is

  const SeriesList& circuit() const { return problem.circuit; }
  bool is_fixed(std::size_t j) const { return j < fixed.size() && fixed[j]; }
  // The same fit, counting its evaluations into `counter`.
  FitContext counting_into(EvaluationCounter& counter) const {
    return {problem.counting_into(counter), bounds, fixed};
  }
};

struct LocalFitSettings {
  std::uint32_t patience = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  double gtol = 1e-8;
};

}  // namespace movarin
