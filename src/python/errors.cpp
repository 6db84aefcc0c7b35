#include "python/errors.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace movarin::python {
namespace {

// The pending exception as one object, with its traceback attached; clears the error indicator.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
#endif
}

}  // namespace

Ref type_name(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref name(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  // A metaclass without a usable __qualname__: fall back to the C-level name.
  PyErr_Clear();
  return Ref(PyUnicode_FromString(Py_TYPE(object)->tp_name));
}

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "not enough memory for the arrays of this call");
  } catch (const std::length_error&) {
    // A container asked for more elements than it can hold; its own text names library internals.
    PyErr_SetString(PyExc_MemoryError,
                    "an array of this call would be larger than can be allocated");
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal failure");
  }
}

PyObject* raise_value_error(std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_type_error(std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return nullptr;
}

void raise_downcast_error(PyObject* object, const char* target) {
  Ref name = type_name(object);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

bool on_main_thread() {
  static const unsigned long main_thread = [] {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    unsigned long read = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    // Without an answer no thread counts as the main one, so none is ever interrupted.
    if (PyErr_Occurred()) {
      PyErr_Clear();
      read = 0;
    }
    return read;
  }();
  return main_thread != 0 && PyThread_get_thread_ident() == main_thread;
}

bool run_signal_handlers(void* watch) {
  SignalWatch& w = *static_cast<SignalWatch*>(watch);
  PyEval_RestoreThread(w.released);
  const bool raised = PyErr_CheckSignals() < 0;
  if (raised) w.raised = take_raised_exception();
  w.released = PyEval_SaveThread();
  return raised;
}

PyObject* restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
  return nullptr;
}

void name_argument_in_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = take_raised_exception();
  Ref text(PyObject_Str(original.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), original.release());
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace movarin::python
