#include "fit/residuals.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "runtime/text.hpp"
#include "runtime/worker_pool.hpp"

namespace movarin {
namespace {

constexpr double kMinimumWeight = 1e-30;
constexpr double kLn10 = 2.302585092994046;
constexpr double kSmallestOffset = 1e-300;

double cube_root_of_epsilon() {
  static const double value = std::cbrt(std::numeric_limits<double>::epsilon());
  return value;
}

struct NamedWeightScheme {
  WeightScheme scheme;
  std::string_view name;
};
constexpr std::array<NamedWeightScheme, 2> kWeightSchemeNames = {
    {{WeightScheme::Modulus, "modulus"}, {WeightScheme::Unit, "unit"}}};

}  // namespace

std::string message(const UnknownWeightScheme& error) {
  return "unknown weight scheme " + quote(error.text) + ", expected " +
         quote(kWeightSchemeNames[0].name) + " or " + quote(kWeightSchemeNames[1].name);
}

Result<WeightScheme, UnknownWeightScheme> parse_weight_scheme(std::string_view text) {
  for (const NamedWeightScheme& named : kWeightSchemeNames) {
    if (text == named.name) return named.scheme;
  }
  return fail(UnknownWeightScheme{std::string(text)});
}

std::string_view weight_scheme_name(WeightScheme scheme) {
  for (const NamedWeightScheme& named : kWeightSchemeNames) {
    if (named.scheme == scheme) return named.name;
  }
  return {};
}

std::vector<double> angular_frequencies(std::span<const double> frequencies) {
  std::vector<double> omega(frequencies.size());
  for (std::size_t i = 0; i < frequencies.size(); ++i) omega[i] = frequencies[i] * kTwoPi;
  return omega;
}

std::vector<double> weights_for(std::span<const Complex> measured, WeightScheme scheme) {
  std::vector<double> weights(measured.size(), 1.0);
  if (scheme == WeightScheme::Modulus) {
    for (std::size_t i = 0; i < measured.size(); ++i) {
      weights[i] = std::max(std::hypot(measured[i].re, measured[i].im), kMinimumWeight);
    }
  }
  return weights;
}

Result<std::vector<double>, NotEnoughValues> weighted_residuals(const ResidualProblem& problem,
                                                                std::span<const double> params) {
  problem.counter.get().add(1);
  const std::size_t n = problem.omega.size();
  std::vector<double> residuals(2 * n);
  std::array<Complex, kEvaluationBlock> model;
  for (std::size_t begin = 0; begin < n; begin += kEvaluationBlock) {
    const std::size_t count = std::min(kEvaluationBlock, n - begin);
    if (!impedance_over(problem.circuit, params, problem.omega.subspan(begin, count),
                        std::span<Complex>(model.data(), count))) {
      return fail(NotEnoughValues{param_count(problem.circuit), params.size()});
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = begin + k;
      residuals[2 * i] = (model[k].re - problem.measured[i].re) / problem.weights[i];
      residuals[2 * i + 1] = (model[k].im - problem.measured[i].im) / problem.weights[i];
    }
  }
  return residuals;
}

double sum_of_squares(std::span<const double> residuals) {
  double sum = -0.0;
  for (const double r : residuals) sum += r * r;
  return sum;
}

double residual_cost(std::span<const double> residuals) {
  return 0.5 * sum_of_squares(residuals);
}

double jacobian_step(double value) {
  return cube_root_of_epsilon() * std::max(std::fabs(value), 1e-8);
}

Result<Matrix, NotEnoughValues> central_jacobian(const ResidualProblem& problem,
                                                 std::span<const double> params) {
  const std::size_t m = params.size();
  Matrix jacobian{2 * problem.omega.size(), m, {}};
  jacobian.data.assign(jacobian.rows * m, 0.0);
  std::vector<char> column_failed(m, 0);
  auto compute_columns = [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const double h = jacobian_step(params[j]);
      std::vector<double> plus(params.begin(), params.end());
      std::vector<double> minus(params.begin(), params.end());
      plus[j] = params[j] + h;
      minus[j] = params[j] - h;
      const auto r_plus = weighted_residuals(problem, plus);
      const auto r_minus = weighted_residuals(problem, minus);
      if (!r_plus || !r_minus) {
        column_failed[j] = 1;
        continue;
      }
      for (std::size_t k = 0; k < jacobian.rows; ++k) {
        jacobian.at(k, j) = (r_plus.value()[k] - r_minus.value()[k]) / (2.0 * h);
      }
    }
  };
  parallel_for(m, 1, compute_columns);
  if (std::find(column_failed.begin(), column_failed.end(), 1) != column_failed.end()) {
    return fail(NotEnoughValues{param_count(problem.circuit), params.size()});
  }
  return jacobian;
}

bool is_open_bound(double hi) {
  constexpr std::uint64_t kAbsMask = 0x7FFF'FFFF'FFFF'FFFFull;
  constexpr std::uint64_t kInfinityBits = 0x7FF0'0000'0000'0000ull;
  return (std::bit_cast<std::uint64_t>(hi) & kAbsMask) >= kInfinityBits;
}

std::vector<double> to_solver_coordinates(std::span<const double> x,
                                          std::span<const Bounds> bounds) {
  std::vector<double> u(x.begin(), x.end());
  const std::size_t mapped = std::min(x.size(), bounds.size());
  for (std::size_t j = 0; j < mapped; ++j) {
    if (is_open_bound(bounds[j].hi))
      u[j] = std::log10(std::max(x[j] - bounds[j].lo, kSmallestOffset));
  }
  return u;
}

std::vector<double> from_solver_coordinates(std::span<const double> u,
                                            std::span<const Bounds> bounds) {
  std::vector<double> x(u.begin(), u.end());
  const std::size_t mapped = std::min(u.size(), bounds.size());
  for (std::size_t j = 0; j < mapped; ++j) {
    if (is_open_bound(bounds[j].hi)) x[j] = bounds[j].lo + std::pow(10.0, u[j]);
  }
  return x;
}

Result<Matrix, NotEnoughValues> solver_jacobian(const ResidualProblem& problem,
                                                std::span<const double> u,
                                                std::span<const Bounds> bounds,
                                                const std::vector<bool>& frozen) {
  const std::vector<double> x = from_solver_coordinates(u, bounds);
  auto jacobian = central_jacobian(problem, x);
  if (!jacobian) return jacobian;
  Matrix& J = jacobian.value();
  for (std::size_t j = 0; j < J.cols; ++j) {
    const bool is_frozen = j < frozen.size() && frozen[j];
    const bool is_log = j < bounds.size() && is_open_bound(bounds[j].hi);
    if (!is_frozen && !is_log) continue;
    const double scale = is_frozen ? 0.0 : (x[j] - bounds[j].lo) * kLn10;
    for (std::size_t k = 0; k < J.rows; ++k) J.at(k, j) = is_frozen ? 0.0 : J.at(k, j) * scale;
  }
  return jacobian;
}

}  // namespace movarin
