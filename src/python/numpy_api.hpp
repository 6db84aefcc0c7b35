#pragma once
// The NumPy C API, reached through a table that numpy_array.cpp fills on first use (NumPy is never
// imported when the module is). Every unit that calls NumPy includes this header.

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL movarin_numpy_api
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>
