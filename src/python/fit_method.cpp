#include "python/fit_method.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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
#include "runtime/number_format.hpp"
#include "runtime/text.hpp"

namespace movarin::python {
namespace {

// Everything fit() takes, converted in signature order. The spectrum's objects are borrowed from
// the call and read, and the weight scheme parsed, only once every argument has converted.
struct FitRequest {
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;  // null for None
  std::optional<bool> guess_init;
  std::optional<std::string> weights_path;
  std::string weight{weight_scheme_name(FitSettings{}.weight)};
  FitSettings settings;
  FitConstraints constraints;  // only the constrained entry reads them
};

// --- Readers -----------------------------------------------------------------------------------
// Each reads one given argument into `target`, or returns false with the Python exception set.

bool read_object(PyObject* object, PyObject*& target) {
  target = object;
  return true;
}

bool read_optional_object(PyObject* object, PyObject*& target) {
  target = object == Py_None ? nullptr : object;
  return true;
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

// None (nothing fixed) or one flag per parameter.
bool read_fixed_mask(PyObject* object, std::vector<bool>& mask) {
  mask.clear();
  if (object == Py_None) return true;
  if (!check_sequence(object)) return false;
  auto flags = read_each_item<bool>(object, [](PyObject* item) -> std::optional<bool> {
    std::optional<bool> flag;
    if (item == Py_None) {
      raise_downcast_error(item, "bool");
      return std::nullopt;
    }
    if (!read_flag(item, flag)) return std::nullopt;
    return flag;
  });
  if (!flags) return false;
  mask.assign(flags->begin(), flags->end());
  return true;
}

// None (the parameters' own bounds) or one (lo, hi) pair of numbers per parameter.
bool read_bound_pairs(PyObject* object, std::vector<Bounds>& bounds) {
  bounds.clear();
  if (object == Py_None) return true;
  if (!check_sequence(object)) return false;
  auto pairs = read_each_item<Bounds>(object, [](PyObject* item) -> std::optional<Bounds> {
    if (!check_sequence(item)) return std::nullopt;
    const std::optional<std::vector<double>> pair = read_float_sequence(item);
    if (!pair) return std::nullopt;
    if (pair->size() != 2) {
      raise_value_error("bounds: each entry must be a pair (lo, hi), got " +
                        std::to_string(pair->size()) + " numbers");
      return std::nullopt;
    }
    return Bounds{(*pair)[0], (*pair)[1]};
  });
  if (!pairs) return false;
  bounds = std::move(*pairs);
  return true;
}

// --- The parameter table -----------------------------------------------------------------------

// Defaults as Python literals, the way the signature line shows them. An object argument's only
// default is its omission, None.
std::string literal(PyObject* /*omitted*/) {
  return "None";
}

std::string literal(bool flag) {
  return flag ? "True" : "False";
}

std::string literal(double value) {
  return format_debug_number(value);
}

template <std::unsigned_integral Value>
std::string literal(Value value) {
  return std::to_string(value);
}

std::string literal(const std::string& text) {
  return quote(text);
}

template <class Value>
std::string literal(const std::optional<Value>& value) {
  return value ? literal(*value) : "None";
}

// The constraints' only default is none, shown as None.
template <class Value>
std::string literal(const std::vector<Value>& /*none*/) {
  return "None";
}

template <class Member>
struct MemberOf;
template <class Class, class Value>
struct MemberOf<Value Class::*> {
  using Owner = Class;
};

// A field of the request, of its settings or of its constraints.
template <auto Field>
auto& field(FitRequest& request) {
  using Owner = typename MemberOf<decltype(Field)>::Owner;
  if constexpr (std::is_same_v<Owner, FitSettings>) {
    return request.settings.*Field;
  } else if constexpr (std::is_same_v<Owner, FitConstraints>) {
    return request.constraints.*Field;
  } else {
    return request.*Field;
  }
}

// One parameter: its keyword, the conversion of a given argument into the request (an omitted one
// leaves the request's default in place), and that default as the signature line shows it, read
// from a default-constructed request and so from FitSettings{}; null for a required parameter.
struct FitParameter {
  const char* keyword;
  bool (*convert)(PyObject* given, FitRequest& request);
  std::string (*default_text)();
};

template <auto Field, auto Read>
bool convert_into(PyObject* given, FitRequest& request) {
  return Read(given, field<Field>(request));
}

template <auto Field>
std::string default_text() {
  FitRequest defaults;
  return literal(field<Field>(defaults));
}

template <auto Field, auto Read>
constexpr FitParameter required_parameter(const char* keyword) {
  return {keyword, convert_into<Field, Read>, nullptr};
}

template <auto Field, auto Read>
constexpr FitParameter parameter(const char* keyword) {
  return {keyword, convert_into<Field, Read>, default_text<Field>};
}

// fit()'s parameters in signature order, which is also the order of conversion: the first argument
// that fails to convert is the one reported. Another entry taking more arguments binds a table of
// these rows followed by its own, with an ArgumentSyntax of its own, and shares fit_request.
constexpr std::array kFitParameters = {
    required_parameter<&FitRequest::frequencies, read_object>("frequencies"),
    parameter<&FitRequest::impedances, read_optional_object>("impedances"),
    parameter<&FitRequest::guess_init, read_flag>("guess_init"),
    parameter<&FitRequest::weights_path, read_optional_text>("weights"),
    parameter<&FitRequest::weight, read_text>("weight"),
    parameter<&FitSettings::method, read_text>("method"),
    parameter<&FitSettings::max_iterations, read_unsigned32>("max_iterations"),
    parameter<&FitSettings::ftol, read_real>("ftol"),
    parameter<&FitSettings::xtol, read_real>("xtol"),
    parameter<&FitSettings::num_particles, read_unsigned64>("num_particles"),
    parameter<&FitSettings::generations, read_unsigned64>("generations"),
    parameter<&FitSettings::nelder_mead_iterations, read_unsigned64>("nelder_mead_iterations"),
    parameter<&FitSettings::de_evaluations, read_unsigned64>("de_evaluations"),
    parameter<&FitSettings::sa_iterations, read_unsigned64>("sa_iterations"),
    parameter<&FitSettings::sa_initial_temperature, read_real>("sa_initial_temperature"),
    parameter<&FitSettings::basin_hopping_hops, read_unsigned32>("basin_hopping_hops"),
    parameter<&FitSettings::basin_hopping_step_size, read_real>("basin_hopping_step_size"),
    parameter<&FitSettings::basin_hopping_temperature, read_real>("basin_hopping_temperature"),
    parameter<&FitSettings::seed, read_optional_unsigned64>("seed"),
};

// The constrained entry: fit()'s parameters, then the fixed mask and the bounds.
constexpr std::array kConstraintParameters = {
    parameter<&FitConstraints::fixed, read_fixed_mask>("fixed"),
    parameter<&FitConstraints::bounds, read_bound_pairs>("bounds"),
};

template <class Row, std::size_t N, std::size_t M>
constexpr std::array<Row, N + M> joined(const std::array<Row, N>& a, const std::array<Row, M>& b) {
  std::array<Row, N + M> rows{};
  for (std::size_t i = 0; i < N; ++i) rows[i] = a[i];
  for (std::size_t i = 0; i < M; ++i) rows[N + i] = b[i];
  return rows;
}

constexpr std::array kConstrainedFitParameters = joined(kFitParameters, kConstraintParameters);

// The keyword list and format PyArg_ParseTupleAndKeywords binds a table's arguments with: one
// object per parameter, the optional ones after "|", and the function's name for its messages.
class ArgumentSyntax {
 public:
  ArgumentSyntax(std::span<const FitParameter> parameters, std::string_view function) {
    for (const FitParameter& parameter : parameters) {
      if (parameter.default_text != nullptr && format_.find('|') == std::string::npos) {
        format_ += '|';
      }
      format_ += 'O';
      keywords_.push_back(parameter.keyword);
    }
    keywords_.push_back(nullptr);
    format_ += ':';
    format_ += function;
  }

  const char* format() const { return format_.c_str(); }
  char** keywords() const { return const_cast<char**>(keywords_.data()); }

 private:
  std::string format_;
  std::vector<const char*> keywords_;
};

// Binds a call's arguments by a table and converts the given ones in table order into a request;
// null optional with the Python exception set, a TypeError naming the argument.
template <std::size_t N>
std::optional<FitRequest> read_request(PyObject* args, PyObject* kwargs,
                                       const std::array<FitParameter, N>& parameters,
                                       const ArgumentSyntax& syntax) {
  std::array<PyObject*, N> given{};  // null where the argument was omitted
  const bool bound = std::apply(
      [&](auto&... object) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, syntax.format(), syntax.keywords(),
                                           &object...) != 0;
      },
      given);
  if (!bound) return std::nullopt;
  FitRequest request;
  for (std::size_t i = 0; i < N; ++i) {
    if (given[i] == nullptr || parameters[i].convert(given[i], request)) continue;
    name_argument_in_type_error(parameters[i].keyword);
    return std::nullopt;
  }
  return request;
}

// "name($self, a, b=default, ...)", the line a docstring starts with for the signature.
std::string text_signature(std::string_view function, std::span<const FitParameter> parameters) {
  std::string line = std::string(function) + "($self";
  for (const FitParameter& parameter : parameters) {
    line += ", ";
    line += parameter.keyword;
    if (parameter.default_text == nullptr) continue;
    line += '=';
    line += parameter.default_text();
  }
  return line + ")";
}

constexpr std::string_view kFitDescription =
    "Fit this circuit's parameters to a measured spectrum.\n\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

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
  // Looking for the model, reading a weight file and running the network touch no Python object;
  // an empty result stands for the missing stored model.
  const auto guessed =
      without_interpreter_lock([&]() -> std::optional<Result<std::vector<double>, WeightError>> {
        if (warn_without_model && !find_model(circuit.series)) return std::nullopt;
        return guess_parameters(circuit.series, spectrum, request.weights_path);
      });
  if (!guessed) {
    if (PyErr_WarnEx(PyExc_UserWarning, no_model_warning().c_str(), 1) < 0) return std::nullopt;
    return circuit.series;
  }
  if (!*guessed) {
    raise_value_error(message(guessed->error()));
    return std::nullopt;
  }
  auto rebuilt = with_values(circuit.series, guessed->value());
  if (!rebuilt) {
    raise_value_error(message(rebuilt.error()));
    return std::nullopt;
  }
  return std::move(rebuilt).value();
}

// A start the constraints admit, from one the network guessed: fixed parameters back at the
// circuit's stored values, the others moved inside the given bounds. The caller's own values are
// never moved; the driver refuses them when they lie outside.
SeriesList admissible_guess(SeriesList guessed, const SeriesList& own,
                            const FitConstraints& constraints) {
  std::vector<double> values = param_values(guessed);
  const std::vector<double> stored = param_values(own);
  for (std::size_t j = 0; j < values.size(); ++j) {
    if (j < constraints.fixed.size() && constraints.fixed[j]) {
      values[j] = stored[j];
    } else if (j < constraints.bounds.size()) {
      values[j] = std::clamp(values[j], constraints.bounds[j].lo, constraints.bounds[j].hi);
    }
  }
  return with_values(guessed, values).value();
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

// The fit a converted request asks for, from reading its spectrum to the FitResult.
PyObject* fit_request(PyObject* self, FitRequest& request) {
  const std::optional<Spectrum> spectrum = read_spectrum(request.frequencies, request.impedances);
  if (!spectrum) return nullptr;
  const auto scheme = parse_weight_scheme(request.weight);
  if (!scheme) return raise_value_error(message(scheme.error()));
  request.settings.weight = scheme.value();
  if (const auto unusable = first_unusable_row(*spectrum)) {
    return raise_value_error(message(*unusable));
  }

  const CircuitObject& circuit = *as_circuit(self);
  std::optional<SeriesList> start = starting_circuit(circuit, *spectrum, request);
  if (!start) return nullptr;
  const FitConstraints& constraints = request.constraints;
  const bool constrained = !constraints.fixed.empty() || !constraints.bounds.empty();
  if (constrained && should_guess(request, circuit)) {
    start = admissible_guess(std::move(*start), circuit.series, constraints);
  }
  // Everything the driver reads is a private value, so no Python object is touched unlocked.
  const FitSettings& settings = request.settings;
  Ref raised;
  auto outcome = interruptible_without_interpreter_lock(
      [&] {
        return run_fit(*start, spectrum->frequencies, spectrum->impedances, settings, constraints);
      },
      raised);
  if (raised) return restore_exception(std::move(raised));
  if (!outcome) return raise_fit_error(outcome.error());
  return make_fit_result(fit_record(std::move(outcome).value()));
}

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const ArgumentSyntax syntax(kFitParameters, "fit");
  std::optional<FitRequest> request = read_request(args, kwargs, kFitParameters, syntax);
  if (!request) return nullptr;
  return fit_request(self, *request);
}

PyObject* constrained_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const ArgumentSyntax syntax(kConstrainedFitParameters, "_fit");
  std::optional<FitRequest> request =
      read_request(args, kwargs, kConstrainedFitParameters, syntax);
  if (!request) return nullptr;
  return fit_request(self, *request);
}

constexpr std::string_view kConstrainedFitDescription =
    "fit() with some parameters held and others kept inside bounds of the caller's, for\n"
    "movarin_tools.fit.\n\n"
    "`fixed`: one flag per parameter (held at its stored value). `bounds`: one (lo, hi) pair per\n"
    "parameter, replacing its own bounds. A start the network guesses keeps the fixed values and\n"
    "is moved inside the bounds; the circuit's own values must lie inside them.";

}  // namespace

PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return fit(self, args, kwargs); });
}

PyObject* constrained_fit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return constrained_fit(self, args, kwargs); });
}

const char* fit_doc() noexcept {
  try {
    static const std::string doc =
        text_signature("fit", kFitParameters) + "\n--\n\n" + std::string(kFitDescription);
    return doc.c_str();
  } catch (...) {
    return kFitDescription.data();  // no room for the signature line: the text alone
  }
}

const char* constrained_fit_doc() noexcept {
  try {
    static const std::string doc = text_signature("_fit", kConstrainedFitParameters) +
                                   "\n--\n\n" + std::string(kConstrainedFitDescription);
    return doc.c_str();
  } catch (...) {
    return kConstrainedFitDescription.data();
  }
}

}  // namespace movarin::python
