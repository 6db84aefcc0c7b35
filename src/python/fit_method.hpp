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

// Circuit._fit(): fit()'s arguments plus `fixed` (one flag per parameter) and `bounds` (one
// (lo, hi) pair per parameter), the private entry of movarin_tools' constrained fits.
PyObject* constrained_fit_method(PyObject* self, PyObject* args, PyObject* kwargs);
const char* constrained_fit_doc() noexcept;
inline const char* const kConstrainedFitDoc = constrained_fit_doc();

}  // namespace movarin::python
