#pragma once
// Comparing circuits by structure alone, whatever their labels, values and written order.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"

namespace movarin {

// One element's place in the flat parameter vector.
struct TopologyLeaf {
  std::size_t start;
  std::size_t count;
};

// The canonical key, e.g. "[([C],[R]),R]", and the elements' leaves in the key's order.
struct Topology {
  std::string key;
  std::vector<TopologyLeaf> leaves;
};

Topology topology_key(const SeriesList& series);

// For each parameter of the user circuit, the index of the model parameter that fills it; nothing
// when the structures differ.
using ParameterMap = std::vector<std::size_t>;
std::optional<ParameterMap> match_topology(const Topology& model, const Topology& user);
std::optional<ParameterMap> match_topology(const SeriesList& model, const SeriesList& user);

// K becomes (R, C) and Zarc becomes (R, Cpe), unlabelled, at the abbreviation's place.
struct Expansion {
  SeriesList circuit;
  bool rewritten;
};
Expansion expand_abbreviations(const SeriesList& series);

// A user circuit's topology as written and, when it holds K or Zarc, with them written out.
struct UserTopology {
  Topology as_written;
  std::optional<Topology> expanded;
};
UserTopology user_topology(const SeriesList& user);

// The match as written, else the match of the expanded circuit (rewritten set).
struct TopologyMatch {
  ParameterMap map;
  bool rewritten;
};
std::optional<TopologyMatch> match_user_topology(const Topology& model, const UserTopology& user);

// The inverse for values: from the expanded circuit's flat values to those of `written`.
std::vector<double> collapse_abbreviated_values(const SeriesList& written,
                                                const std::vector<double>& expanded_values);

}  // namespace movarin
