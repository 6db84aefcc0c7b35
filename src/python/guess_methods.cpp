#include "python/guess_methods.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/guess.hpp"
#include "models/registry.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/read_spectrum.hpp"

namespace movarin::python {
namespace {

bool is_absent(PyObject* object) {
  return object == nullptr || object == Py_None;
}

// None or a str; the path is the str's UTF-8 text. Null optional with a Python exception set.
std::optional<std::optional<std::string>> read_weights_path(PyObject* weights) {
  if (is_absent(weights)) return std::optional<std::string>();
  if (!PyUnicode_Check(weights)) {
    raise_downcast_error(weights, "str");
    name_argument_in_type_error("weights");
    return std::nullopt;
  }
  const std::optional<std::string_view> text = utf8_view(weights);
  if (!text) {
    name_argument_in_type_error("weights");
    return std::nullopt;
  }
  return std::optional<std::string>(std::string(*text));
}

PyObject* guess(PyObject* self, PyObject* args, PyObject* kwargs) {
  const char* keywords[] = {"frequencies", "impedances", "weights", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  PyObject* weights = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(keywords),
                                   &frequencies, &impedances, &weights)) {
    return nullptr;
  }
  const auto path = read_weights_path(weights);
  if (!path) return nullptr;
  const std::optional<Spectrum> spectrum =
      read_spectrum(frequencies, is_absent(impedances) ? nullptr : impedances);
  if (!spectrum) return nullptr;
  if (const auto unusable = first_unusable_row(*spectrum)) {
    return raise_value_error(message(*unusable));
  }
  // Reading a weight file and running the network touch no Python object.
  const SeriesList& circuit = as_circuit(self)->series;
  const auto values =
      without_interpreter_lock([&] { return guess_parameters(circuit, *spectrum, *path); });
  if (!values) return raise_value_error(message(values.error()));
  return to_python_float_list(values.value()).release();
}

}  // namespace

PyObject* guess_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return guess(self, args, kwargs); });
}

PyObject* ml_circuits_method(PyObject*, PyObject*) {
  return guarded([] {
    std::vector<std::string_view> names;
    for (const RegistryEntry& entry : model_registry()) names.push_back(entry.name());
    return to_python_str_list(names).release();
  });
}

}  // namespace movarin::python
