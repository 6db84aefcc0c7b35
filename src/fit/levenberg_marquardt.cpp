#include "fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace movarin {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();  // 2^-52
constexpr double kSmallestNormal = std::numeric_limits<double>::min();

// Squares of magnitudes between these two can be summed without over- or underflow.
constexpr double kNormDwarf = 3.834e-20;
constexpr double kNormGiant = 1.304e19;

// The damping search stops when ‖D p‖ is within this fraction of the radius, or after
// kMaxDampingIterations iterations.
constexpr double kRadiusTolerance = 0.1;
constexpr int kMaxDampingIterations = 10;

// A step is taken when the actual reduction is at least this fraction of the predicted one.
constexpr double kAcceptRatio = 1e-4;

double square(double x) {
  return x * x;
}

// Euclidean norm without overflow or destructive underflow: mid-sized components are summed
// directly, tiny and huge ones separately, each band scaled by its running maximum.
double euclidean_norm(std::span<const double> v) {
  double huge_sum = 0.0, mid_sum = 0.0, tiny_sum = 0.0;
  double huge_max = 0.0, tiny_max = 0.0;
  const double giant = kNormGiant / static_cast<double>(std::max<std::size_t>(v.size(), 1));
  for (const double x : v) {
    const double a = std::fabs(x);
    if (a > kNormDwarf && a < giant) {
      mid_sum += a * a;
    } else if (a <= kNormDwarf) {
      if (a > tiny_max) {
        tiny_sum = 1.0 + tiny_sum * square(tiny_max / a);
        tiny_max = a;
      } else if (a != 0.0) {
        tiny_sum += square(a / tiny_max);
      }
    } else {  // huge, infinite or NaN: NaN lands here and poisons the sum
      if (a > huge_max) {
        huge_sum = 1.0 + huge_sum * square(huge_max / a);
        huge_max = a;
      } else {
        huge_sum += square(a / huge_max);
      }
    }
  }
  if (huge_sum != 0.0) return huge_max * std::sqrt(huge_sum + (mid_sum / huge_max) / huge_max);
  if (mid_sum != 0.0) {
    if (mid_sum >= tiny_max)
      return std::sqrt(mid_sum * (1.0 + (tiny_max / mid_sum) * (tiny_max * tiny_sum)));
    return std::sqrt(tiny_max * ((mid_sum / tiny_max) + (tiny_max * tiny_sum)));
  }
  return tiny_max * std::sqrt(tiny_sum);
}

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

double dot(std::span<const double> a, std::span<const double> b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

// Dense column-major storage: the factorisation and the damped solve work column by column.
class ColumnMatrix {
 public:
  // Keeps whatever the storage held: callers write every entry.
  void resize(std::size_t rows, std::size_t cols) {
    rows_ = rows;
    cols_ = cols;
    data_.resize(rows * cols);
  }
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  double& operator()(std::size_t i, std::size_t j) { return data_[j * rows_ + i]; }
  double operator()(std::size_t i, std::size_t j) const { return data_[j * rows_ + i]; }
  // Column j from row `first` down.
  std::span<double> column(std::size_t j, std::size_t first = 0) {
    return {data_.data() + j * rows_ + first, rows_ - first};
  }
  std::span<const double> column(std::size_t j, std::size_t first = 0) const {
    return {data_.data() + j * rows_ + first, rows_ - first};
  }
  void swap_columns(std::size_t a, std::size_t b) {
    std::swap_ranges(column(a).begin(), column(a).end(), column(b).begin());
  }

 private:
  std::size_t rows_ = 0, cols_ = 0;
  std::vector<double> data_;
};

// J P = Q R with Householder reflections, taking the column of largest remaining norm first.
// After `factorise`, the strict upper triangle of `a` holds R, `rdiag` its diagonal, and column j
// of `a` from row j down the j-th reflection vector. `rotate_residuals` then uses up the
// reflections and moves R's diagonal into `a`.
struct PivotedQr {
  ColumnMatrix a;
  std::vector<double> rdiag;
  std::vector<std::size_t> pivots;
  std::vector<double> column_norms;  // of J itself: they set the scaling and the gradient test
};

// Moves the column of largest remaining norm to position j.
void pivot_largest(PivotedQr& qr, std::vector<double>& reference_norms, std::size_t j) {
  std::size_t largest = j;
  for (std::size_t k = j + 1; k < qr.a.cols(); ++k) {
    if (qr.rdiag[k] > qr.rdiag[largest]) largest = k;
  }
  if (largest == j) return;
  qr.a.swap_columns(j, largest);
  qr.rdiag[largest] = qr.rdiag[j];
  reference_norms[largest] = reference_norms[j];
  std::swap(qr.pivots[j], qr.pivots[largest]);
}

// The remaining norm of column k below row j is downdated cheaply; when cancellation has eaten
// most of its digits it is recomputed from the column.
void downdate_norm(PivotedQr& qr, std::vector<double>& reference_norms, std::size_t j,
                   std::size_t k) {
  if (qr.rdiag[k] == 0.0) return;
  const double t = qr.a(j, k) / qr.rdiag[k];
  qr.rdiag[k] *= std::sqrt(std::max(0.0, 1.0 - t * t));
  if (0.05 * square(qr.rdiag[k] / reference_norms[k]) <= kEpsilon) {
    qr.rdiag[k] = euclidean_norm(qr.a.column(k, j + 1));
    reference_norms[k] = qr.rdiag[k];
  }
}

void factorise(PivotedQr& qr) {
  const std::size_t n = qr.a.cols();
  qr.rdiag.resize(n);
  qr.pivots.resize(n);
  qr.column_norms.resize(n);
  std::vector<double> reference_norms(n);
  for (std::size_t j = 0; j < n; ++j) {
    qr.column_norms[j] = euclidean_norm(qr.a.column(j));
    qr.rdiag[j] = reference_norms[j] = qr.column_norms[j];
    qr.pivots[j] = j;
  }
  for (std::size_t j = 0; j < std::min(qr.a.rows(), n); ++j) {
    pivot_largest(qr, reference_norms, j);
    const std::span<double> v = qr.a.column(j, j);
    double norm = euclidean_norm(v);
    if (norm != 0.0) {
      // The sign choice avoids cancellation in v[0].
      if (v[0] < 0.0) norm = -norm;
      for (double& x : v) x /= norm;
      v[0] += 1.0;
      for (std::size_t k = j + 1; k < n; ++k) {
        const std::span<double> c = qr.a.column(k, j);
        const double t = dot(v, c) / v[0];
        for (std::size_t i = 0; i < c.size(); ++i) c[i] -= t * v[i];
        downdate_norm(qr, reference_norms, j, k);
      }
    }
    qr.rdiag[j] = -norm;
  }
}

// Computes the first n entries of Qᵀ r and stores R's diagonal in `a`, which then holds R whole.
void rotate_residuals(PivotedQr& qr, std::span<const double> residuals, std::vector<double>& qtr) {
  std::vector<double> work(qr.a.rows(), 0.0);  // rows past the residuals are zero padding
  std::copy(residuals.begin(), residuals.end(), work.begin());
  const std::size_t n = qr.a.cols();
  qtr.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::span<const double> v = qr.a.column(j, j);
    if (v[0] != 0.0) {
      const std::span<double> w = std::span<double>(work).subspan(j);
      const double t = -dot(v, w) / v[0];
      for (std::size_t i = 0; i < w.size(); ++i) w[i] += t * v[i];
    }
    qr.a(j, j) = qr.rdiag[j];
    qtr[j] = work[j];
  }
}

// Scratch vectors of length n for the damped subproblem, kept across iterations.
struct SubproblemWork {
  std::vector<double> a, b, sdiag, solve, dp, e;
  void resize(std::size_t n) {
    for (std::vector<double>* v : {&a, &b, &sdiag, &solve, &dp, &e}) v->resize(n);
  }
};

// The factorised data of min ‖J p − r‖² + λ‖D p‖². `r` holds R on and above its diagonal; below
// it the damped solve leaves Sᵀ, the factor the damping iteration differentiates through.
struct Subproblem {
  ColumnMatrix& r;
  std::span<const std::size_t> pivots;
  std::span<const double> diag;
  std::span<const double> qtr;
  std::size_t n() const { return pivots.size(); }
};

struct Rotation {
  double cos, sin;
};

// The Givens rotation that zeroes `b` against `a`, formed without overflow.
Rotation rotation_eliminating(double a, double b) {
  if (std::fabs(a) < std::fabs(b)) {
    const double cotan = a / b;
    const double sin = 0.5 / std::sqrt(0.25 + 0.25 * cotan * cotan);
    return {sin * cotan, sin};
  }
  const double tan = b / a;
  const double cos = 0.5 / std::sqrt(0.25 + 0.25 * tan * tan);
  return {cos, cos * tan};
}

// Folds row j of the diagonal damping matrix E (entry e) into the triangle kept transposed in
// the lower part of `r` and in `sdiag`, carrying the rotations into the right-hand side.
void eliminate_damping_row(ColumnMatrix& r, std::size_t j, double e, std::span<double> sdiag,
                           std::span<double> rhs) {
  const std::size_t n = sdiag.size();
  std::fill(sdiag.begin() + static_cast<std::ptrdiff_t>(j), sdiag.end(), 0.0);
  sdiag[j] = e;
  // The damping rows have zero right-hand side; the rotations change only one extra entry.
  double extra_rhs = 0.0;
  for (std::size_t k = j; k < n; ++k) {
    if (sdiag[k] == 0.0) continue;
    const auto [cos, sin] = rotation_eliminating(r(k, k), sdiag[k]);
    r(k, k) = cos * r(k, k) + sin * sdiag[k];
    const double t = cos * rhs[k] + sin * extra_rhs;
    extra_rhs = -sin * rhs[k] + cos * extra_rhs;
    rhs[k] = t;
    for (std::size_t i = k + 1; i < n; ++i) {
      const double s = cos * r(i, k) + sin * sdiag[i];
      sdiag[i] = -sin * r(i, k) + cos * sdiag[i];
      r(i, k) = s;
    }
  }
}

// Back substitution with a triangle whose diagonal is `diagonal` and whose off-diagonal entry
// (row j, column i > j) is `upper(j, i)`; trailing singular rows give zero components (the
// least-squares solution of minimum norm in those coordinates). Solves in place in x.
template <class Upper>
void solve_upper_or_truncate(std::span<const double> diagonal, Upper upper, std::span<double> x) {
  const std::size_t n = x.size();
  std::size_t rank = n;
  for (std::size_t j = 0; j < n; ++j) {
    if (diagonal[j] == 0.0 && rank == n) rank = j;
    if (rank < n) x[j] = 0.0;
  }
  for (std::size_t j = rank; j-- > 0;) {
    double sum = 0.0;
    for (std::size_t i = j + 1; i < rank; ++i) sum += upper(j, i) * x[i];
    x[j] = (x[j] - sum) / diagonal[j];
  }
}

// Solves min ‖J p − r‖² + ‖E p‖² for the diagonal E = `e` (indexed like p): Givens rotations turn
// (R; Pᵀ E P) into (S; 0), leaving S's diagonal in `sdiag` and its strict upper triangle
// transposed below R's diagonal. R itself is left intact.
void solve_damped(Subproblem& sp, std::span<const double> e, std::span<double> p,
                  SubproblemWork& w) {
  const std::size_t n = sp.n();
  ColumnMatrix& r = sp.r;
  std::vector<double>& saved_diagonal = w.b;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j; i < n; ++i) r(i, j) = r(j, i);
    saved_diagonal[j] = r(j, j);
    w.solve[j] = sp.qtr[j];
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double ej = e[sp.pivots[j]];
    if (ej != 0.0) eliminate_damping_row(r, j, ej, w.sdiag, w.solve);
    w.sdiag[j] = r(j, j);
    r(j, j) = saved_diagonal[j];
  }
  solve_upper_or_truncate(
      w.sdiag, [&](std::size_t j, std::size_t i) { return r(i, j); }, std::span<double>(w.solve));
  for (std::size_t j = 0; j < n; ++j) p[sp.pivots[j]] = w.solve[j];
}

// ‖D p‖ for a step p, leaving D p in `scaled`.
double scaled_norm(std::span<const double> diag, std::span<const double> p,
                   std::span<double> scaled) {
  for (std::size_t j = 0; j < p.size(); ++j) scaled[j] = diag[j] * p[j];
  return euclidean_norm(scaled);
}

// The Gauss-Newton step (λ = 0): R⁻¹ Qᵀ r in pivoted order, truncated where R is singular.
// Returns whether R had full rank.
bool gauss_newton_step(Subproblem& sp, std::span<double> p, SubproblemWork& w) {
  const std::size_t n = sp.n();
  std::copy(sp.qtr.begin(), sp.qtr.end(), w.a.begin());
  std::vector<double>& rdiag = w.b;
  for (std::size_t j = 0; j < n; ++j) rdiag[j] = sp.r(j, j);
  solve_upper_or_truncate(
      rdiag, [&](std::size_t j, std::size_t i) { return sp.r(j, i); }, std::span<double>(w.a));
  for (std::size_t j = 0; j < n; ++j) p[sp.pivots[j]] = w.a[j];
  return std::none_of(rdiag.begin(), rdiag.end(), [](double d) { return d == 0.0; });
}

// The Newton correction to λ for 1/‖D p(λ)‖ = 1/Δ, an equation much closer to linear in λ than
// ‖D p(λ)‖ = Δ. With T the triangle that factorises the current damped system and
// y = T⁻ᵀ Pᵀ D (D p / ‖D p‖), d‖D p‖/dλ = −‖y‖² ‖D p‖, so the step is ((‖D p‖ − Δ) / Δ) / ‖y‖².
template <class LowerSolve>
double newton_correction(Subproblem& sp, std::span<const double> dp, double dp_norm, double fp,
                         double delta, SubproblemWork& w, LowerSolve solve_transposed) {
  for (std::size_t j = 0; j < sp.n(); ++j) {
    const std::size_t l = sp.pivots[j];
    w.a[j] = sp.diag[l] * (dp[l] / dp_norm);
  }
  solve_transposed(std::span<double>(w.a));
  const double norm = euclidean_norm(w.a);
  return ((fp / delta) / norm) / norm;
}

// Finds the damping λ ≥ 0 and step p of min ‖J p − r‖² + λ‖D p‖² with either λ = 0 and
// ‖D p‖ ≤ 1.1 Δ, or |‖D p‖ − Δ| ≤ 0.1 Δ, by a Newton iteration on ‖D p(λ)‖ − Δ kept inside a
// shrinking bracket [lower, upper]. `lambda` is the previous value, used as the first guess.
double damping_for_radius(Subproblem& sp, double delta, double lambda, std::span<double> p,
                          SubproblemWork& w) {
  const std::size_t n = sp.n();
  const double dwarf = kSmallestNormal;
  std::vector<double>& dp = w.dp;
  const bool full_rank = gauss_newton_step(sp, p, w);
  double dp_norm = scaled_norm(sp.diag, p, dp);
  double fp = dp_norm - delta;
  if (fp <= kRadiusTolerance * delta) return 0.0;

  // With R of full rank a Newton step from λ = 0 bounds the root from below.
  double lower = 0.0;
  if (full_rank) {
    lower = newton_correction(sp, dp, dp_norm, fp, delta, w, [&](std::span<double> y) {
      for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i < j; ++i) sum += sp.r(i, j) * y[i];
        y[j] = (y[j] - sum) / sp.r(j, j);
      }
    });
  }
  // ‖D⁻¹ Jᵀ r‖ / Δ bounds it from above.
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) sum += sp.r(i, j) * sp.qtr[i];
    w.a[j] = sum / sp.diag[sp.pivots[j]];
  }
  const double gradient_norm = euclidean_norm(w.a);
  double upper = gradient_norm / delta;
  if (upper == 0.0) upper = dwarf / std::min(delta, kRadiusTolerance);

  lambda = std::min(std::max(lambda, lower), upper);
  if (lambda == 0.0) lambda = gradient_norm / dp_norm;

  std::vector<double>& e = w.e;
  for (int iteration = 1;; ++iteration) {
    if (lambda == 0.0) lambda = std::max(dwarf, 0.001 * upper);
    const double root = std::sqrt(lambda);
    for (std::size_t j = 0; j < n; ++j) e[j] = root * sp.diag[j];
    solve_damped(sp, e, p, w);
    dp_norm = scaled_norm(sp.diag, p, dp);
    const double previous_fp = fp;
    fp = dp_norm - delta;
    if (std::fabs(fp) <= kRadiusTolerance * delta ||
        (lower == 0.0 && fp <= previous_fp && previous_fp < 0.0) ||
        iteration == kMaxDampingIterations) {
      return lambda;
    }
    const double correction =
        newton_correction(sp, dp, dp_norm, fp, delta, w, [&](std::span<double> y) {
          for (std::size_t j = 0; j < n; ++j) {
            y[j] /= w.sdiag[j];
            for (std::size_t i = j + 1; i < n; ++i) y[i] -= sp.r(i, j) * y[j];
          }
        });
    if (fp > 0.0) lower = std::max(lower, lambda);
    if (fp < 0.0) upper = std::min(upper, lambda);
    lambda = std::max(lower, lambda + correction);
  }
}

struct Reduction {
  double actual;     // 1 − (‖r⁺‖/‖r‖)², or −1 when the norm grew more than tenfold
  double predicted;  // by the damped linear model
  double directional;
  double ratio;  // actual / predicted
};

struct Stop {
  TerminationReason reason;
  std::string label;
};
using MaybeStop = std::optional<Stop>;

Stop numerical_failure(const char* quantity) {
  return {TerminationReason::NumericalFailure, quantity};
}

// One run of the solver: owns every iterate, factor and counter.
class Run {
 public:
  Run(const LocalProblem& problem, const LocalSolverSettings& settings)
      : problem_(problem),
        settings_(settings),
        n_(problem.start.size()),
        max_evaluations_(static_cast<std::size_t>(std::max(settings.patience, 1u)) * (n_ + 1)),
        u_(problem.start) {}

  LocalSolverReport solve() {
    if (n_ == 0) return report({TerminationReason::NoParameters, ""});
    if (MaybeStop stop = start()) return report(*stop);
    for (bool first = true;; first = false) {
      if (MaybeStop stop = factorise_jacobian()) return report(*stop);
      update_scaling(first);
      const double gnorm = gradient_norm();
      if (gnorm <= settings_.gtol) return report({TerminationReason::Orthogonal, ""});
      for (bool accepted = false; !accepted;) {
        if (MaybeStop stop = inner_iteration(gnorm, accepted)) return report(*stop);
      }
    }
  }

 private:
  MaybeStop start() {
    auto result = problem_.residuals(u_);
    ++evaluations_;
    if (!result.ok()) return Stop{TerminationReason::UserStop, result.error().message};
    r_ = std::move(result).value();
    m_ = r_.size();
    if (m_ == 0) return Stop{TerminationReason::NoResiduals, ""};
    fnorm_ = euclidean_norm(r_);
    if (!std::isfinite(fnorm_)) return numerical_failure("residuals norm");
    if (fnorm_ <= kSmallestNormal) return Stop{TerminationReason::ResidualsZero, ""};
    step_.resize(n_);
    scaled_.resize(n_);
    work_.resize(n_);
    return std::nullopt;
  }

  MaybeStop evaluate(std::span<const double> u, std::vector<double>& out) {
    auto result = problem_.residuals(u);
    ++evaluations_;
    if (!result.ok()) return Stop{TerminationReason::UserStop, result.error().message};
    if (result.value().size() != m_) return Stop{TerminationReason::WrongDimensions, "residuals"};
    out = std::move(result).value();
    return std::nullopt;
  }

  // J P = Q R at the current iterate, and Qᵀ r. Fewer residuals than parameters are padded with
  // zero rows so that R is square; that changes neither ‖r‖ nor JᵀJ.
  MaybeStop factorise_jacobian() {
    auto result = problem_.jacobian(u_);
    if (!result.ok()) return Stop{TerminationReason::UserStop, result.error().message};
    const std::vector<double>& jacobian = result.value();
    if (jacobian.size() != m_ * n_) return Stop{TerminationReason::WrongDimensions, "jacobian"};
    if (!all_finite(jacobian)) return numerical_failure("jacobian");
    // Every entry is written below: the padding rows as zeros, the others from the Jacobian.
    qr_.a.resize(std::max(m_, n_), n_);
    for (std::size_t j = 0; j < n_; ++j) {
      const std::span<double> padding = qr_.a.column(j, m_);
      std::fill(padding.begin(), padding.end(), 0.0);
    }
    for (std::size_t i = 0; i < m_; ++i) {
      for (std::size_t j = 0; j < n_; ++j) qr_.a(i, j) = jacobian[i * n_ + j];
    }
    factorise(qr_);
    if (!all_finite(qr_.column_norms)) return numerical_failure("jacobian");
    rotate_residuals(qr_, r_, qtr_);
    if (!all_finite(qtr_)) return numerical_failure("residuals");
    return std::nullopt;
  }

  // D starts as the column norms of the first Jacobian and only ever grows, so the trust region
  // keeps its shape when a column norm collapses.
  void update_scaling(bool first) {
    if (first) {
      diag_.assign(n_, 1.0);
      if (settings_.scale_diag) {
        for (std::size_t j = 0; j < n_; ++j) {
          if (qr_.column_norms[j] != 0.0) diag_[j] = qr_.column_norms[j];
        }
      }
      xnorm_ = scaled_norm(diag_, u_, scaled_);
      delta_ = xnorm_ == 0.0 ? settings_.stepbound : settings_.stepbound * xnorm_;
    } else if (settings_.scale_diag) {
      for (std::size_t j = 0; j < n_; ++j) diag_[j] = std::max(diag_[j], qr_.column_norms[j]);
    }
  }

  // The largest cosine between r and a non-zero column of J.
  double gradient_norm() const {
    double gnorm = 0.0;
    if (fnorm_ == 0.0) return gnorm;
    for (std::size_t j = 0; j < n_; ++j) {
      const double column_norm = qr_.column_norms[qr_.pivots[j]];
      if (column_norm == 0.0) continue;
      double sum = 0.0;
      for (std::size_t i = 0; i <= j; ++i) sum += qr_.a(i, j) * (qtr_[i] / fnorm_);
      gnorm = std::max(gnorm, std::fabs(sum / column_norm));
    }
    return gnorm;
  }

  // One trial step inside the current trust region; sets `accepted` when it is taken.
  MaybeStop inner_iteration(double gnorm, bool& accepted) {
    Subproblem sp{qr_.a, qr_.pivots, diag_, qtr_};
    lambda_ = damping_for_radius(sp, delta_, lambda_, step_, work_);
    if (!all_finite(step_)) return numerical_failure("subproblem x");
    const double pnorm = scaled_norm(diag_, step_, scaled_);
    if (!std::isfinite(pnorm)) return numerical_failure("subproblem ||Dp||");
    if (first_trial_) {
      delta_ = std::min(delta_, pnorm);
      first_trial_ = false;
    }
    trial_u_.resize(n_);
    for (std::size_t j = 0; j < n_; ++j) trial_u_[j] = u_[j] - step_[j];
    if (!all_finite(trial_u_)) return numerical_failure("new x");

    if (MaybeStop stop = evaluate(trial_u_, trial_r_)) return stop;
    const double trial_fnorm = euclidean_norm(trial_r_);
    if (!std::isfinite(trial_fnorm)) return numerical_failure("residuals norm");
    const Reduction reduction = reductions(pnorm, trial_fnorm);
    if (!std::isfinite(reduction.actual) || !std::isfinite(reduction.predicted) ||
        !std::isfinite(reduction.ratio)) {
      return numerical_failure("trust-region reduction");
    }
    update_radius(reduction, pnorm, trial_fnorm);

    accepted = reduction.ratio >= kAcceptRatio;
    if (accepted) {
      std::swap(u_, trial_u_);
      std::swap(r_, trial_r_);
      fnorm_ = trial_fnorm;
      xnorm_ = scaled_norm(diag_, u_, scaled_);
    }
    if (MaybeStop stop = convergence(reduction)) return stop;
    return limits(reduction, gnorm);
  }

  Reduction reductions(double pnorm, double trial_fnorm) {
    Reduction red{};
    red.actual = 0.1 * trial_fnorm < fnorm_ ? 1.0 - square(trial_fnorm / fnorm_) : -1.0;
    // ‖J p‖ = ‖R Pᵀ p‖, since Q is orthogonal.
    std::vector<double>& jp = work_.a;
    std::fill(jp.begin(), jp.end(), 0.0);
    for (std::size_t j = 0; j < n_; ++j) {
      const double pj = step_[qr_.pivots[j]];
      for (std::size_t i = 0; i <= j; ++i) jp[i] += qr_.a(i, j) * pj;
    }
    const double t1 = euclidean_norm(jp) / fnorm_;
    const double t2 = std::sqrt(lambda_) * pnorm / fnorm_;
    red.predicted = t1 * t1 + 2.0 * t2 * t2;
    red.directional = -(t1 * t1 + t2 * t2);
    red.ratio = red.predicted != 0.0 ? red.actual / red.predicted : 0.0;
    return red;
  }

  void update_radius(const Reduction& red, double pnorm, double trial_fnorm) {
    if (red.ratio <= 0.25) {
      double shrink =
          red.actual >= 0.0 ? 0.5 : 0.5 * red.directional / (red.directional + 0.5 * red.actual);
      if (0.1 * trial_fnorm >= fnorm_ || shrink < 0.1) shrink = 0.1;
      delta_ = shrink * std::min(delta_, 10.0 * pnorm);
      lambda_ /= shrink;
    } else if (lambda_ == 0.0 || red.ratio >= 0.75) {
      delta_ = 2.0 * pnorm;
      lambda_ *= 0.5;
    }
  }

  static bool reduction_within(const Reduction& red, double tolerance) {
    return std::fabs(red.actual) <= tolerance && red.predicted <= tolerance &&
           0.5 * red.ratio <= 1.0;
  }

  MaybeStop convergence(const Reduction& red) const {
    const bool by_ftol = reduction_within(red, settings_.ftol);
    const bool by_xtol = delta_ <= settings_.xtol * xnorm_;
    if (by_ftol && by_xtol) return Stop{TerminationReason::Converged, "ftol and xtol"};
    if (by_ftol) return Stop{TerminationReason::Converged, "ftol"};
    if (by_xtol) return Stop{TerminationReason::Converged, "xtol"};
    return std::nullopt;
  }

  MaybeStop limits(const Reduction& red, double gnorm) const {
    using enum TerminationReason;
    if (evaluations_ >= max_evaluations_) return Stop{LostPatience, ""};
    if (reduction_within(red, kEpsilon)) return Stop{NoImprovementPossible, "ftol"};
    if (delta_ <= kEpsilon * xnorm_) return Stop{NoImprovementPossible, "xtol"};
    if (gnorm <= kEpsilon) return Stop{NoImprovementPossible, "gtol"};
    return std::nullopt;
  }

  LocalSolverReport report(Stop stop) {
    return {std::move(u_), stop.reason, std::move(stop.label), evaluations_, 0.5 * fnorm_ * fnorm_};
  }

  const LocalProblem& problem_;
  const LocalSolverSettings& settings_;
  const std::size_t n_;
  const std::size_t max_evaluations_;
  std::size_t m_ = 0;
  std::size_t evaluations_ = 0;

  std::vector<double> u_, r_;
  double fnorm_ = std::numeric_limits<double>::quiet_NaN();
  double xnorm_ = 0.0;
  double delta_ = 0.0;
  double lambda_ = 0.0;
  bool first_trial_ = true;

  PivotedQr qr_;
  std::vector<double> qtr_, diag_;
  std::vector<double> step_, scaled_, trial_u_, trial_r_;
  SubproblemWork work_;
};

}  // namespace

bool is_success(TerminationReason reason) {
  return reason == TerminationReason::ResidualsZero || reason == TerminationReason::Orthogonal ||
         reason == TerminationReason::Converged;
}

std::string message(const SolverSetupError& error) {
  switch (error.kind) {
    case SolverSetupError::Kind::NegativeFtol:
      return "ftol must be >= 0";
    case SolverSetupError::Kind::NegativeXtol:
      return "xtol must be >= 0";
    case SolverSetupError::Kind::NegativeGtol:
      return "gtol must be >= 0";
  }
  return {};
}

std::optional<SolverSetupError> check_local_solver_settings(const LocalSolverSettings& settings) {
  using Kind = SolverSetupError::Kind;
  // Written as negated comparisons so that NaN fails them too.
  if (!(settings.ftol >= 0.0)) return SolverSetupError{Kind::NegativeFtol};
  if (!(settings.xtol >= 0.0)) return SolverSetupError{Kind::NegativeXtol};
  if (!(settings.gtol >= 0.0)) return SolverSetupError{Kind::NegativeGtol};
  return std::nullopt;
}

Result<LocalSolverReport, SolverSetupError> solve_local(const LocalProblem& problem,
                                                        const LocalSolverSettings& settings) {
  if (auto error = check_local_solver_settings(settings)) return fail(*error);
  return Run(problem, settings).solve();
}

}  // namespace movarin
