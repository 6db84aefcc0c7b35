// Time of one machine-learning guess (featurisation, network and output mapping) for every stored
// model on a 50-point spectrum of its own circuit, and per model size on random-weight files in
// the layout of the trained ones.
//
//   cmake -S . -B build/bench -DMOVARIN_BUILD_BENCH=ON -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/bench --target bench_guess && build/bench/bench_guess
//
// Each line reads "<label> <microseconds>". With a second binary built from another commit,
//   bench_guess --against <other bench_guess>
// runs both in turn several times and prints the median time of each and their ratio
// (this one / the other), so that both are measured on the same machine in the same minute.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "../tests/cpp/weight_file_builder.hpp"
#include "circuit/parse.hpp"
#include "models/guess.hpp"
#include "nn/inference.hpp"

using namespace movarin;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<double> log_spaced_frequencies() {
  std::vector<double> f;
  for (int i = 0; i < 50; ++i) f.push_back(std::pow(10.0, -1.0 + 6.0 * i / 49));
  return f;
}

// A value typical of the parameter's kind, so that the spectrum has the circuit's features in
// the measured band.
double typical_value(const std::string& name) {
  const std::string kind = name.substr(name.find('.') + 1);
  if (kind == "c" || kind == "q") return 1e-5;
  if (kind == "l") return 1e-6;
  if (kind == "alpha") return 0.85;
  if (kind == "tau") return 1.0;
  return name.front() == 'R' && name[1] == '0' ? 10.0 : 100.0;
}

Spectrum spectrum_of(const SeriesList& circuit) {
  std::vector<double> values;
  for (const std::string& name : param_names(circuit)) values.push_back(typical_value(name));
  const SeriesList valued = with_values(circuit, values).value();
  Spectrum spectrum;
  spectrum.frequencies = log_spaced_frequencies();
  spectrum.impedances = impedance(valued, spectrum.frequencies);
  return spectrum;
}

// Best time per call over several rounds, in microseconds.
template <class F>
double best_us_per_call(F&& call, int calls_per_round) {
  double best = INFINITY;
  for (int round = 0; round < 10; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < calls_per_round; ++i) call();
    const std::chrono::duration<double, std::micro> elapsed = Clock::now() - start;
    best = std::min(best, elapsed.count() / calls_per_round);
  }
  return best;
}

void time_stored_models() {
  for (const BuiltinCircuit& builtin : kBuiltinCircuits) {
    const SeriesList circuit = parse_circuit(builtin.circuit).value();
    const Spectrum spectrum = spectrum_of(circuit);
    volatile double sink = 0.0;
    const double us = best_us_per_call(
        [&] { sink = sink + guess_parameters(circuit, spectrum, std::nullopt).value()[0]; }, 20);
    std::printf("%s %.1f\n", std::string(builtin.name).c_str(), us);
  }
}

void time_random_models() {
  const Spectrum spectrum = spectrum_of(parse_circuit("R0-(R1,C1)").value());
  for (const std::uint32_t channels : {16u, 32u, 64u}) {
    test_support::RandomModel spec;
    spec.circuit = "R0-(R1,CPE1)-(R2-W2,CPE2)";
    spec.channels = channels;
    const auto model = parse_weight_file(test_support::random_model_file(spec)).value();
    volatile double sink = 0.0;
    const double us =
        best_us_per_call([&] { sink = sink + predict_parameters(model, spectrum).value()[0]; }, 20);
    std::printf("random_C%u %.1f\n", channels, us);
  }
}

// "<label> <microseconds>" lines of one run of `binary`.
std::map<std::string, double> run_and_read(const std::string& binary) {
  std::map<std::string, double> times;
  FILE* pipe = popen(binary.c_str(), "r");
  if (pipe == nullptr) return times;
  char label[64];
  double us = 0.0;
  while (std::fscanf(pipe, "%63s %lf", label, &us) == 2) times[label] = us;
  pclose(pipe);
  return times;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int compare(const std::string& self, const std::string& other) {
  constexpr int kRuns = 5;
  std::map<std::string, std::vector<double>> ours, theirs;
  std::vector<std::string> order;
  for (int run = 0; run < kRuns; ++run) {
    for (const auto& [label, us] : run_and_read(other)) theirs[label].push_back(us);
    const auto times = run_and_read(self);
    if (order.empty()) {
      for (const BuiltinCircuit& builtin : kBuiltinCircuits) order.emplace_back(builtin.name);
      for (const char* size : {"random_C16", "random_C32", "random_C64"}) order.emplace_back(size);
    }
    for (const auto& [label, us] : times) ours[label].push_back(us);
  }
  std::printf("%-16s %12s %12s %8s\n", "model", "this (us)", "other (us)", "ratio");
  for (const std::string& label : order) {
    if (ours[label].empty() || theirs[label].empty()) continue;
    const double a = median(ours[label]), b = median(theirs[label]);
    std::printf("%-16s %12.1f %12.1f %8.3f\n", label.c_str(), a, b, a / b);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--against") return compare(argv[0], argv[2]);
  time_stored_models();
  time_random_models();
}
