#include "python/circuit_type.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/number_format.hpp"
#include "circuit/parse.hpp"
#include "fit/residuals.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_method.hpp"
#include "python/guess_methods.hpp"
#include "python/handle.hpp"
#include "python/numpy_array.hpp"
#include "python/read_spectrum.hpp"

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

// Frequencies per block of interruptible evaluation: a millisecond or so of work.
constexpr std::size_t kInterruptibleBlock = std::size_t{1} << 16;

// Runs `block(begin, count)` over [0, points) in blocks with the interpreter lock released, and
// stops between blocks when a signal handler raises; then its exception is set and false returned.
template <class Block>
bool run_interruptible_blocks(std::size_t points, Block&& block) {
  Ref raised;
  interruptible_without_interpreter_lock(
      [&] {
        for (std::size_t begin = 0; begin < points; begin += kInterruptibleBlock) {
          block(begin, std::min(kInterruptibleBlock, points - begin));
          if (stop_requested()) break;
        }
        return true;
      },
      raised);
  if (!raised) return true;
  restore_exception(std::move(raised));
  return false;
}

PyObject* impedance_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* frequencies_object = nullptr;
    if (!parse_single_argument(args, kwargs, "O:impedance", "frequencies", &frequencies_object)) {
      return nullptr;
    }
    const auto frequencies = read_impedance_frequencies(frequencies_object);
    if (!frequencies || !import_numpy_api()) return nullptr;
    // The circuit is immutable; holding it keeps its tree valid while the lock is released.
    const Ref circuit = Ref::borrow(self);
    const SeriesList& series = series_of(circuit.get());
    std::vector<Complex> values(frequencies->size());
    const std::span<const double> all(*frequencies);
    const bool completed = run_interruptible_blocks(all.size(), [&](std::size_t begin,
                                                                    std::size_t count) {
      const std::vector<Complex> block = impedance(series, all.subspan(begin, count));
      std::copy(block.begin(), block.end(), values.begin() + static_cast<std::ptrdiff_t>(begin));
    });
    if (!completed) return nullptr;
    return complex_array(std::move(values));
  });
}

// --- Residuals and Jacobian --------------------------------------------------------------------

// Private copies of everything residuals() and jacobian() compute from, so that the numeric work
// reads no Python object while the interpreter lock is released.
struct ResidualInputs {
  std::vector<double> params;
  std::vector<double> omega;
  std::vector<Complex> measured;
  std::vector<double> weights;
};

// A caller's parameter vector that is too short, in the caller's terms.
std::string caller_message(const NotEnoughValues& error) {
  return "expected at least " + std::to_string(error.expected) + " values, got " +
         std::to_string(error.actual);
}

// The weight argument's text; "modulus" when it was omitted.
std::optional<std::string> read_weight_text(PyObject* weight_object) {
  if (weight_object == nullptr) return std::string(weight_scheme_name(WeightScheme::Modulus));
  if (!PyUnicode_Check(weight_object)) {
    raise_downcast_error(weight_object, "str");
    name_argument_in_type_error("weight");
    return std::nullopt;
  }
  const std::optional<std::string_view> text = utf8_view(weight_object);
  if (!text) return std::nullopt;
  return std::string(*text);
}

// Binds (params, frequencies, impedances=None, weight="modulus") and converts them in order:
// params, the weight's type, the spectrum, the weight keyword. `format` is "OO|OO:<method>".
std::optional<ResidualInputs> read_residual_inputs(PyObject* self, PyObject* args, PyObject* kwargs,
                                                   const char* format) {
  const char* keywords[] = {"params", "frequencies", "impedances", "weight", nullptr};
  PyObject* params_object = nullptr;
  PyObject* frequencies_object = nullptr;
  PyObject* impedances_object = Py_None;
  PyObject* weight_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                   &params_object, &frequencies_object, &impedances_object,
                                   &weight_object)) {
    return std::nullopt;
  }
  std::optional<std::vector<double>> params = read_float_sequence_argument(params_object, "params");
  if (!params) return std::nullopt;
  const std::optional<std::string> weight = read_weight_text(weight_object);
  if (!weight) return std::nullopt;
  std::optional<Spectrum> spectrum =
      read_spectrum(frequencies_object, impedances_object == Py_None ? nullptr : impedances_object);
  if (!spectrum) return std::nullopt;
  const auto scheme = parse_weight_scheme(*weight);
  if (!scheme) {
    raise_value_error(message(scheme.error()));
    return std::nullopt;
  }
  // The evaluation takes one value per circuit parameter; extra values are never read.
  if (const auto short_vector = check_value_count(series_of(self), *params)) {
    raise_value_error(caller_message(*short_vector));
    return std::nullopt;
  }
  std::vector<double> weights = weights_for(spectrum->impedances, scheme.value());
  return ResidualInputs{std::move(*params), angular_frequencies(spectrum->frequencies),
                        std::move(spectrum->impedances), std::move(weights)};
}

// Runs `evaluate(problem, params)` on blocks of the spectrum without the interpreter lock, each
// counting into a private counter, and joins the blocks' rows (two per frequency) in order. Null
// with the Python exception set when a signal handler raised or the evaluation failed.
template <class Evaluate>
auto evaluate_unlocked(PyObject* self, const ResidualInputs& inputs, Evaluate evaluate,
                       std::size_t columns)
    -> std::optional<std::vector<double>> {
  // The circuit is immutable; holding it keeps its tree valid while the lock is released.
  const Ref circuit = Ref::borrow(self);
  const SeriesList& series = series_of(circuit.get());
  std::vector<double> rows(2 * inputs.omega.size() * columns);
  std::optional<std::string> failure;
  const bool completed = run_interruptible_blocks(inputs.omega.size(), [&](std::size_t begin,
                                                                          std::size_t count) {
    if (failure) return;
    EvaluationCounter counter;
    const ResidualProblem problem{series, std::span(inputs.omega).subspan(begin, count),
                                  std::span(inputs.measured).subspan(begin, count),
                                  std::span(inputs.weights).subspan(begin, count), counter};
    const auto block = evaluate(problem, inputs.params);
    if (!block) {
      failure = caller_message(block.error());
      return;
    }
    std::copy(block.value().begin(), block.value().end(),
              rows.begin() + static_cast<std::ptrdiff_t>(2 * begin * columns));
  });
  if (!completed) return std::nullopt;
  if (failure) {
    raise_value_error(*failure);
    return std::nullopt;
  }
  return rows;
}

PyObject* residuals_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<ResidualInputs> inputs =
        read_residual_inputs(self, args, kwargs, "OO|OO:residuals");
    if (!inputs) return nullptr;
    const auto residuals = evaluate_unlocked(self, *inputs, weighted_residuals, 1);
    if (!residuals) return nullptr;
    return to_python_float_list(*residuals).release();
  });
}

Ref matrix_rows(const Matrix& matrix) {
  Ref rows(PyList_New(static_cast<Py_ssize_t>(matrix.rows)));
  if (!rows) return rows;
  for (std::size_t row = 0; row < matrix.rows; ++row) {
    Ref values(PyList_New(static_cast<Py_ssize_t>(matrix.cols)));
    if (!values) return Ref();
    for (std::size_t col = 0; col < matrix.cols; ++col) {
      PyObject* value = PyFloat_FromDouble(matrix.at(row, col));
      if (value == nullptr) return Ref();
      PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(col), value);
    }
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(row), values.release());
  }
  return rows;
}

PyObject* jacobian_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<ResidualInputs> inputs =
        read_residual_inputs(self, args, kwargs, "OO|OO:jacobian");
    if (!inputs) return nullptr;
    // The Jacobian's data, so that its blocks join like the residuals'.
    const auto jacobian_data = [](const ResidualProblem& problem, std::span<const double> params)
        -> Result<std::vector<double>, NotEnoughValues> {
      auto jacobian = central_jacobian(problem, params);
      if (!jacobian) return fail(jacobian.error());
      return std::move(jacobian.value().data);
    };
    const std::size_t columns = inputs->params.size();
    auto data = evaluate_unlocked(self, *inputs, jacobian_data, columns);
    if (!data) return nullptr;
    return matrix_rows(Matrix{2 * inputs->omega.size(), columns, std::move(*data)}).release();
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
    {"residuals", as_cfunction(residuals_method), METH_VARARGS | METH_KEYWORDS,
     "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
     "arbitrary parameter vector -- the same building block `fit()` uses\n"
     "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
     "`scipy.optimize.least_squares`) can drive this circuit's math directly."},
    {"jacobian", as_cfunction(jacobian_method), METH_VARARGS | METH_KEYWORDS,
     "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
     "len(frequencies), len(params))` -- rows are residuals, columns are\n"
     "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."},
    {"param_values", param_values_method, METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"param_bounds", param_bounds_method, METH_NOARGS,
     "param_bounds($self)\n--\n\nDefault physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", param_units_method, METH_NOARGS,
     "param_units($self)\n--\n\nPhysical units per parameter"},
    {"guess", as_cfunction(guess_method), METH_VARARGS | METH_KEYWORDS, kGuessDoc},
    {"ml_circuits", ml_circuits_method, METH_NOARGS | METH_STATIC, kMlCircuitsDoc},
    {"fit", as_cfunction(fit_method), METH_VARARGS | METH_KEYWORDS, kFitDoc},
    {"_fit", as_cfunction(constrained_fit_method), METH_VARARGS | METH_KEYWORDS,
     kConstrainedFitDoc},
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
