// Residual and Jacobian timings of the Randles circuit at 50 points, from C++.
//
//   cmake -S . -B build/bench -DMOVARIN_BUILD_BENCH=ON -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_residuals && build/bench/bench_residuals

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

// The same columns as central_jacobian, one after another on this thread.
Matrix inline_jacobian(const ResidualProblem& problem, const std::vector<double>& params) {
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

}  // namespace

int main() {
  const SeriesList circuit = parse_circuit("R0-(R1-W1,CPE1)").value();
  const std::vector<double> params = {12.0, 85.0, 40.0, 2.2e-5, 0.87};
  constexpr std::size_t kPoints = 50;
  constexpr double kElements = 4.0;
  std::vector<double> frequencies(kPoints);
  std::vector<Complex> measured(kPoints);
  for (std::size_t i = 0; i < kPoints; ++i) {
    frequencies[i] = std::pow(10.0, 5.0 - 7.0 * static_cast<double>(i) / (kPoints - 1));
    const Complex z = impedance_with_values(circuit, params, frequencies[i] * kTwoPi).value();
    measured[i] = {z.re * 1.01, z.im * 0.99};
  }
  const std::vector<double> omega = angular_frequencies(frequencies);
  const std::vector<double> weights = weights_for(measured, WeightScheme::Modulus);
  EvaluationCounter counter;
  const ResidualProblem problem{circuit, omega, measured, weights, counter};

  worker_count();  // start the pool outside the timings
  const double residual_ns =
      best_ns_per_call([&] { (void)weighted_residuals(problem, params); }, 20000);
  const double pool_ns = best_ns_per_call([&] { (void)central_jacobian(problem, params); }, 2000);
  const double inline_ns = best_ns_per_call([&] { (void)inline_jacobian(problem, params); }, 2000);
  if (central_jacobian(problem, params).value().data != inline_jacobian(problem, params).data) {
    std::printf("pool and inline Jacobians differ\n");
    return 1;
  }

  std::printf("Randles R0-(R1-W1,CPE1), %zu points, %zu pool workers\n", kPoints, worker_count());
  std::printf("  residual vector         %9.0f ns  (%.1f ns per point per element)\n", residual_ns,
              residual_ns / kPoints / kElements);
  std::printf("  Jacobian (5 columns), pool    %9.0f ns\n", pool_ns);
  std::printf("  Jacobian (5 columns), inline  %9.0f ns  (pool / inline = %.2f)\n", inline_ns,
              pool_ns / inline_ns);
  return 0;
}
