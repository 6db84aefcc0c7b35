#include "python/fit_result_type.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "runtime/number_format.hpp"
#include "runtime/text.hpp"
#include "python/circuit_type.hpp"
#include "python/convert.hpp"
#include "python/element_types.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"

namespace movarin::python {
namespace {

struct FitResultObject {
  PyObject ob_base;
  FitRecord record;
  std::size_t nesting_depth;  // of record.fitted
};

PyTypeObject* g_fit_result_type = nullptr;

const FitResultObject& fit_result_of(PyObject* self) {
  return *reinterpret_cast<FitResultObject*>(self);
}
const FitRecord& record_of(PyObject* self) {
  return fit_result_of(self).record;
}

void fit_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FitResultObject*>(self)->record.~FitRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

// name -> value for the first min(#names, #values) parameters, in flat parameter order.
Ref parameter_dict(const std::vector<std::string>& names, const std::vector<double>& values) {
  Ref dict(PyDict_New());
  if (!dict) return dict;
  const std::size_t count = std::min(names.size(), values.size());
  for (std::size_t i = 0; i < count; ++i) {
    Ref value(PyFloat_FromDouble(values[i]));
    if (!value) return Ref();
    Ref key = to_python_str(names[i]);
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Ref();
  }
  return dict;
}

PyObject* get_circuit(PyObject* self, void*) {
  return guarded([&] {
    const FitResultObject& result = fit_result_of(self);
    return make_circuit(result.record.fitted, true, result.nesting_depth);
  });
}

PyObject* get_params(PyObject* self, void*) {
  return guarded([&] {
    const FitRecord& record = record_of(self);
    return parameter_dict(record.names, record.params).release();
  });
}

PyObject* get_stderr(PyObject* self, void*) {
  return guarded([&] {
    const FitRecord& record = record_of(self);
    if (!record.standard_errors) Py_RETURN_NONE;
    return parameter_dict(record.names, *record.standard_errors).release();
  });
}

PyObject* get_success(PyObject* self, void*) {
  return PyBool_FromLong(record_of(self).success);
}

PyObject* get_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).iterations);
}

PyObject* get_impedance_evals(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).impedance_evals);
}

PyObject* get_cost(PyObject* self, void*) {
  return PyFloat_FromDouble(record_of(self).cost);
}

PyObject* get_chi_square(PyObject* self, void*) {
  return PyFloat_FromDouble(record_of(self).chi_square);
}

std::string fit_result_repr_text(const FitRecord& record) {
  std::string text = std::string("FitResult(success=") + (record.success ? "true" : "false") +
                     ", iterations=" + std::to_string(record.iterations) +
                     ", impedance_evals=" + std::to_string(record.impedance_evals) +
                     ", chi_square=" + format_exponent6(record.chi_square) + ", params={";
  const std::size_t count = std::min(record.names.size(), record.params.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += quote(record.names[i]) + ": " + format_debug_number(record.params[i]);
  }
  return text + "})";
}

PyObject* fit_result_repr(PyObject* self) {
  return guarded([&] { return to_python_str(fit_result_repr_text(record_of(self))).release(); });
}

PyGetSetDef fit_result_getters[] = {
    {"circuit", get_circuit, nullptr, "", nullptr},
    {"params", get_params, nullptr, "", nullptr},
    {"stderr", get_stderr, nullptr, "", nullptr},
    {"success", get_success, nullptr, "", nullptr},
    {"iterations", get_iterations, nullptr, "", nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, "", nullptr},
    {"cost", get_cost, nullptr, "", nullptr},
    {"chi_square", get_chi_square, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool create_fit_result_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("")},
      {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
      {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
      {Py_tp_getset, fit_result_getters},
      {0, nullptr},
  };
  PyType_Spec spec = {"movarin.FitResult", sizeof(FitResultObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  g_fit_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return g_fit_result_type != nullptr;
}

}  // namespace

PyTypeObject* fit_result_type() {
  if (g_fit_result_type == nullptr && !create_fit_result_type()) return nullptr;
  return g_fit_result_type;
}

PyObject* make_fit_result(FitRecord record) {
  PyTypeObject* type = fit_result_type();
  if (type == nullptr) return nullptr;
  const std::size_t depth = nesting_depth(record.fitted);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* result = reinterpret_cast<FitResultObject*>(object);
  new (&result->record) FitRecord(std::move(record));
  result->nesting_depth = depth;
  return object;
}

}  // namespace movarin::python
