#pragma once
// The Element base class and its fourteen kind classes Element_R ... Element_T.

#include <Python.h>

#include "elements/catalogue.hpp"

namespace movarin::python {

struct ElementObject {
  PyObject ob_base;
  movarin::Element element;
};

// The Element base class, created with the kind classes on first use; null with a Python
// exception if that fails.
PyTypeObject* element_type();

// The element held by an instance of a kind class; null for every other object, including
// instances of Python subclasses of Element (which hold none).
const movarin::Element* held_element(PyObject* object);

// TypeError "No constructor defined for <type name>", the tp_new of classes that only the module
// itself instantiates.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace movarin::python
