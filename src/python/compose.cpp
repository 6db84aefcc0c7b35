#include "python/compose.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/element_types.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"

namespace movarin::python {
namespace {

bool is_part(PyObject* item) {
  return held_element(item) != nullptr || as_circuit(item) != nullptr;
}

// The items of `parts`, each an element of a kind class or a Circuit.
std::optional<std::vector<Ref>> read_parts(PyObject* parts) {
  if (!check_sequence(parts)) return std::nullopt;
  Ref iterator(PyObject_GetIter(parts));
  if (!iterator) return std::nullopt;
  std::vector<Ref> items;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!is_part(item.get())) {
      Ref name = type_name(item.get());
      if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Element' or 'Circuit'",
                     name.get());
      }
      return std::nullopt;
    }
    items.push_back(std::move(item));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return items;
}

// Placeholder values anywhere make the result a placeholder circuit too.
bool all_explicit(const std::vector<Ref>& items) {
  return std::all_of(items.begin(), items.end(), [](const Ref& item) {
    const CircuitObject* circuit = as_circuit(item.get());
    return circuit == nullptr || circuit->explicit_values;
  });
}

std::size_t deepest_nesting(const std::vector<Ref>& items) {
  std::size_t deepest = 0;
  for (const Ref& item : items) {
    if (const CircuitObject* circuit = as_circuit(item.get())) {
      deepest = std::max(deepest, circuit->nesting_depth);
    }
  }
  return deepest;
}

Part unlabelled(const movarin::Element& element) {
  return Part{Part::Element{element, std::nullopt}};
}

SeriesList connect_in_series(const std::vector<Ref>& items) {
  SeriesList series;
  for (const Ref& item : items) {
    if (const movarin::Element* element = held_element(item.get())) {
      series.push_back(unlabelled(*element));
    } else {
      const SeriesList& inner = as_circuit(item.get())->series;
      series.insert(series.end(), inner.begin(), inner.end());
    }
  }
  return series;
}

SeriesList connect_in_parallel(const std::vector<Ref>& items) {
  Part::Circuit group;
  group.branches.reserve(items.size());
  for (const Ref& item : items) {
    if (const movarin::Element* element = held_element(item.get())) {
      group.branches.push_back(SeriesList{unlabelled(*element)});
    } else {
      group.branches.push_back(as_circuit(item.get())->series);
    }
  }
  SeriesList series;
  series.push_back(Part{std::move(group)});
  return series;
}

enum class Connection { Series, Parallel };

PyObject* connect(PyObject* args, PyObject* kwargs, const char* format, Connection connection) {
  PyObject* parts = nullptr;
  if (!parse_single_argument(args, kwargs, format, "parts", &parts)) return nullptr;
  const std::optional<std::vector<Ref>> items = read_parts(parts);
  if (!items) {
    name_argument_in_type_error("parts");
    return nullptr;
  }
  const std::size_t depth = deepest_nesting(*items) + (connection == Connection::Parallel ? 1 : 0);
  if (depth > kMaxNestingDepth) {
    return raise_value_error("circuit nesting deeper than " + std::to_string(kMaxNestingDepth) +
                             " parallel groups");
  }
  SeriesList series =
      connection == Connection::Series ? connect_in_series(*items) : connect_in_parallel(*items);
  return make_circuit(std::move(series), all_explicit(*items), depth);
}

PyObject* series_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return connect(args, kwargs, "O:Series", Connection::Series); });
}

PyObject* parallel_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return connect(args, kwargs, "O:Parallel", Connection::Parallel); });
}

PyCFunction as_cfunction(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef series_function = {"Series", as_cfunction(series_entry), METH_VARARGS | METH_KEYWORDS,
                               "Series(parts)\n--\n\nConnect elements and circuits end to end."};

PyMethodDef parallel_function = {
    "Parallel", as_cfunction(parallel_entry), METH_VARARGS | METH_KEYWORDS,
    "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."};

}  // namespace movarin::python
