// Time of one machine-learning prediction (featurisation, network and output mapping) per model
// size, on random-weight files in the layout of the trained ones and a 50-point spectrum.
//
//   cmake -S . -B build/bench -DMOVARIN_BUILD_BENCH=ON -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_guess && build/bench/bench_guess

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "../tests/cpp/weight_file_builder.hpp"
#include "circuit/parse.hpp"
#include "nn/inference.hpp"

using namespace movarin;
using Clock = std::chrono::steady_clock;

namespace {

Spectrum rc_spectrum() {
  const SeriesList circuit = parse_circuit("R0-(R1,C1)").value();
  const SeriesList valued = with_values(circuit, std::vector<double>{10.0, 100.0, 1e-5}).value();
  Spectrum spectrum;
  for (int i = 0; i < 50; ++i) spectrum.frequencies.push_back(std::pow(10.0, -1.0 + 6.0 * i / 49));
  spectrum.impedances = impedance(valued, spectrum.frequencies);
  return spectrum;
}

// Best time per call over several rounds, in milliseconds.
template <class F>
double best_ms_per_call(F&& call, int calls_per_round) {
  double best = INFINITY;
  for (int round = 0; round < 10; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < calls_per_round; ++i) call();
    const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start;
    best = std::min(best, elapsed.count() / calls_per_round);
  }
  return best;
}

}  // namespace

int main() {
  const Spectrum spectrum = rc_spectrum();
  for (const std::uint32_t channels : {16u, 32u, 64u}) {
    test_support::RandomModel spec;
    spec.circuit = "R0-(R1,CPE1)-(R2-W2,CPE2)";
    spec.channels = channels;
    const auto model = parse_weight_file(test_support::random_model_file(spec)).value();
    volatile double sink = 0.0;
    const double ms =
        best_ms_per_call([&] { sink = sink + predict_parameters(model, spectrum).value()[0]; }, 20);
    std::printf("C = %2u: %.3f ms per prediction\n", channels, ms);
  }
}
