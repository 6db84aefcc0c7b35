#pragma once
// Circuit.fit(): from Python arguments through the starting values and the fit driver to a
// FitResult. An entry of Circuit's method table.

#include <Python.h>

namespace movarin::python {

PyObject* fit_method(PyObject* self, PyObject* args, PyObject* kwargs);

// The docstring: the signature line, rendered from the parameter table with the defaults of
// FitSettings{}, then the description.
const char* fit_doc() noexcept;
inline const char* const kFitDoc = fit_doc();

}  // namespace movarin::python
