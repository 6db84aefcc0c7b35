#pragma once
// The module functions Series(parts) and Parallel(parts).

#include <Python.h>

namespace movarin::python {

extern PyMethodDef series_function;
extern PyMethodDef parallel_function;

}  // namespace movarin::python
