#include "fit/residuals.hpp"

#include <algorithm>
#include <array>
#include <atomic>
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

// The weighted residuals of points [begin, begin + count), count at most kEvaluationBlock, into
// out[0, 2 count). False when params are too few for the circuit.
bool residual_block(const ResidualProblem& problem, std::span<const double> params,
                    std::size_t begin, std::size_t count, double* out) {
  std::array<Complex, kEvaluationBlock> model;
  const std::span<const double> log_omega =
      problem.log_omega.empty() ? problem.log_omega : problem.log_omega.subspan(begin, count);
  if (!impedance_over(problem.circuit, params, problem.omega.subspan(begin, count), log_omega,
                      std::span<Complex>(model.data(), count))) {
    return false;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = begin + k;
    out[2 * k] = (model[k].re - problem.measured[i].re) / problem.weights[i];
    out[2 * k + 1] = (model[k].im - problem.measured[i].im) / problem.weights[i];
  }
  return true;
}

// Calls piece(begin, end) on consecutive ranges that cover [0, points), each ending on a multiple
// of kEvaluationBlock (or at `points`). Below kPoolWork evaluations in all the caller's thread does
// the whole range at once; above, the ranges of at least kPoolWork evaluations each are tasks on
// the worker pool. bench_residuals on the 2-core virtual machine we develop on, shared with other
// work (Randles circuit, 5 parameters, medians of 5 runs): the Jacobian as two pool tasks against
// the caller alone ran 0.82x as fast at 50 points (500 evaluations), 0.97x at 100, 1.01x at 200
// to 400 (up to 4000 evaluations), and pieces of kPoolWork evaluations (about 0.3 ms each) 1.2x as
// fast from 1600 points (16000 evaluations) up. A task costs some 15 us to hand out and collect.
template <class Piece>
void over_points(std::size_t points, std::size_t evaluations_per_point, Piece&& piece) {
  const std::size_t evaluations = points * evaluations_per_point;
  if (evaluations < kPoolWork) {
    piece(std::size_t{0}, points);
    return;
  }
  const std::size_t blocks_per_piece =
      std::max<std::size_t>(1, kPoolWork / (kEvaluationBlock * evaluations_per_point));
  const std::size_t piece_points = blocks_per_piece * kEvaluationBlock;
  const std::size_t pieces = (points + piece_points - 1) / piece_points;
  parallel_for(pieces, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t p = first; p < last; ++p) {
      piece(p * piece_points, std::min(points, (p + 1) * piece_points));
    }
  });
}

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

std::vector<double> log_angular_frequencies(std::span<const double> omega) {
  std::vector<double> logs(omega.size());
  log_frequencies(omega, logs.data());
  return logs;
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
  std::atomic<bool> too_few_values{false};
  over_points(n, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t block = begin; block < end; block += kEvaluationBlock) {
      const std::size_t count = std::min(kEvaluationBlock, end - block);
      if (!residual_block(problem, params, block, count, &residuals[2 * block])) {
        too_few_values.store(true, std::memory_order_relaxed);
        return;
      }
    }
  });
  if (too_few_values.load(std::memory_order_relaxed))
    return fail(NotEnoughValues{param_count(problem.circuit), params.size()});
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
  const std::size_t n = problem.omega.size();
  problem.counter.get().add(2 * m);
  Matrix jacobian{2 * n, m, {}};
  jacobian.data.assign(jacobian.rows * m, 0.0);
  // Row j of `shifted` is params + h_j e_j, row m + j params - h_j e_j.
  std::vector<double> steps(m);
  std::vector<double> shifted(2 * m * m);
  for (std::size_t j = 0; j < m; ++j) {
    steps[j] = jacobian_step(params[j]);
    std::copy(params.begin(), params.end(), shifted.begin() + static_cast<std::ptrdiff_t>(j * m));
    std::copy(params.begin(), params.end(),
              shifted.begin() + static_cast<std::ptrdiff_t>((m + j) * m));
    shifted[j * m + j] = params[j] + steps[j];
    shifted[(m + j) * m + j] = params[j] - steps[j];
  }
  std::atomic<bool> too_few_values{false};
  // Block by block, every column: the shifted residuals stay on the stack.
  over_points(n, 2 * m, [&](std::size_t begin, std::size_t end) {
    std::array<double, 2 * kEvaluationBlock> plus;
    std::array<double, 2 * kEvaluationBlock> minus;
    for (std::size_t block = begin; block < end; block += kEvaluationBlock) {
      const std::size_t count = std::min(kEvaluationBlock, end - block);
      for (std::size_t j = 0; j < m; ++j) {
        const std::span<const double> up(&shifted[j * m], m);
        const std::span<const double> down(&shifted[(m + j) * m], m);
        if (!residual_block(problem, up, block, count, plus.data()) ||
            !residual_block(problem, down, block, count, minus.data())) {
          too_few_values.store(true, std::memory_order_relaxed);
          return;
        }
        for (std::size_t k = 0; k < 2 * count; ++k) {
          jacobian.at(2 * block + k, j) = (plus[k] - minus[k]) / (2.0 * steps[j]);
        }
      }
    }
  });
  if (too_few_values.load(std::memory_order_relaxed))
    return fail(NotEnoughValues{param_count(problem.circuit), params.size()});
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
  enum class Column : char { Kept, Frozen, Scaled };
  std::vector<Column> columns(J.cols, Column::Kept);
  std::vector<double> scales(J.cols, 1.0);
  for (std::size_t j = 0; j < J.cols; ++j) {
    if (j < frozen.size() && frozen[j]) {
      columns[j] = Column::Frozen;
    } else if (j < bounds.size() && is_open_bound(bounds[j].hi)) {
      columns[j] = Column::Scaled;
      scales[j] = (x[j] - bounds[j].lo) * kLn10;
    }
  }
  // Row by row: one pass over the matrix however many columns change.
  for (std::size_t k = 0; k < J.rows; ++k) {
    for (std::size_t j = 0; j < J.cols; ++j) {
      if (columns[j] == Column::Frozen) J.at(k, j) = 0.0;
      if (columns[j] == Column::Scaled) J.at(k, j) = J.at(k, j) * scales[j];
    }
  }
  return jacobian;
}

}  // namespace movarin
