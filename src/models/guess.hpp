#pragma once
// The machine-learning starting point of a circuit: choose the model, predict, and map the
// prediction onto the circuit's own parameters.

#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"
#include "elements/measured_points.hpp"
#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

// One value per parameter of `circuit`, in its flat order. Without a path the stored models
// serve; with one, the weight file at that path (read once per path text, see WeightsCache).
Result<std::vector<double>, WeightError> guess_parameters(
    const SeriesList& circuit, const Spectrum& spectrum,
    const std::optional<std::string>& weights_path);

}  // namespace movarin
