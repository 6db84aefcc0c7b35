#include "models/registry.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "circuit/parse.hpp"
#include "runtime/text.hpp"
#include "models/embedded_weights.hpp"

namespace movarin {
namespace {

std::optional<std::span<const std::uint8_t>> embedded_weights(std::string_view name) {
  const auto files = embedded_weight_files();
  const auto found = std::find_if(files.begin(), files.end(),
                                  [&](const EmbeddedFile& file) { return file.name == name; });
  if (found == files.end()) return std::nullopt;
  return found->bytes;
}

template <std::size_t... I>
std::array<RegistryEntry, sizeof...(I)> make_registry(std::index_sequence<I...>) {
  return {RegistryEntry(kBuiltinCircuits[I].name, kBuiltinCircuits[I].circuit)...};
}

const std::array<RegistryEntry, kBuiltinCircuits.size()>& registry() {
  static const auto entries = make_registry(std::make_index_sequence<kBuiltinCircuits.size()>());
  return entries;
}

// Each entry's topology, or nothing for a circuit string that does not parse.
const std::vector<std::optional<Topology>>& registry_topologies() {
  static const auto topologies = [] {
    std::vector<std::optional<Topology>> keys;
    for (const RegistryEntry& entry : registry()) {
      const auto circuit = parse_circuit(entry.circuit());
      keys.push_back(circuit ? std::optional(topology_key(circuit.value())) : std::nullopt);
    }
    return keys;
  }();
  return topologies;
}

}  // namespace

Result<const WeightModel*, WeightError> RegistryEntry::model() const {
  std::call_once(prepared_,
                 [&] { slot_.emplace(prepare_model(name_, circuit_, embedded_weights(name_))); });
  if (!slot_->ok()) return fail(slot_->error());
  return &slot_->value();
}

std::span<const RegistryEntry> model_registry() {
  return registry();
}

Result<WeightModel, WeightError> prepare_model(std::string_view name, std::string_view circuit,
                                               std::optional<std::span<const std::uint8_t>> bytes) {
  const std::string entry_name(name), entry_circuit(circuit);
  if (!bytes) {
    return fail(WeightError::unparsable("model " + entry_name + " is not available in this build"));
  }
  auto model = parse_weight_file(*bytes);
  if (!model) return fail(model.error());
  if (model.value().circuit != circuit) {
    return fail(WeightError::unparsable("model " + entry_name + " is registered as " +
                                        entry_circuit + " but its weights were trained for " +
                                        model.value().circuit));
  }
  const auto parsed = parse_circuit(circuit);
  if (!parsed) return fail(WeightError::unparsable("registry circuit " + entry_circuit));
  const std::vector<std::string> expected = param_names(parsed.value());
  if (model.value().param_names != expected) {
    return fail(WeightError::unparsable("model " + entry_name + " has parameters " +
                                        quote_list(model.value().param_names) + ", expected " +
                                        quote_list(expected)));
  }
  return model;
}

std::optional<ModelMatch> find_model(const SeriesList& user) {
  const UserTopology topology = user_topology(user);
  const auto& keys = registry_topologies();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!keys[i]) continue;
    if (auto match = match_user_topology(*keys[i], topology)) {
      return ModelMatch{&registry()[i], std::move(*match)};
    }
  }
  return std::nullopt;
}

std::string model_list_text() {
  std::string text;
  for (const RegistryEntry& entry : registry()) {
    if (!text.empty()) text += ", ";
    text += '\'';
    text += entry.name();
    text += '\'';
  }
  return text;
}

}  // namespace movarin
