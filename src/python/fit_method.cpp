#include "python/fit_method.hpp"

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fit/fit.hpp"
#include "fit/residuals.hpp"
#include "models/guess.hpp"
#include "models/registry.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_result_type.hpp"
#include "python/handle.hpp"
#include "python/read_spectrum.hpp"

namespace movarin::python {
namespace {

// The arguments as bound, borrowed from the call; null where the caller left the default.
struct FitArguments {
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  PyObject* guess_init = nullptr;
  PyObject* weights = nullptr;
  PyObject* weight = nullptr;
  PyObject* method = nullptr;
  PyObject* max_iterations = nullptr;
  PyObject* ftol = nullptr;
  PyObject* xtol = nullptr;
  PyObject* num_particles = nullptr;
  PyObject* generations = nullptr;
  PyObject* nelder_mead_iterations = nullptr;
  PyObject* de_evaluations = nullptr;
  PyObject* sa_iterations = nullptr;
  PyObject* sa_initial_temperature = nullptr;
  PyObject* basin_hopping_hops = nullptr;
  PyObject* basin_hopping_step_size = nullptr;
  PyObject* basin_hopping_temperature = nullptr;
  PyObject* seed = nullptr;
};

bool bind_arguments(PyObject* args, PyObject* kwargs, FitArguments& a) {
  const char* keywords[] = {"frequencies",
                            "impedances",
                            "guess_init",
                            "weights",
                            "weight",
                            "method",
                            "max_iterations",
                            "ftol",
                            "xtol",
                            "num_particles",
                            "generations",
                            "nelder_mead_iterations",
                            "de_evaluations",
                            "sa_iterations",
                            "sa_initial_temperature",
                            "basin_hopping_hops",
                            "basin_hopping_step_size",
                            "basin_hopping_temperature",
                            "seed",
                            nullptr};
  return PyArg_ParseTupleAndKeywords(
             args, kwargs, "O|OOOOOOOOOOOOOOOOOO:fit", const_cast<char**>(keywords), &a.frequencies,
             &a.impedances, &a.guess_init, &a.weights, &a.weight, &a.method, &a.max_iterations,
             &a.ftol, &a.xtol, &a.num_particles, &a.generations, &a.nelder_mead_iterations,
             &a.de_evaluations, &a.sa_iterations, &a.sa_initial_temperature, &a.basin_hopping_hops,
             &a.basin_hopping_step_size, &a.basin_hopping_temperature, &a.seed) != 0;
}

// --- Argument conversions ----------------------------------------------------------------------
// Each reader converts one argument into `target`, or returns false with the Python exception set.

template <class Value>
bool convert_argument(PyObject* object, const char* name, Value& target,
                      bool (*read)(PyObject*, Value&)) {
  if (object == nullptr || read(object, target)) return true;  // omitted: the default stays
  name_argument_in_type_error(name);
  return false;
}

bool has_text_attribute(PyObject* object, const char* attribute,
                        std::initializer_list<const char*> accepted) {
  Ref value(PyObject_GetAttrString(object, attribute));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  for (const char* text : accepted) {
    if (PyUnicode_CompareWithASCIIString(value.get(), text) == 0) return true;
  }
  return false;
}

// NumPy's boolean scalar type, recognised by name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return has_text_attribute(type, "__module__", {"numpy"}) &&
         has_text_attribute(type, "__name__", {"bool_", "bool"});
}

// None (unset), True/False or a NumPy boolean; 0 and 1 are not flags.
bool read_flag(PyObject* object, std::optional<bool>& flag) {
  if (object == Py_None) {
    flag.reset();
    return true;
  }
  if (PyBool_Check(object)) {
    flag = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    flag = truth != 0;
    return true;
  }
  raise_downcast_error(object, "bool");
  return false;
}

bool read_text(PyObject* object, std::string& text) {
  if (!PyUnicode_Check(object)) {
    raise_downcast_error(object, "str");
    return false;
  }
  const std::optional<std::string_view> view = utf8_view(object);
  if (!view) return false;
  text = std::string(*view);
  return true;
}

bool read_optional_text(PyObject* object, std::optional<std::string>& text) {
  if (object == Py_None) {
    text.reset();
    return true;
  }
  return read_text(object, text.emplace());
}

// Through __index__, so a float is refused; the range errors are the interpreter's own.
bool read_unsigned64(PyObject* object, std::uint64_t& value) {
  Ref integer(PyNumber_Index(object));
  if (!integer) return false;
  const unsigned long long read = PyLong_AsUnsignedLongLong(integer.get());
  if (read == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  value = read;
  return true;
}

bool read_unsigned32(PyObject* object, std::uint32_t& value) {
  std::uint64_t wide = 0;
  if (!read_unsigned64(object, wide)) return false;
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  value = static_cast<std::uint32_t>(wide);
  return true;
}

bool read_optional_unsigned64(PyObject* object, std::optional<std::uint64_t>& value) {
  if (object == Py_None) {
    value.reset();
    return true;
  }
  return read_unsigned64(object, value.emplace());
}

bool read_real(PyObject* object, double& value) {
  const std::optional<double> read = read_double(object);
  if (!read) return false;
  value = *read;
  return true;
}

// Everything fit() takes besides the spectrum, converted; the weight scheme is parsed only after
// the spectrum has been read.
struct FitRequest {
  std::optional<bool> guess_init;
  std::optional<std::string> weights_path;
  std::string weight = "modulus";
  FitSettings settings;
};

std::optional<FitRequest> convert_arguments(const FitArguments& a) {
  FitRequest r;
  FitSettings& s = r.settings;
  const bool converted =
      convert_argument(a.guess_init, "guess_init", r.guess_init, read_flag) &&
      convert_argument(a.weights, "weights", r.weights_path, read_optional_text) &&
      convert_argument(a.weight, "weight", r.weight, read_text) &&
      convert_argument(a.method, "method", s.method, read_text) &&
      convert_argument(a.max_iterations, "max_iterations", s.max_iterations, read_unsigned32) &&
      convert_argument(a.ftol, "ftol", s.ftol, read_real) &&
      convert_argument(a.xtol, "xtol", s.xtol, read_real) &&
      convert_argument(a.num_particles, "num_particles", s.num_particles, read_unsigned64) &&
      convert_argument(a.generations, "generations", s.generations, read_unsigned64) &&
      convert_argument(a.nelder_mead_iterations, "nelder_mead_iterations", s.nelder_mead_iterations,
                       read_unsigned64) &&
      convert_argument(a.de_evaluations, "de_evaluations", s.de_evaluations, read_unsigned64) &&
      convert_argument(a.sa_iterations, "sa_iterations", s.sa_iterations, read_unsigned64) &&
      convert_argument(a.sa_initial_temperature, "sa_initial_temperature", s.sa_initial_temperature,
                       read_real) &&
      convert_argument(a.basin_hopping_hops, "basin_hopping_hops", s.basin_hopping_hops,
                       read_unsigned32) &&
      convert_argument(a.basin_hopping_step_size, "basin_hopping_step_size",
                       s.basin_hopping_step_size, read_real) &&
      convert_argument(a.basin_hopping_temperature, "basin_hopping_temperature",
                       s.basin_hopping_temperature, read_real) &&
      convert_argument(a.seed, "seed", s.seed, read_optional_unsigned64);
  if (!converted) return std::nullopt;
  return r;
}

// --- Starting values ---------------------------------------------------------------------------

bool should_guess(const FitRequest& request, const CircuitObject& circuit) {
  if (request.guess_init) return *request.guess_init;
  return request.weights_path.has_value() || !circuit.explicit_values;
}

std::string no_model_warning() {
  return "There is no ML model to guess initial parameters for this circuit. Supply your own "
         "with Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass "
         "guess_init=False to silence this. Models available for " +
         model_list_text();
}

// The circuit the fit starts from: its own values, or the machine-learning guess. An unset
// guess_init without a stored model for the topology warns (attributed to the caller's line) and
// keeps the circuit's values; an explicit request to guess raises the guess's error instead.
std::optional<SeriesList> starting_circuit(const CircuitObject& circuit, const Spectrum& spectrum,
                                           const FitRequest& request) {
  if (!should_guess(request, circuit)) return circuit.series;
  const bool warn_without_model = !request.guess_init && !request.weights_path;
  if (warn_without_model && !find_model(circuit.series)) {
    if (PyErr_WarnEx(PyExc_UserWarning, no_model_warning().c_str(), 1) < 0) return std::nullopt;
    return circuit.series;
  }
  // Reading a weight file and running the network touch no Python object.
  const auto guessed = without_interpreter_lock(
      [&] { return guess_parameters(circuit.series, spectrum, request.weights_path); });
  if (!guessed) {
    raise_value_error(message(guessed.error()));
    return std::nullopt;
  }
  auto rebuilt = with_values(circuit.series, guessed.value());
  if (!rebuilt) {
    raise_value_error(message(rebuilt.error()));
    return std::nullopt;
  }
  return std::move(rebuilt).value();
}

// --- The call ----------------------------------------------------------------------------------

PyObject* raise_fit_error(const FitError& error) {
  switch (error.kind) {
    case FitError::Kind::OutOfMemory:
      PyErr_SetString(PyExc_MemoryError, message(error).c_str());
      return nullptr;
    case FitError::Kind::Interrupted:
      // Only a raising signal handler stops a fit, and its exception is raised instead.
      PyErr_SetString(PyExc_KeyboardInterrupt, message(error).c_str());
      return nullptr;
    default:
      return raise_value_error(message(error));
  }
}

FitRecord fit_record(FitOutcome outcome) {
  return FitRecord{std::move(outcome.circuit),
                   std::move(outcome.param_names),
                   std::move(outcome.params),
                   std::move(outcome.standard_errors),
                   outcome.success,
                   outcome.iterations,
                   outcome.impedance_evals,
                   outcome.cost,
                   outcome.chi_square};
}

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  FitArguments arguments;
  if (!bind_arguments(args, kwargs, arguments)) return nullptr;
  std::optional<FitRequest> request = convert_arguments(arguments);
  if (!request) return nullptr;
  PyObject* impedances = arguments.impedances == Py_None ? nullptr : arguments.impedances;
  const std::optional<Spectrum> spectrum = read_spectrum(arguments.frequencies, impedances);
  if (!spectrum) return nullptr;
  const auto scheme = parse_weight_scheme(request->weight);
  if (!scheme) return raise_value_error(message(scheme.error()));
  request->settings.weight = scheme.value();
  if (const auto unusable = first_unusable_row(*spectrum)) {
    return raise_value_error(message(*unusable));
  }

  const std::optional<SeriesList> start = starting_circuit(*as_circuit(self), *spectrum, *request);
  if (!start) return nullptr;
  // Everything the driver reads is a private value, so no Python object is touched unlocked.
  const FitSettings& settings = request->settings;
  Ref raised;
  auto outcome = interruptible_without_interpreter_lock(
      [&] { return run_fit(*start, spectrum->frequencies, spectrum->impedances, settings); },
      raised);
  if (raised) return restore_exception(std::move(raised));
  if (!outcome) return raise_fit_error(outcome.error());
  return make_fit_result(fit_record(std::move(outcome).value()));
}

}  // namespace

PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return fit(self, args, kwargs); });
}

}  // namespace movarin::python
