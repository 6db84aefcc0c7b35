#pragma once
// NumPy arrays built from vectors the core returns.

#include <Python.h>

#include <vector>

#include "elements/complex.hpp"

namespace movarin::python {

// Imports NumPy's C API once; false with a Python exception when NumPy cannot be used.
bool import_numpy_api();

// A writeable one-dimensional complex128 array that takes over the vector's buffer without
// copying. Imports NumPy on first use. Null with a Python exception on failure.
PyObject* complex_array(std::vector<Complex> values);

}  // namespace movarin::python
