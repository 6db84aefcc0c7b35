#pragma once
// Whole-buffer copies out of NumPy arrays, the fast path of the sequence rules.
//
// The sequence rules read items one by one through iteration and the number protocols. For an exact
// NumPy array holding native float64 or complex128 values in one C-contiguous row, iteration yields
// exactly the buffer's elements, in order, so copying the memory gives the same values. Anything
// else is left to the item-by-item rule: other formats, byte orders, strides or dimensions, other
// buffer exporters, and ndarray subclasses, which may override item access (a masked array yields
// its masked items as NaN while its buffer still holds the hidden values).

#include <Python.h>

#include <optional>
#include <vector>

#include "elements/complex.hpp"

namespace movarin::python {

// The values of a one-dimensional float64 array; empty, with no Python error, for any other object.
std::optional<std::vector<double>> copy_float64_array(PyObject* object);

// The values of a one-dimensional complex128 array, or of a float64 array with zero imaginary
// parts; empty, with no Python error, for any other object.
std::optional<std::vector<Complex>> copy_complex_array(PyObject* object);

}  // namespace movarin::python
