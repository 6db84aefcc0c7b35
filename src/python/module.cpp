// The movarin extension module: single-phase initialisation, one interpreter per process.

#include <Python.h>

#include <string>

#include "elements/catalogue.hpp"
#include "python/circuit_type.hpp"
#include "python/compose.hpp"
#include "python/element_types.hpp"
#include "python/errors.hpp"
#include "python/fit_result_type.hpp"
#include "python/handle.hpp"

namespace movarin::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "movarin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Created on the first initialisation and returned by every later one.
PyObject* g_module = nullptr;

// Adds a public attribute and lists it in __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr || PyModule_AddObjectRef(module, name, value) < 0) return false;
  Ref listed(PyUnicode_FromString(name));
  return listed && PyList_Append(all, listed.get()) == 0;
}

bool add_function(PyObject* module, PyObject* all, PyMethodDef* definition) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function(PyCFunction_NewEx(definition, module, module_name.get()));
  return add_public(module, all, definition->ml_name, function.get());
}

bool add_kind_classes(PyObject* module, PyObject* all, PyObject* element) {
  for (std::size_t i = 0; i < kKindCount; ++i) {
    const std::string name(kind_info(kind_at(i)).name);
    Ref kind_class(PyObject_GetAttrString(element, name.c_str()));
    if (!add_public(module, all, name.c_str(), kind_class.get())) return false;
  }
  return true;
}

Ref create_module() {
  Ref module(PyModule_Create(&module_definition));
  if (!module) return module;
  Ref all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return Ref();
  PyObject* element = reinterpret_cast<PyObject*>(element_type());
  const bool complete =
      add_public(module.get(), all.get(), "Element", element) &&
      add_public(module.get(), all.get(), "Circuit", reinterpret_cast<PyObject*>(circuit_type())) &&
      add_public(module.get(), all.get(), "FitResult",
                 reinterpret_cast<PyObject*>(fit_result_type())) &&
      add_function(module.get(), all.get(), &series_function) &&
      add_function(module.get(), all.get(), &parallel_function) &&
      add_kind_classes(module.get(), all.get(), element);
  return complete ? std::move(module) : Ref();
}

// The classes are shared process-wide, so the module can serve only the main interpreter.
bool in_main_interpreter() {
  return PyInterpreterState_Get() == PyInterpreterState_Main();
}

PyObject* initialise() {
  if (!in_main_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "movarin supports one interpreter per process and cannot be imported in a "
                    "subinterpreter");
    return nullptr;
  }
  if (g_module == nullptr) g_module = create_module().release();
  return Py_XNewRef(g_module);
}

}  // namespace
}  // namespace movarin::python

PyMODINIT_FUNC PyInit_movarin() {
  return movarin::python::guarded([] { return movarin::python::initialise(); });
}
