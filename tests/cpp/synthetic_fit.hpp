#pragma once
// Noiseless spectra of known circuits, and the context a fit of one works in, shared by the tests
// of the fit layer.

#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/fit.hpp"
#include "fit/fit_context.hpp"

namespace test_support {

using namespace movarin;

// A noiseless spectrum of `circuit` with `truth`, log-spaced points from 100 kHz to 10 mHz.
struct Synthetic {
  SeriesList circuit;
  std::vector<double> truth;
  std::vector<double> frequencies;
  std::vector<Complex> impedances;

  Synthetic(std::string_view text, std::vector<double> values, int points = 40)
      : circuit(parse_circuit(text).value()), truth(std::move(values)) {
    for (int i = 0; i < points; ++i) {
      const double f = points == 1 ? 1e3 : std::pow(10.0, 5.0 - 7.0 * i / (points - 1));
      frequencies.push_back(f);
      impedances.push_back(impedance_with_values(circuit, truth, f * kTwoPi).value());
    }
  }

  SeriesList starting_at(const std::vector<double>& values) const {
    return with_values(circuit, values).value();
  }

  Result<FitOutcome, FitError> fit(const SeriesList& start, const FitSettings& settings = {},
                                   const FitConstraints& constraints = {}) const {
    return run_fit(start, frequencies, impedances, settings, constraints);
  }
};

// What a modulus-weighted fit of a Synthetic spectrum shares; the spectrum outlives it.
struct SyntheticContext {
  explicit SyntheticContext(const Synthetic& spectrum)
      : data(spectrum),
        omega(angular_frequencies(spectrum.frequencies)),
        weights(weights_for(spectrum.impedances, WeightScheme::Modulus)),
        bounds(param_bounds(spectrum.circuit)) {}

  FitContext context() {
    return {{data.circuit, omega, data.impedances, weights, counter}, bounds};
  }

  const Synthetic& data;
  std::vector<double> omega;
  std::vector<double> weights;
  std::vector<Bounds> bounds;
  EvaluationCounter counter;
};

}  // namespace test_support
