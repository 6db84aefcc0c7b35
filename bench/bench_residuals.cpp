// Residual and Jacobian timings of the Randles circuit from 50 points up, from C++: the Jacobian
// as central_jacobian computes it, column by column on this thread (as it was computed before it
// went block by block), and as two pool tasks of half the spectrum each. Where col/two is above 1
// the pool pays; kPoolWork in fit/residuals.hpp is chosen from this table.
//
//   cmake -S . -B build/bench -DMOVARIN_BUILD_BENCH=ON -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_residuals && build/bench/bench_residuals

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/residuals.hpp"
#include "runtime/worker_pool.hpp"

using namespace movarin;
using Clock = std::chrono::steady_clock;

namespace {

// Best time per call over several rounds, in nanoseconds.
template <class F>
double best_ns_per_call(F&& call, int calls_per_round) {
  double best = INFINITY;
  for (int round = 0; round < 15; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < calls_per_round; ++i) call();
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    best = std::min(best, elapsed.count() / calls_per_round);
  }
  return best;
}

// The same columns as central_jacobian, one after another on this thread, the old way: one
// residual vector per shifted parameter vector.
Matrix column_jacobian(const ResidualProblem& problem, const std::vector<double>& params) {
  Matrix jacobian{2 * problem.omega.size(), params.size(), {}};
  jacobian.data.assign(jacobian.rows * jacobian.cols, 0.0);
  for (std::size_t j = 0; j < params.size(); ++j) {
    const double h = jacobian_step(params[j]);
    auto plus = params, minus = params;
    plus[j] += h;
    minus[j] -= h;
    const auto r_plus = weighted_residuals(problem, plus).value();
    const auto r_minus = weighted_residuals(problem, minus).value();
    for (std::size_t k = 0; k < jacobian.rows; ++k) {
      jacobian.at(k, j) = (r_plus[k] - r_minus[k]) / (2.0 * h);
    }
  }
  return jacobian;
}

// central_jacobian with the spectrum cut in two halves, one per pool task: what the pool gives
// at sizes where central_jacobian itself stays on the calling thread.
Matrix halved_jacobian(const ResidualProblem& problem, const std::vector<double>& params) {
  const std::size_t n = problem.omega.size();
  const std::size_t half = (n / 2 + kEvaluationBlock - 1) / kEvaluationBlock * kEvaluationBlock;
  Matrix jacobian{2 * n, params.size(), {}};
  jacobian.data.resize(jacobian.rows * jacobian.cols);
  parallel_for(2, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t piece = first; piece < last; ++piece) {
      const std::size_t begin = piece == 0 ? 0 : half;
      const std::size_t count = piece == 0 ? half : n - half;
      const ResidualProblem part{problem.circuit,
                                 problem.omega.subspan(begin, count),
                                 problem.measured.subspan(begin, count),
                                 problem.weights.subspan(begin, count),
                                 problem.counter,
                                 problem.log_omega.subspan(begin, count)};
      const Matrix rows = central_jacobian(part, params).value();
      std::copy(rows.data.begin(), rows.data.end(),
                jacobian.data.begin() + static_cast<std::ptrdiff_t>(2 * begin * params.size()));
    }
  });
  return jacobian;
}

struct Spectrum {
  std::vector<double> omega, log_omega, weights;
  std::vector<Complex> measured;
};

Spectrum randles_spectrum(const SeriesList& circuit, const std::vector<double>& params,
                          std::size_t points) {
  Spectrum s;
  std::vector<double> frequencies(points);
  s.measured.resize(points);
  for (std::size_t i = 0; i < points; ++i) {
    frequencies[i] = std::pow(10.0, 5.0 - 7.0 * static_cast<double>(i) / (points - 1));
    const Complex z = impedance_with_values(circuit, params, frequencies[i] * kTwoPi).value();
    s.measured[i] = {z.re * 1.01, z.im * 0.99};
  }
  s.omega = angular_frequencies(frequencies);
  s.log_omega = log_angular_frequencies(s.omega);
  s.weights = weights_for(s.measured, WeightScheme::Modulus);
  return s;
}

}  // namespace

int main() {
  const SeriesList circuit = parse_circuit("R0-(R1-W1,CPE1)").value();
  const std::vector<double> params = {12.0, 85.0, 40.0, 2.2e-5, 0.87};
  constexpr double kElements = 4.0;
  EvaluationCounter counter;
  worker_count();  // start the pool outside the timings

  std::printf("Randles R0-(R1-W1,CPE1), 5 parameters, %zu pool workers; best of 15 rounds\n",
              worker_count());
  std::printf("%7s %11s %9s %11s %11s %11s %9s %9s\n", "points", "residuals", "ns/pt/el",
              "jacobian", "by columns", "two tasks", "col/jac", "col/two");
  for (const std::size_t points : {50, 100, 200, 400, 800, 1600, 3200, 12800}) {
    const Spectrum s = randles_spectrum(circuit, params, points);
    const ResidualProblem problem{circuit, s.omega, s.measured, s.weights, counter, s.log_omega};
    const int calls = static_cast<int>(std::max<std::size_t>(2, 200000 / points / 5));
    const double residual_ns =
        best_ns_per_call([&] { (void)weighted_residuals(problem, params); }, 5 * calls);
    const double jacobian_ns =
        best_ns_per_call([&] { (void)central_jacobian(problem, params); }, calls);
    const double column_ns =
        best_ns_per_call([&] { (void)column_jacobian(problem, params); }, calls);
    const double halved_ns =
        best_ns_per_call([&] { (void)halved_jacobian(problem, params); }, calls);
    const Matrix reference = central_jacobian(problem, params).value();
    if (reference.data != column_jacobian(problem, params).data ||
        reference.data != halved_jacobian(problem, params).data) {
      std::printf("the Jacobians differ at %zu points\n", points);
      return 1;
    }
    std::printf("%7zu %9.0fns %9.1f %9.0fns %9.0fns %9.0fns %9.2f %9.2f\n", points, residual_ns,
                residual_ns / static_cast<double>(points) / kElements, jacobian_ns, column_ns,
                halved_ns, column_ns / jacobian_ns, column_ns / halved_ns);
  }
  return 0;
}
