#pragma once
// The stored models, one per built-in circuit, and the search for the one that serves a circuit.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "circuit/tree.hpp"
#include "models/topology.hpp"
#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

class RegistryEntry {
 public:
  RegistryEntry(std::string_view name, std::string_view circuit) : name_(name), circuit_(circuit) {}
  RegistryEntry(const RegistryEntry&) = delete;
  RegistryEntry& operator=(const RegistryEntry&) = delete;

  std::string_view name() const { return name_; }
  std::string_view circuit() const { return circuit_; }

  // The checked model, or why the entry cannot serve. Prepared by the first caller while any
  // others wait, then kept for the life of the process.
  Result<const WeightModel*, WeightError> model() const;

 private:
  std::string_view name_;
  std::string_view circuit_;
  mutable std::once_flag prepared_;
  mutable std::optional<Result<WeightModel, WeightError>> slot_;
};

// The eleven entries, in the order of the built-in circuit names.
std::span<const RegistryEntry> model_registry();

// An entry's checks on its file: it parses, it was trained for the entry's circuit, and its
// parameter names are that circuit's. `bytes` is empty when the build holds no file for the entry.
Result<WeightModel, WeightError> prepare_model(std::string_view name, std::string_view circuit,
                                               std::optional<std::span<const std::uint8_t>> bytes);

// The first entry, in registry order, whose circuit matches.
struct ModelMatch {
  const RegistryEntry* entry;
  TopologyMatch match;
};
std::optional<ModelMatch> find_model(const SeriesList& user);

// 'rc', 'rc_l', ... in registry order.
std::string model_list_text();

}  // namespace movarin
