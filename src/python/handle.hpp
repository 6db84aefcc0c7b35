#pragma once
// An owned Python reference that is released exactly once.

#include <Python.h>

#include <utility>

namespace movarin::python {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (or null, leaving the Python error in place).
  explicit Ref(PyObject* owned) : object_(owned) {}
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref taken(std::move(other));
    std::swap(object_, taken.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller, e.g. as a function's result.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace movarin::python
