#include "models/topology.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace movarin {
namespace {

// Sorted bytewise and stably, so that equal keys keep their written order.
Topology combine(std::vector<Topology> items, char open, char close) {
  std::stable_sort(items.begin(), items.end(),
                   [](const Topology& a, const Topology& b) { return a.key < b.key; });
  Topology combined{std::string(1, open), {}};
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) combined.key += ',';
    combined.key += items[i].key;
    combined.leaves.insert(combined.leaves.end(), items[i].leaves.begin(), items[i].leaves.end());
  }
  combined.key += close;
  return combined;
}

Topology series_topology(const SeriesList& series, std::size_t& next_start);

Topology part_topology(const Part& part, std::size_t& next_start) {
  if (const auto* element = std::get_if<Part::Element>(&part.node)) {
    const KindInfo& info = kind_info(element->element.kind);
    Topology leaf{std::string(info.name), {{next_start, info.param_count}}};
    next_start += info.param_count;
    return leaf;
  }
  std::vector<Topology> branches;
  for (const SeriesList& branch : std::get<Part::Circuit>(part.node).branches) {
    branches.push_back(series_topology(branch, next_start));
  }
  return combine(std::move(branches), '(', ')');
}

// Parameter starts are handed out in written order, before the items are sorted.
Topology series_topology(const SeriesList& series, std::size_t& next_start) {
  std::vector<Topology> items;
  items.reserve(series.size());
  for (const Part& part : series) items.push_back(part_topology(part, next_start));
  return combine(std::move(items), '[', ']');
}

Element with_leading_values(ElementKind kind, std::initializer_list<double> values) {
  Element element = placeholder_element(kind);
  std::copy(values.begin(), values.end(), element.values.begin());
  return element;
}

// Two branches of one unlabelled element each.
Part::Circuit parallel_pair(const Element& first, const Element& second) {
  Part::Circuit group;
  group.branches.resize(2);
  group.branches[0].emplace_back().node.emplace<Part::Element>().element = first;
  group.branches[1].emplace_back().node.emplace<Part::Element>().element = second;
  return group;
}

SeriesList expand_series(const SeriesList& series, bool& rewritten) {
  SeriesList expanded(series.size());
  for (std::size_t i = 0; i < series.size(); ++i) {
    auto& node = expanded[i].node;
    if (const auto* group = std::get_if<Part::Circuit>(&series[i].node)) {
      auto& branches = node.emplace<Part::Circuit>().branches;
      for (const SeriesList& branch : group->branches) {
        branches.push_back(expand_series(branch, rewritten));
      }
      continue;
    }
    const auto& original = std::get<Part::Element>(series[i].node);
    const Element& element = original.element;
    if (element.kind == ElementKind::K) {
      const double r = element.values[0], tau_k = element.values[1];
      node = parallel_pair(with_leading_values(ElementKind::R, {r}),
                           with_leading_values(ElementKind::C, {tau_k / r}));
      rewritten = true;
    } else if (element.kind == ElementKind::Zarc) {
      const double r = element.values[0], tau_k = element.values[1], gamma = element.values[2];
      node =
          parallel_pair(with_leading_values(ElementKind::R, {r}),
                        with_leading_values(ElementKind::Cpe, {std::pow(tau_k, gamma) / r, gamma}));
      rewritten = true;
    } else {
      node = original;
    }
  }
  return expanded;
}

void collapse_series(const SeriesList& series, const double*& cursor, std::vector<double>& out) {
  for (const Part& part : series) {
    if (const auto* group = std::get_if<Part::Circuit>(&part.node)) {
      for (const SeriesList& branch : group->branches) collapse_series(branch, cursor, out);
      continue;
    }
    const ElementKind kind = std::get<Part::Element>(part.node).element.kind;
    if (kind == ElementKind::K) {
      const double r = cursor[0], c = cursor[1];
      out.insert(out.end(), {r, r * c});
      cursor += 2;
    } else if (kind == ElementKind::Zarc) {
      const double r = cursor[0], q = cursor[1], alpha = cursor[2];
      out.insert(out.end(), {r, std::pow(r * q, 1.0 / std::max(alpha, 1e-6)), alpha});
      cursor += 3;
    } else {
      const std::size_t count = kind_info(kind).param_count;
      out.insert(out.end(), cursor, cursor + count);
      cursor += count;
    }
  }
}

}  // namespace

Topology topology_key(const SeriesList& series) {
  std::size_t next_start = 0;
  return series_topology(series, next_start);
}

std::optional<ParameterMap> match_topology(const Topology& model, const Topology& user) {
  if (model.key != user.key) return std::nullopt;
  std::size_t parameters = 0;
  for (const TopologyLeaf& leaf : user.leaves) parameters += leaf.count;
  ParameterMap map(parameters);
  for (std::size_t i = 0; i < user.leaves.size(); ++i) {
    for (std::size_t j = 0; j < user.leaves[i].count; ++j) {
      map[user.leaves[i].start + j] = model.leaves[i].start + j;
    }
  }
  return map;
}

std::optional<ParameterMap> match_topology(const SeriesList& model, const SeriesList& user) {
  return match_topology(topology_key(model), topology_key(user));
}

Expansion expand_abbreviations(const SeriesList& series) {
  bool rewritten = false;
  SeriesList circuit = expand_series(series, rewritten);
  return {std::move(circuit), rewritten};
}

UserTopology user_topology(const SeriesList& user) {
  UserTopology topology{topology_key(user), std::nullopt};
  Expansion expansion = expand_abbreviations(user);
  if (expansion.rewritten) topology.expanded = topology_key(expansion.circuit);
  return topology;
}

std::optional<TopologyMatch> match_user_topology(const Topology& model, const UserTopology& user) {
  if (auto map = match_topology(model, user.as_written))
    return TopologyMatch{std::move(*map), false};
  if (!user.expanded) return std::nullopt;
  if (auto map = match_topology(model, *user.expanded)) return TopologyMatch{std::move(*map), true};
  return std::nullopt;
}

std::vector<double> collapse_abbreviated_values(const SeriesList& written,
                                                const std::vector<double>& expanded_values) {
  std::vector<double> values;
  values.reserve(param_count(written));
  const double* cursor = expanded_values.data();
  collapse_series(written, cursor, values);
  return values;
}

}  // namespace movarin
