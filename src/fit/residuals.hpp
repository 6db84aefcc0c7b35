#pragma once
// Weighted residuals, their central-difference Jacobian and the solver coordinates.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.hpp"
#include "runtime/result.hpp"

namespace movarin {

enum class WeightScheme { Modulus, Unit };

struct UnknownWeightScheme {
  std::string text;
};
std::string message(const UnknownWeightScheme& error);

// Exact and case-sensitive: "modulus" or "unit".
Result<WeightScheme, UnknownWeightScheme> parse_weight_scheme(std::string_view text);
// The text parse_weight_scheme reads as `scheme`.
std::string_view weight_scheme_name(WeightScheme scheme);

std::vector<double> angular_frequencies(std::span<const double> frequencies);
// log_frequencies(omega): what the fractional powers read, worked out once per fit.
std::vector<double> log_angular_frequencies(std::span<const double> omega);
std::vector<double> weights_for(std::span<const Complex> measured, WeightScheme scheme);

// Counts residual-vector evaluations; shared by every thread of one evaluation context.
class EvaluationCounter {
 public:
  void add(std::uint64_t n) { count_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t value() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> count_{0};
};

// Everything a residual evaluation reads; the spans outlive the problem. `log_omega` is either
// log_angular_frequencies(omega) or empty; the results are the same, bit for bit, but empty means
// working the logarithms out again in every evaluation.
struct ResidualProblem {
  const SeriesList& circuit;
  std::span<const double> omega;
  std::span<const Complex> measured;
  std::span<const double> weights;
  std::reference_wrapper<EvaluationCounter> counter;
  std::span<const double> log_omega = {};  // log_angular_frequencies(omega); empty: per block

  // The same problem, counting its evaluations into `other`.
  ResidualProblem counting_into(EvaluationCounter& other) const {
    ResidualProblem rebound = *this;
    rebound.counter = other;
    return rebound;
  }
};

// Residual evaluations (points x evaluations: one per residual vector, two per Jacobian column)
// below which a call runs on its caller's thread alone, and the least each task on the worker
// pool is given. The values are the same either way.
inline constexpr std::size_t kPoolWork = 16384;

// 2n entries, interleaved (re, im) per point, model minus measurement over the weight. Counts 1.
// On the worker pool from kPoolWork points up.
Result<std::vector<double>, NotEnoughValues> weighted_residuals(const ResidualProblem& problem,
                                                                std::span<const double> params);

// Sums from negative zero, in index order.
double sum_of_squares(std::span<const double> residuals);
double residual_cost(std::span<const double> residuals);

// Row-major: rows are residual entries, columns parameters.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;
  double& at(std::size_t row, std::size_t col) { return data[row * cols + col]; }
  double at(std::size_t row, std::size_t col) const { return data[row * cols + col]; }
};

// The step of the central difference for a parameter value.
double jacobian_step(double value);

// One column per entry of params. Counts 2 per column. On the worker pool, in pieces of the
// spectrum, from kPoolWork points x 2 columns up.
Result<Matrix, NotEnoughValues> central_jacobian(const ResidualProblem& problem,
                                                 std::span<const double> params);

bool is_open_bound(double hi);
std::vector<double> to_solver_coordinates(std::span<const double> x,
                                          std::span<const Bounds> bounds);
std::vector<double> from_solver_coordinates(std::span<const double> u,
                                            std::span<const Bounds> bounds);

// The Jacobian with respect to solver coordinates u; frozen parameters get zero columns.
Result<Matrix, NotEnoughValues> solver_jacobian(const ResidualProblem& problem,
                                                std::span<const double> u,
                                                std::span<const Bounds> bounds,
                                                const std::vector<bool>& frozen);

}  // namespace movarin
