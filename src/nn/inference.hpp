#pragma once
// From a measured spectrum to a model's predicted parameters: scale estimation, featurisation on
// a logarithmic grid, the network and the mapping of its outputs to physical units.
//
// predict_parameters is the one way into inference for every model, built in or named by a user.
// After the point count it checks the network (bind_network) and then the output tables
// (check_output_tables), so a file whose shapes, counts or indices do not fit together ends in a
// WeightError before any value is read.

#include <optional>
#include <span>
#include <vector>

#include "elements/measured_points.hpp"
#include "nn/network.hpp"
#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

struct SpectrumScales {
  double impedance;          // Zs, ohm
  double angular_frequency;  // ws, rad/s
};

struct Features {
  std::vector<double> input;  // kInputChannels x n_grid, channel after channel
  Extras extras;
};

// Points used: the first min(frequencies, impedances) of the spectrum.
std::size_t usable_points(const Spectrum& spectrum);

// The log-centroid of the capacitive points, or the fallback for a spectrum without any.
SpectrumScales estimate_scales(const Spectrum& spectrum);

Features featurise(const WeightModel& model, const Spectrum& spectrum,
                   const SpectrumScales& scales);

// target tables with at least one entry per parameter, scaling rows whose exponent index names a
// parameter, a last head layer with at least one output per parameter and
// alpha_min <= alpha_max.
std::optional<WeightError> check_output_tables(const WeightModel& model, const Network& network);

// The first P outputs to P parameter values in param_names order; needs check_output_tables.
std::vector<double> map_outputs(const WeightModel& model, std::span<const double> outputs,
                                const SpectrumScales& scales);

Result<std::vector<double>, WeightError> predict_parameters(const WeightModel& model,
                                                            const Spectrum& spectrum);

}  // namespace movarin
