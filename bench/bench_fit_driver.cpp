// Fit timings from C++: the local method on "randles" and "two_rq" from starts within a factor of
// 2 of the truth, and the global methods at their default settings on "randles".
//
//   cmake -S . -B build/bench -DMOVARIN_BUILD_BENCH=ON -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_fit_driver && build/bench/bench_fit_driver

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "circuit/parse.hpp"
#include "fit/fit.hpp"
#include "runtime/worker_pool.hpp"

using namespace movarin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kPoints = 50;

struct Problem {
  SeriesList circuit;
  std::vector<double> truth;
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

// Noiseless, 50 log-spaced points from 100 kHz down to 0.1 Hz.
Problem make_problem(std::string_view name, std::vector<double> truth) {
  Problem problem{circuit_from_text(name).value(), std::move(truth), {}, {}};
  for (std::size_t i = 0; i < kPoints; ++i) {
    const double f = std::pow(10.0, 5.0 - 6.0 * static_cast<double>(i) / (kPoints - 1));
    problem.frequencies.push_back(f);
    problem.impedances.push_back(
        impedance_with_values(problem.circuit, problem.truth, f * kTwoPi).value());
  }
  return problem;
}

// Every open-ended parameter scaled by a factor drawn log-uniformly from [1/2, 2].
std::vector<double> perturbed_start(const Problem& problem, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> exponent(-1.0, 1.0);
  const std::vector<Bounds> bounds = param_bounds(problem.circuit);
  std::vector<double> start = problem.truth;
  for (std::size_t j = 0; j < start.size(); ++j) {
    if (is_open_bound(bounds[j].hi)) start[j] *= std::pow(2.0, exponent(rng));
  }
  return start;
}

bool reached_truth(const FitOutcome& outcome, const std::vector<double>& truth) {
  for (std::size_t j = 0; j < truth.size(); ++j) {
    if (!(std::fabs(outcome.params[j] / truth[j] - 1.0) < 1e-4)) return false;
  }
  return true;
}

void bench_local(std::string_view name, std::vector<double> truth) {
  const Problem problem = make_problem(name, std::move(truth));
  std::mt19937_64 rng(20261208);
  constexpr int kFits = 200;
  double total_us = 0.0;
  std::uint64_t evaluations = 0;
  int recovered = 0;
  for (int i = 0; i < kFits; ++i) {
    const SeriesList start = with_values(problem.circuit, perturbed_start(problem, rng)).value();
    const auto begin = Clock::now();
    const auto outcome = run_fit(start, problem.frequencies, problem.impedances, FitSettings{});
    total_us += std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    evaluations += outcome.value().impedance_evals;
    recovered += reached_truth(outcome.value(), problem.truth) ? 1 : 0;
  }
  std::printf("  %-16.*s %8.0f us per fit  %6.1f residual evaluations  %3d/%d at the truth\n",
              static_cast<int>(name.size()), name.data(), total_us / kFits,
              static_cast<double>(evaluations) / kFits, recovered, kFits);
}

void bench_global(const Problem& problem, const char* method) {
  FitSettings settings;
  settings.method = method;
  settings.seed = 1;
  const SeriesList start = circuit_from_text("randles").value();  // placeholder values
  const auto begin = Clock::now();
  const auto outcome = run_fit(start, problem.frequencies, problem.impedances, settings);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  std::printf(
      "  %-24s %9.1f ms  cost %-10.3g %s\n", method, ms, outcome.value().cost,
      reached_truth(outcome.value(), problem.truth) ? "global minimum" : "NOT the global minimum");
}

}  // namespace

int main() {
  worker_count();  // start the pool outside the timings
  std::printf("levenberg_marquardt, %zu points, starts within a factor of 2 of the truth\n",
              kPoints);
  bench_local("randles", {12.0, 85.0, 40.0, 2.2e-5, 0.87});
  bench_local("two_rq", {5.0, 50.0, 2e-6, 0.9, 200.0, 1e-3, 0.75});

  std::printf("global methods at default settings on randles, from placeholder values\n");
  const Problem randles = make_problem("randles", {12.0, 85.0, 40.0, 2.2e-5, 0.87});
  for (const char* method : {"particle_swarm", "differential_evolution", "nelder_mead",
                             "simulated_annealing", "basin_hopping"}) {
    bench_global(randles, method);
  }
  return 0;
}
