#pragma once
// The Circuit class: an immutable circuit tree with its explicit-values flag.

#include <Python.h>

#include <cstddef>

#include "circuit/tree.hpp"

namespace movarin::python {

struct CircuitObject {
  PyObject ob_base;
  SeriesList series;
  // The values were supplied by the user rather than being placeholders; read by fit().
  bool explicit_values;
  // Parallel groups nested in the tree, kept so that Series/Parallel never walk it again.
  std::size_t nesting_depth;
};

// Created on first use; null with a Python exception if that fails.
PyTypeObject* circuit_type();

// A new Circuit; null with a Python exception on failure.
PyObject* make_circuit(SeriesList series, bool explicit_values, std::size_t nesting_depth);

// The Circuit behind an object, or null when it is not one.
const CircuitObject* as_circuit(PyObject* object);

}  // namespace movarin::python
