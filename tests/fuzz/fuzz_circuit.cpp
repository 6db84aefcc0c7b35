// Coverage-guided fuzzing of the circuit grammar and of name-keyed values: the input's first line
// is a circuit string (or a built-in name); each later line "key=number" is one value for
// with_named_values. Every circuit that parses is evaluated with placeholder and with the named
// values. Any crash, sanitizer report or names that change with the values is a bug.
// Build as the weight-file fuzzer (its source says how) and run:
//
//   cmake --build build/fuzz --target fuzz_circuit -j2
//   mkdir -p /tmp/circuit_corpus
//   build/fuzz/fuzz_circuit -max_total_time=3600 -max_len=256 /tmp/circuit_corpus
//
// The seeds (the built-in circuits and a few odd strings) are written into the corpus folder.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "circuit/parse.hpp"
#include "circuit/tree.hpp"

using namespace movarin;

namespace {

std::vector<std::pair<std::string, double>> named_values(std::string_view rest) {
  std::vector<std::pair<std::string, double>> values;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const std::size_t equals = line.find('=');
    const std::string number(line.substr(equals == std::string_view::npos ? line.size()
                                                                          : equals + 1));
    values.emplace_back(std::string(line.substr(0, equals)), std::strtod(number.c_str(), nullptr));
  }
  return values;
}

void evaluate(const SeriesList& circuit) {
  volatile double sink = 0.0;
  for (const double f : {1e-3, 1.0, 1e6}) {
    const Complex z = stored_impedance(circuit, f * kTwoPi);
    sink = sink + z.re + z.im;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string argument = (*argv)[i];
    if (argument.empty() || argument[0] == '-') continue;
    std::vector<std::string> seeds = {"R0-(R1,C1)\nR0=5\nR1=1e3\nC1=1e-6", "rc\nR9=1",
                                      "(C1,(R2,La3))-Zarc4\nZarc4.r=2", "R0-p(R1,C1)", "R0--"};
    for (const BuiltinCircuit& builtin : kBuiltinCircuits) seeds.emplace_back(builtin.circuit);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
      std::ofstream(argument + "/seed_" + std::to_string(k)) << seeds[k];
    }
    break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t end = input.find('\n');
  const std::string_view text = input.substr(0, end);
  const auto circuit = circuit_from_text(text);
  if (!circuit) return 0;  // the message was formatted, caret block and all
  evaluate(circuit.value());
  (void)nesting_depth(circuit.value());
  const std::vector<std::string> names = param_names(circuit.value());
  if (names.size() != param_count(circuit.value()) ||
      param_values(circuit.value()).size() != names.size() ||
      param_bounds(circuit.value()).size() != names.size()) {
    __builtin_trap();
  }
  if (end == std::string_view::npos) return 0;
  const auto rebuilt = with_named_values(circuit.value(), named_values(input.substr(end + 1)));
  if (!rebuilt) {
    (void)message(rebuilt.error());
    return 0;
  }
  evaluate(rebuilt.value());
  if (param_names(rebuilt.value()) != names) __builtin_trap();
  return 0;
}
