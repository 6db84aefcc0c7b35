#include "fit/fit_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace movarin {
namespace {

// J^T J of a row-major rows x cols matrix, in one pass over its rows; each entry sums its
// products in row order from zero.
std::vector<double> normal_matrix(const Matrix& jacobian) {
  const std::size_t m = jacobian.cols;
  std::vector<double> product(m * m, 0.0);
  for (std::size_t k = 0; k < jacobian.rows; ++k) {
    const double* row = &jacobian.data[k * m];
    for (std::size_t a = 0; a < m; ++a) {
      for (std::size_t b = a; b < m; ++b) product[a * m + b] += row[a] * row[b];
    }
  }
  for (std::size_t a = 0; a < m; ++a) {
    for (std::size_t b = a + 1; b < m; ++b) product[b * m + a] = product[a * m + b];
  }
  return product;
}

// The matrix without row `skip_row` and column `skip_col`.
std::vector<double> minor_matrix(std::span<const double> a, std::size_t m, std::size_t skip_row,
                                 std::size_t skip_col) {
  std::vector<double> minor;
  minor.reserve((m - 1) * (m - 1));
  for (std::size_t r = 0; r < m; ++r) {
    if (r == skip_row) continue;
    for (std::size_t c = 0; c < m; ++c) {
      if (c != skip_col) minor.push_back(a[r * m + c]);
    }
  }
  return minor;
}

// Laplace expansion along the first row: exact cofactor formulas for the small sizes it serves.
double cofactor_determinant(std::span<const double> a, std::size_t m) {
  if (m == 1) return a[0];
  if (m == 2) return a[0] * a[3] - a[1] * a[2];
  double determinant = 0.0;
  for (std::size_t c = 0; c < m; ++c) {
    const double sign = c % 2 == 0 ? 1.0 : -1.0;
    determinant += sign * a[c] * cofactor_determinant(minor_matrix(a, m, 0, c), m - 1);
  }
  return determinant;
}

std::optional<std::vector<double>> cofactor_inverse(std::span<const double> a, std::size_t m) {
  const double determinant = cofactor_determinant(a, m);
  if (determinant == 0.0) return std::nullopt;
  std::vector<double> inverse(m * m);
  if (m == 1) {
    inverse[0] = 1.0 / determinant;
    return inverse;
  }
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < m; ++c) {
      const double sign = (r + c) % 2 == 0 ? 1.0 : -1.0;
      // The adjugate is the transposed cofactor matrix.
      inverse[c * m + r] =
          sign * cofactor_determinant(minor_matrix(a, m, r, c), m - 1) / determinant;
    }
  }
  return inverse;
}

std::optional<std::vector<double>> lu_inverse(std::span<const double> a, std::size_t m) {
  std::vector<double> lu(a.begin(), a.end());
  std::vector<std::size_t> row_of(m);
  for (std::size_t i = 0; i < m; ++i) row_of[i] = i;
  for (std::size_t k = 0; k < m; ++k) {
    std::size_t pivot = k;
    for (std::size_t i = k + 1; i < m; ++i) {
      if (std::fabs(lu[i * m + k]) > std::fabs(lu[pivot * m + k])) pivot = i;
    }
    if (lu[pivot * m + k] == 0.0) return std::nullopt;
    if (pivot != k) {
      for (std::size_t c = 0; c < m; ++c) std::swap(lu[k * m + c], lu[pivot * m + c]);
      std::swap(row_of[k], row_of[pivot]);
    }
    for (std::size_t i = k + 1; i < m; ++i) {
      const double factor = lu[i * m + k] / lu[k * m + k];
      lu[i * m + k] = factor;
      for (std::size_t c = k + 1; c < m; ++c) lu[i * m + c] -= factor * lu[k * m + c];
    }
  }
  std::vector<double> inverse(m * m);
  std::vector<double> column(m);
  for (std::size_t j = 0; j < m; ++j) {
    // Solve L U x = P e_j by forward then back substitution.
    for (std::size_t i = 0; i < m; ++i) {
      double sum = row_of[i] == j ? 1.0 : 0.0;
      for (std::size_t k = 0; k < i; ++k) sum -= lu[i * m + k] * column[k];
      column[i] = sum;
    }
    for (std::size_t i = m; i-- > 0;) {
      double sum = column[i];
      for (std::size_t k = i + 1; k < m; ++k) sum -= lu[i * m + k] * column[k];
      column[i] = sum / lu[i * m + i];
    }
    for (std::size_t i = 0; i < m; ++i) inverse[i * m + j] = column[i];
  }
  return inverse;
}

// The Jacobian's columns of the free parameters.
Matrix free_columns(const Matrix& jacobian, const FitContext& context) {
  std::vector<std::size_t> kept;
  for (std::size_t j = 0; j < jacobian.cols; ++j) {
    if (!context.is_fixed(j)) kept.push_back(j);
  }
  if (kept.size() == jacobian.cols) return jacobian;
  Matrix free{jacobian.rows, kept.size(), std::vector<double>(jacobian.rows * kept.size())};
  for (std::size_t row = 0; row < jacobian.rows; ++row) {
    for (std::size_t k = 0; k < kept.size(); ++k) free.at(row, k) = jacobian.at(row, kept[k]);
  }
  return free;
}

// Fixed parameters have no standard error (NaN) and take no degree of freedom.
std::optional<std::vector<double>> standard_errors(const Matrix& jacobian, double chi_square,
                                                   const FitContext& context) {
  const Matrix free = free_columns(jacobian, context);
  const std::size_t m = free.cols;
  const double dof = static_cast<double>(free.rows) - static_cast<double>(m);
  if (dof <= 0.0) return std::nullopt;
  const auto inverse = invert_matrix(normal_matrix(free), m);
  if (!inverse) return std::nullopt;
  std::vector<double> errors(jacobian.cols, std::nan(""));
  for (std::size_t j = 0, k = 0; j < jacobian.cols; ++j) {
    if (context.is_fixed(j)) continue;
    errors[j] = std::sqrt(chi_square / dof * (*inverse)[k * m + k]);
    ++k;
  }
  return errors;
}

}  // namespace

std::vector<double> clamp_to_bounds(std::span<const double> params,
                                    std::span<const Bounds> bounds) {
  std::vector<double> clamped(params.begin(), params.end());
  const std::size_t bounded = std::min(clamped.size(), bounds.size());
  for (std::size_t j = 0; j < bounded; ++j) {
    clamped[j] = std::clamp(clamped[j], bounds[j].lo, bounds[j].hi);
  }
  return clamped;
}

std::optional<std::vector<double>> invert_matrix(std::span<const double> a, std::size_t m) {
  constexpr std::size_t kLargestCofactorSize = 4;
  if (m == 0) return std::vector<double>{};
  if (m <= kLargestCofactorSize) return cofactor_inverse(a, m);
  return lu_inverse(a, m);
}

FitOutcome fit_statistics(std::span<const double> params, bool success, std::uint64_t iterations,
                          const FitContext& context) {
  const std::vector<double> clamped = clamp_to_bounds(params, context.bounds);
  const ResidualProblem& problem = context.problem;

  FitOutcome outcome;
  const auto residuals = weighted_residuals(problem, clamped);
  const auto jacobian = central_jacobian(problem, clamped);
  outcome.cost = residuals ? residual_cost(residuals.value()) : std::nan("");
  outcome.chi_square = 2.0 * outcome.cost;
  if (jacobian) {
    outcome.standard_errors = standard_errors(jacobian.value(), outcome.chi_square, context);
  }
  outcome.circuit = with_values(context.circuit(), clamped).value();
  outcome.param_names = param_names(context.circuit());
  outcome.params = clamped;
  // A point whose misfit cannot be measured is no sound optimum, whatever found it.
  outcome.success = success && std::isfinite(outcome.cost) && std::isfinite(outcome.chi_square);
  outcome.iterations = iterations;
  outcome.impedance_evals = problem.counter.get().value();
  return outcome;
}

}  // namespace movarin
