#include "models/guess.hpp"

#include <memory>
#include <string>
#include <utility>

#include "circuit/parse.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "models/weights_cache.hpp"
#include "nn/inference.hpp"

namespace movarin {
namespace {

struct ChosenModel {
  // Shared with the cache, so a model the cache lets go of stays alive for this guess.
  std::shared_ptr<const WeightModel> model;
  TopologyMatch match;
};

Result<ChosenModel, WeightError> stored_model(const SeriesList& circuit) {
  auto found = find_model(circuit);
  if (!found) return fail(WeightError::no_trained_model(model_list_text()));
  const auto model = found->entry->model();
  if (!model) return fail(WeightError::unparsable(message(model.error())));
  // Stored models live as long as the program; the pointer owns nothing.
  return ChosenModel{std::shared_ptr<const WeightModel>(std::shared_ptr<void>(), model.value()),
                     std::move(found->match)};
}

Result<ChosenModel, WeightError> user_model(const SeriesList& circuit, const std::string& path) {
  const UserTopology user = user_topology(circuit);
  std::optional<TopologyMatch> match;
  const auto model =
      weights_cache().lookup(path, [&](const WeightModel& model) -> std::optional<WeightError> {
        const auto trained_for = parse_circuit(model.circuit);
        if (!trained_for) {
          return WeightError::unparsable("circuit " + model.circuit + " in " + path);
        }
        match = match_user_topology(topology_key(trained_for.value()), user);
        if (!match) {
          return WeightError::unparsable(path + " was trained for " + model.circuit +
                                         ", which is a different circuit");
        }
        // The match indexes the circuit's parameters, the prediction has one value per name.
        const std::size_t parameters = param_count(trained_for.value());
        if (model.param_names.size() != parameters) {
          return WeightError::unparsable(
              "param_names (" + std::to_string(model.param_names.size()) + " names for the " +
              std::to_string(parameters) + " parameters of " + model.circuit + ")");
        }
        return std::nullopt;
      });
  if (!model) return fail(model.error());
  return ChosenModel{model.value(), std::move(*match)};
}

}  // namespace

Result<std::vector<double>, WeightError> guess_parameters(
    const SeriesList& circuit, const Spectrum& spectrum,
    const std::optional<std::string>& weights_path) {
  auto chosen = weights_path ? user_model(circuit, *weights_path) : stored_model(circuit);
  if (!chosen) return fail(chosen.error());
  const auto predicted = predict_parameters(*chosen.value().model, spectrum);
  if (!predicted) return fail(predicted.error());

  const TopologyMatch& match = chosen.value().match;
  std::vector<double> values(match.map.size());
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = predicted.value()[match.map[i]];
  if (match.rewritten) return collapse_abbreviated_values(circuit, values);
  return values;
}

}  // namespace movarin
