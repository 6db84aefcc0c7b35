#include "nn/inference.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "circuit/tree.hpp"
#include "runtime/total_order.hpp"

namespace movarin {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

double modulus(Complex z) {
  return std::hypot(z.re, z.im);
}

// The upper median of the moduli, ordered by totalOrder.
double upper_median_modulus(const std::vector<Complex>& impedances) {
  if (impedances.empty()) return std::nan("");
  std::vector<double> moduli;
  moduli.reserve(impedances.size());
  for (const Complex z : impedances) moduli.push_back(modulus(z));
  std::sort(moduli.begin(), moduli.end(), total_order_less);
  return moduli[moduli.size() / 2];
}

double mean_log_angular_frequency(const std::vector<double>& frequencies) {
  double sum = 0.0;
  for (const double f : frequencies) sum += std::log(kTwoPi * f);
  return sum / static_cast<double>(frequencies.size());
}

// Removes jumps of 2*pi between neighbouring phases.
std::vector<double> continuous_phase(const std::vector<Complex>& ordered) {
  std::vector<double> phase(ordered.size());
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    const double raw = std::atan2(ordered[i].im, ordered[i].re);
    if (i == 0) {
      phase[i] = raw;
      continue;
    }
    const double previous = phase[i - 1];
    const double d = raw - previous;
    double step = d - kTwoPi * std::floor((d + kPi) / kTwoPi);
    if (step == -kPi && raw > previous) step = kPi;
    phase[i] = previous + step;
  }
  return phase;
}

// Piecewise-linear interpolation over (x, values), constant beyond the ends; x holds at least two
// points. Ascending x is searched by bisection, anything else (NaN frequencies) by a scan, with the
// same answer: the last j with x[j] <= u.
class Interpolator {
 public:
  explicit Interpolator(const std::vector<double>& x)
      : x_(x), ascending_(std::adjacent_find(x.begin(), x.end(), [](double a, double b) {
                            return !(a <= b);
                          }) == x.end()) {}

  double operator()(double u, const std::vector<double>& values) const {
    const std::size_t last = x_.size() - 1;
    if (u <= x_[0]) return values[0];
    if (u >= x_[last]) return values[last];
    const std::size_t j = segment(u);
    if (x_[j] == x_[j + 1]) return values[j];
    return values[j] + (u - x_[j]) / (x_[j + 1] - x_[j]) * (values[j + 1] - values[j]);
  }

 private:
  // Below the last index, since u < x[last] here; 0 when no x[j] <= u (only for a NaN u).
  std::size_t segment(double u) const {
    if (ascending_) {
      const auto above = std::upper_bound(x_.begin(), x_.end(), u);
      return above == x_.begin() ? 0 : static_cast<std::size_t>(above - x_.begin()) - 1;
    }
    for (std::size_t j = x_.size() - 1; j-- > 0;) {
      if (x_[j] <= u) return j;
    }
    return 0;
  }

  const std::vector<double>& x_;
  bool ascending_;
};

double power_of_ten(double exponent) {
  return std::pow(10.0, exponent);
}

// min(max(v, lo), hi), keeping a NaN v.
double clamp_exponent(double v, double lo, double hi) {
  const double raised = v < lo ? lo : v;
  return hi < raised ? hi : raised;
}

}  // namespace

std::size_t usable_points(const Spectrum& spectrum) {
  return std::min(spectrum.frequencies.size(), spectrum.impedances.size());
}

SpectrumScales estimate_scales(const Spectrum& spectrum) {
  double weight_sum = 0.0, log_frequency_sum = 0.0, log_modulus_sum = 0.0;
  for (std::size_t i = 0; i < usable_points(spectrum); ++i) {
    const double f = spectrum.frequencies[i];
    const Complex z = spectrum.impedances[i];
    const double m = modulus(z);
    if (f <= 0.0 || m <= 0.0) continue;
    const double ratio = -z.im / m;
    const double weight = ratio > 0.0 ? ratio : 0.0;
    weight_sum += weight;
    log_frequency_sum += weight * std::log(kTwoPi * f);
    log_modulus_sum += weight * std::log(m);
  }
  if (weight_sum >= 1e-9) {
    return {std::exp(log_modulus_sum / weight_sum), std::exp(log_frequency_sum / weight_sum)};
  }
  return {upper_median_modulus(spectrum.impedances),
          std::exp(mean_log_angular_frequency(spectrum.frequencies))};
}

Features featurise(const WeightModel& model, const Spectrum& spectrum,
                   const SpectrumScales& scales) {
  const std::size_t n = usable_points(spectrum);
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_less(spectrum.frequencies[a], spectrum.frequencies[b]);
  });

  std::vector<double> x(n), y(n);
  std::vector<Complex> ordered(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::log10(spectrum.frequencies[order[i]]);
    ordered[i] = spectrum.impedances[order[i]];
    y[i] = std::log10(modulus(ordered[i]));
  }
  const std::vector<double> phase = continuous_phase(ordered);

  const std::size_t length = model.n_grid;
  const double span = x[n - 1] - x[0];
  const double step = length > 1 ? span / static_cast<double>(length - 1) : 0.0;
  const double log_zs = std::log10(scales.impedance);
  const double log_frequency_scale = std::log10(scales.angular_frequency / kTwoPi);
  const Interpolator interpolate(x);

  Features features{std::vector<double>(kInputChannels * length), {}};
  for (std::size_t g = 0; g < length; ++g) {
    const double u = x[0] + static_cast<double>(g) * step;
    features.input[g] = interpolate(u, y) - log_zs;
    features.input[length + g] = interpolate(u, phase) / kHalfPi;
    features.input[2 * length + g] = (u - log_frequency_scale) * 0.25;
  }
  features.extras = {span * 0.125,
                     std::log10(static_cast<double>(spectrum.frequencies.size())) * 0.5};
  return features;
}

std::optional<WeightError> check_output_tables(const WeightModel& model, const Network& network) {
  const std::size_t p = model.param_names.size();
  const std::pair<const char*, std::size_t> tables[] = {
      {"target_mean", model.target_mean.size()},
      {"target_std", model.target_std.size()},
      {"log_params", model.log_params.size()},
  };
  for (const auto& [name, size] : tables) {
    if (size < p) return WeightError::element_count(name, size, p);
  }
  if (model.scaling.size() < p)
    return WeightError::element_count("scaling", 4 * model.scaling.size(), 4 * p);
  for (std::size_t j = 0; j < p; ++j) {
    const std::int32_t k = model.scaling[j].exponent_index;
    if (k >= 0 && static_cast<std::size_t>(k) >= p) {
      return WeightError::unparsable("scaling (row " + std::to_string(j) +
                                     " takes its exponent from parameter " + std::to_string(k) +
                                     " of " + std::to_string(p) + ")");
    }
  }
  const std::size_t outputs = network.head[2].out;
  if (outputs < p) {
    return WeightError::unparsable("w.head.4.weight (" + std::to_string(outputs) + " outputs for " +
                                   std::to_string(p) + " parameters)");
  }
  if (!(model.alpha_min <= model.alpha_max)) {
    return WeightError::unparsable("alpha_max (not at least alpha_min)");
  }
  return std::nullopt;
}

std::vector<double> map_outputs(const WeightModel& model, std::span<const double> outputs,
                                const SpectrumScales& scales) {
  const std::size_t p = model.param_names.size();
  std::vector<double> v(p);
  for (std::size_t i = 0; i < p; ++i) {
    v[i] = outputs[i] * model.target_std[i] + model.target_mean[i];
    if (model.log_params[i]) {
      v[i] = power_of_ten(v[i]);
    } else {
      v[i] = clamp_exponent(v[i], model.alpha_min, model.alpha_max);
    }
  }
  std::vector<double> values(p);
  for (std::size_t j = 0; j < p; ++j) {
    const ScalingRow& row = model.scaling[j];
    const double e = row.exponent_index < 0 ? 0.0
                                            : row.exponent_coefficient *
                                                  v[static_cast<std::size_t>(row.exponent_index)];
    values[j] = std::pow(scales.impedance, row.impedance_exponent) * v[j] *
                std::pow(scales.angular_frequency, row.frequency_exponent + e);
  }
  return values;
}

Result<std::vector<double>, WeightError> predict_parameters(const WeightModel& model,
                                                            const Spectrum& spectrum) {
  const std::size_t points = usable_points(spectrum);
  if (points < 2) return fail(WeightError::too_few_points(points));
  auto network = bind_network(model);
  if (!network) return fail(network.error());
  if (auto error = check_output_tables(model, network.value())) return fail(*error);

  const SpectrumScales scales = estimate_scales(spectrum);
  const Features features = featurise(model, spectrum, scales);
  const std::vector<double> outputs = forward(network.value(), features.input, features.extras);
  return map_outputs(model, outputs, scales);
}

}  // namespace movarin
