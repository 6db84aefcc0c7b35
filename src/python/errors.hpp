#pragma once
// Turning failures into Python exceptions at the binding boundary.

#include <Python.h>

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "python/handle.hpp"
#include "runtime/cancellation.hpp"

namespace movarin::python {

// Sets the Python exception for the C++ exception being handled: MemoryError for std::bad_alloc and
// std::length_error, RuntimeError with what() for any other. Call only inside a catch block.
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

// The calling thread's state while its interpreter lock is released, and the exception a signal
// handler raised meanwhile.
struct SignalWatch {
  PyThreadState* released = nullptr;
  Ref raised;
};

// The stop poll of interruptible work: takes the lock back for a moment to run the interpreter's
// pending signal handlers (only the main thread runs them), and asks to stop when one raises.
bool run_signal_handlers(void* watch);

// Whether the calling thread is the interpreter's main thread, the only one that runs signal
// handlers. Call with the interpreter lock held.
bool on_main_thread();

// As without_interpreter_lock, and on the main thread the work is stopped when a signal handler
// raises (SIGINT's KeyboardInterrupt, or _thread.interrupt_main()). The work must ask
// stop_requested() often; its result is then whatever it returns on stopping. The raised exception
// lands in `raised`, to be re-raised with restore_exception once the result is dropped. Another
// thread never takes the lock back before the work ends: no handler would run there, and an
// interpreter shutting down meanwhile ends any thread that asks for the lock.
template <class Work>
auto interruptible_without_interpreter_lock(Work&& work, Ref& raised) -> decltype(work()) {
  if (!on_main_thread()) return without_interpreter_lock(std::forward<Work>(work));
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  SignalWatch watch;
  watch.released = PyEval_SaveThread();
  try {
    const CancellationScope scope(run_signal_handlers, &watch);
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(watch.released);
  raised = std::move(watch.raised);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Makes `exception` the pending Python exception again; returns null.
PyObject* restore_exception(Ref exception);

}  // namespace movarin::python
