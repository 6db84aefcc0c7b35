#pragma once
// Turning failures into Python exceptions at the binding boundary.

#include <Python.h>

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "python/handle.hpp"

namespace movarin::python {

// Sets the Python exception for the C++ exception being handled: MemoryError for std::bad_alloc,
// RuntimeError with what() for any other. Call only inside a catch block.
void raise_from_current_exception();

// Runs the body of a Python entry point; no C++ exception escapes into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// Always returns null, so entry points can `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);

// __qualname__ of the object's type, as messages name it.
Ref type_name(PyObject* object);

// The standard message for an object of the wrong type, e.g.
// "'int' object cannot be converted to 'Sequence'".
void raise_downcast_error(PyObject* object, const char* target);

// Re-raises a pending TypeError as "argument '<name>': <its text>", caused by the original; other
// exceptions stay as they are.
void name_argument_in_type_error(const char* name);

// Runs `work` with the interpreter lock released. The work must not touch Python objects; a C++
// exception it throws is rethrown once the lock is held again.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try { result.emplace(work()); } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace movarin::python
