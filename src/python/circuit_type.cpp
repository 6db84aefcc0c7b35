#include "python/circuit_type.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "circuit/number_format.hpp"
#include "circuit/parse.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"
#include "python/numpy_array.hpp"

namespace movarin::python {
namespace {

PyTypeObject* g_circuit_type = nullptr;

// Methods and slots are only ever called with an instance of the class as self.
const CircuitObject& circuit_of(PyObject* self) {
  return *reinterpret_cast<CircuitObject*>(self);
}
const SeriesList& series_of(PyObject* self) {
  return circuit_of(self).series;
}

// --- Construction ------------------------------------------------------------------------------

PyObject* construct_circuit(PyObject* args, PyObject* kwargs) {
  PyObject* text_object = nullptr;
  if (!parse_single_argument(args, kwargs, "O:Circuit", "s", &text_object)) return nullptr;
  if (!PyUnicode_Check(text_object)) {
    raise_downcast_error(text_object, "str");
    name_argument_in_type_error("s");
    return nullptr;
  }
  const std::optional<std::string_view> text = utf8_view(text_object);
  if (!text) return nullptr;
  Result<SeriesList, std::string> parsed = circuit_from_text(*text);
  if (!parsed) return raise_value_error(parsed.error());
  const std::size_t depth = nesting_depth(parsed.value());
  return make_circuit(std::move(parsed).value(), false, depth);
}

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return construct_circuit(args, kwargs); });
}

void circuit_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CircuitObject*>(self)->series.~SeriesList();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- Parameter listings ------------------------------------------------------------------------

PyObject* param_names_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_str_list(param_names(series_of(self))).release(); });
}

PyObject* param_values_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_float_list(param_values(series_of(self))).release(); });
}

PyObject* param_units_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_str_list(param_units(series_of(self))).release(); });
}

Ref bounds_list(const std::vector<Bounds>& bounds) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
    if (pair == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

PyObject* param_bounds_method(PyObject* self, PyObject*) {
  return guarded([&] { return bounds_list(param_bounds(series_of(self))).release(); });
}

// --- Rebuilding with new values ----------------------------------------------------------------

PyObject* with_values_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* values_object = nullptr;
    if (!parse_single_argument(args, kwargs, "O:with_values", "values", &values_object)) {
      return nullptr;
    }
    const auto values = read_float_sequence_argument(values_object, "values");
    if (!values) return nullptr;
    auto rebuilt = with_values(series_of(self), *values);
    if (!rebuilt) return raise_value_error(message(rebuilt.error()));
    return make_circuit(std::move(rebuilt).value(), true, circuit_of(self).nesting_depth);
  });
}

using NamedValues = std::vector<std::pair<std::string, double>>;

// The dict's items in its iteration order. The items are taken as a list first, so that a key's
// __float__ changing the dict cannot pull objects away mid-walk.
std::optional<NamedValues> read_named_values(PyObject* values_object) {
  if (!PyDict_Check(values_object)) {
    raise_downcast_error(values_object, "dict");
    return std::nullopt;
  }
  Ref items(PyDict_Items(values_object));
  if (!items) return std::nullopt;
  NamedValues named;
  named.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    if (!PyUnicode_Check(key)) {
      raise_downcast_error(key, "str");
      return std::nullopt;
    }
    const std::optional<std::string_view> name = utf8_view(key);
    if (!name) return std::nullopt;
    const std::optional<double> value = read_double(PyTuple_GET_ITEM(item, 1));
    if (!value) return std::nullopt;
    named.emplace_back(std::string(*name), *value);
  }
  return named;
}

PyObject* with_named_values_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* values_object = nullptr;
    if (!parse_single_argument(args, kwargs, "O:with_named_values", "values", &values_object)) {
      return nullptr;
    }
    const std::optional<NamedValues> named = read_named_values(values_object);
    if (!named) {
      name_argument_in_type_error("values");
      return nullptr;
    }
    auto rebuilt = with_named_values(series_of(self), *named);
    if (!rebuilt) return raise_value_error(message(rebuilt.error()));
    return make_circuit(std::move(rebuilt).value(), true, circuit_of(self).nesting_depth);
  });
}

// --- Evaluation --------------------------------------------------------------------------------

PyObject* impedance_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* frequencies_object = nullptr;
    if (!parse_single_argument(args, kwargs, "O:impedance", "frequencies", &frequencies_object)) {
      return nullptr;
    }
    const auto frequencies = read_float_sequence_argument(frequencies_object, "frequencies");
    if (!frequencies || !import_numpy_api()) return nullptr;
    // The circuit is immutable; holding it keeps its tree valid while the lock is released.
    const Ref circuit = Ref::borrow(self);
    const SeriesList& series = series_of(circuit.get());
    std::vector<Complex> values =
        without_interpreter_lock([&] { return impedance(series, *frequencies); });
    return complex_array(std::move(values));
  });
}

// --- Representation ----------------------------------------------------------------------------

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string circuit_repr_text(const SeriesList& series) {
  const std::vector<std::string> names = param_names(series);
  const std::vector<double> values = param_values(series);
  const std::vector<std::string_view> units = param_units(series);
  const std::vector<Bounds> bounds = param_bounds(series);
  std::size_t name_width = 0;  // in bytes
  for (const std::string& name : names) name_width = std::max(name_width, name.size());

  std::string text = "Circuit (" + std::to_string(names.size()) + " parameter" +
                     (names.size() == 1 ? "" : "s") + ")\n";
  const std::size_t rows = std::min({names.size(), values.size(), units.size(), bounds.size()});
  for (std::size_t i = 0; i < rows; ++i) {
    if (i > 0) text += "\n";
    text += "  " + padded(names[i], name_width) + " = " +
            padded(format_compact_number(values[i]), 10) + " [" + std::string(units[i]) +
            "]  bounds (" + format_compact_number(bounds[i].lo) + ", " +
            format_compact_number(bounds[i].hi) + ")";
  }
  return text;
}

PyObject* circuit_repr(PyObject* self) {
  return guarded([&] { return to_python_str(circuit_repr_text(series_of(self))).release(); });
}

// --- Type --------------------------------------------------------------------------------------

template <class Method>
PyCFunction as_cfunction(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef circuit_methods[] = {
    {"param_names", param_names_method, METH_NOARGS,
     "param_names($self)\n--\n\nParameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"with_values", as_cfunction(with_values_method), METH_VARARGS | METH_KEYWORDS,
     "with_values($self, values)\n--\n\nRebuild this circuit with a new flat parameter vector, "
     "assigned\npositionally in `param_names()` order."},
    {"with_named_values", as_cfunction(with_named_values_method), METH_VARARGS | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\nRebuild this circuit with parameter values looked "
     "up by name (see\n`param_names()`). Every name must be present and no unknown names\nmay be "
     "supplied."},
    {"impedance", as_cfunction(impedance_method), METH_VARARGS | METH_KEYWORDS,
     "impedance($self, frequencies)\n--\n\n"},
    {"param_values", param_values_method, METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"param_bounds", param_bounds_method, METH_NOARGS,
     "param_bounds($self)\n--\n\nDefault physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", param_units_method, METH_NOARGS,
     "param_units($self)\n--\n\nPhysical units per parameter"},
    {nullptr, nullptr, 0, nullptr},
};

bool create_circuit_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
      {Py_tp_methods, circuit_methods},
      {0, nullptr},
  };
  PyType_Spec spec = {"movarin.Circuit", sizeof(CircuitObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  g_circuit_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_circuit_type != nullptr;
}

}  // namespace

PyTypeObject* circuit_type() {
  if (g_circuit_type == nullptr && !create_circuit_type()) return nullptr;
  return g_circuit_type;
}

PyObject* make_circuit(SeriesList series, bool explicit_values, std::size_t nesting_depth) {
  PyTypeObject* type = circuit_type();
  if (type == nullptr) return nullptr;
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* circuit = reinterpret_cast<CircuitObject*>(object);
  new (&circuit->series) SeriesList(std::move(series));
  circuit->explicit_values = explicit_values;
  circuit->nesting_depth = nesting_depth;
  return object;
}

const CircuitObject* as_circuit(PyObject* object) {
  if (g_circuit_type == nullptr || Py_TYPE(object) != g_circuit_type) return nullptr;
  return reinterpret_cast<const CircuitObject*>(object);
}

}  // namespace movarin::python
