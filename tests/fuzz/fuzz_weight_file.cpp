// Coverage-guided fuzzing of untrusted weight files: every input is parsed, checked and, when it
// parses, run through a whole prediction on a small spectrum, and its circuit through topology
// matching. Any crash, sanitizer report or out-of-range access is a bug.
//
// The corpus is not kept: at start-up the harness writes small valid files of several shapes and
// encodings into the corpus folder, which libFuzzer then mutates. Build with clang and run:
//
//   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
//     -DMOVARIN_BUILD_FUZZ=ON -DMOVARIN_BUILD_TESTS=OFF -DMOVARIN_BUILD_MODULE=OFF
//   cmake --build build/fuzz --target fuzz_weight_file -j2
//   mkdir -p /tmp/ovrel_corpus
//   build/fuzz/fuzz_weight_file -runs=1000000 -max_len=4096 /tmp/ovrel_corpus
//
// Adding weights/ as a second corpus folder also mutates the stored files (cut to -max_len).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "../cpp/weight_file_builder.hpp"
#include "circuit/parse.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "nn/inference.hpp"
#include "nn/weight_file.hpp"

using namespace movarin;

namespace {

// Capacitive, purely resistive with repeated frequencies, inductive with a NaN point, and two
// points in descending order; the input's length picks one.
const Spectrum& small_spectrum(std::size_t pick) {
  static const std::vector<Spectrum> spectra = [] {
    Spectrum rc;
    rc.frequencies = {0.1, 1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 0.5};
    for (const double f : rc.frequencies) {
      const double w = 6.283185307179586 * f;
      rc.impedances.push_back(
          {10.0 + 100.0 / (1.0 + w * w * 1e-6), -100.0 * w * 1e-3 / (1.0 + w * w * 1e-6)});
    }
    const Spectrum resistive{{5.0, 5.0, 50.0, -1.0}, {{3, 0}, {2, 0}, {1, 0}, {0, 0}}};
    const Spectrum inductive{{1.0, std::nan(""), 100.0}, {{1, 1}, {2, 5}, {std::nan(""), 1}}};
    const Spectrum two{{1e4, 1.0}, {{1, -1}, {5, -20}}};
    return std::vector<Spectrum>{rc, resistive, inductive, two};
  }();
  return spectra[pick % spectra.size()];
}

std::vector<std::vector<std::uint8_t>> seeds() {
  std::vector<std::vector<std::uint8_t>> files;
  const struct {
    const char* circuit;
    std::uint32_t channels, n_grid, kernel, groups;
    std::vector<std::uint32_t> dilations;
  } shapes[] = {
      {"R0-(R1,C1)", 4, 8, 3, 2, {1, 2}},
      {"R0-(R1,CPE1)", 2, 4, 5, 1, {1}},
      {"L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)", 3, 5, 2, 4, {3}},
      {"R0-K1", 1, 1, 1, 1, {0}},
  };
  for (const auto& shape : shapes) {
    test_support::RandomModel spec;
    spec.circuit = shape.circuit;
    spec.channels = shape.channels;
    spec.n_grid = shape.n_grid;
    spec.kernel = shape.kernel;
    spec.groups = shape.groups;
    spec.dilations = shape.dilations;
    files.push_back(test_support::random_model_file(spec));
  }
  // Every encoding in one file, and a file with output tables only.
  test_support::WeightFileBuilder mixed =
      test_support::random_model_builder({"R0-(R1,C1)", 2, 4, 3, 2, {1}, 9});
  mixed.raw_tensor("w.stem.bias", 2, {2}, {0, 0, 0x80, 0x3F, 0x7F, 0x81})
      .tensor("w.head.4.bias", {6}, {0.5, -0.5, 1e30, 0, 0, 0});
  files.push_back(mixed.bytes());
  test_support::WeightFileBuilder tables;
  tables.header("circuit", "R0")
      .header("param_names", "R0.r")
      .header("estimator", "reactive_centroid");
  tables.tensor("target_mean", {1}, {0})
      .tensor("target_std", {1}, {1})
      .tensor("log_params", {1}, {1});
  tables.tensor("scaling", {1, 4}, {1, 0, 0, -1});
  files.push_back(tables.bytes());
  return files;
}

}  // namespace

// Writes the seeds into the first corpus folder named on the command line.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string argument = (*argv)[i];
    if (argument.empty() || argument[0] == '-') continue;
    const auto files = seeds();
    for (std::size_t k = 0; k < files.size(); ++k) {
      std::ofstream(argument + "/seed_" + std::to_string(k) + ".ovrel", std::ios::binary)
          .write(reinterpret_cast<const char*>(files[k].data()),
                 static_cast<std::streamsize>(files[k].size()));
    }
    break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto model = parse_weight_file(std::span<const std::uint8_t>(data, size));
  if (!model) {
    (void)message(model.error());
    return 0;
  }
  const auto predicted = predict_parameters(model.value(), small_spectrum(size));
  if (predicted) {
    volatile double sink = 0.0;
    for (const double v : predicted.value()) sink = sink + v;
  }
  const auto circuit = parse_circuit(model.value().circuit);
  if (circuit) {
    const Topology topology = topology_key(circuit.value());
    const auto match = match_user_topology(topology, user_topology(circuit.value()));
    if (!match || match->map.size() != param_count(circuit.value())) __builtin_trap();
    (void)find_model(circuit.value());
  }
  return 0;
}
