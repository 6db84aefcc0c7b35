#include "python/convert.hpp"

#include "python/array_buffer.hpp"
#include "python/errors.hpp"

namespace movarin::python {

bool parse_single_argument(PyObject* args, PyObject* kwargs, const char* format, const char* name,
                           PyObject** argument) {
  const char* keywords[] = {name, nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     argument) != 0;
}

std::optional<double> read_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return value;
}

std::size_t announced_length(PyObject* object) {
  const Py_ssize_t length = PyObject_Length(object);
  if (length >= 0) return static_cast<std::size_t>(length);
  PyErr_Clear();
  return 0;
}

bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_downcast_error(object, "Sequence");
    return false;
  }
  return true;
}

std::optional<std::vector<double>> read_float_sequence(PyObject* object) {
  if (!check_sequence(object)) return std::nullopt;
  if (auto values = copy_float64_array(object)) return values;
  return read_each_item<double>(object, read_double);
}

std::optional<std::vector<double>> read_float_sequence_argument(PyObject* object,
                                                                const char* name) {
  auto values = read_float_sequence(object);
  if (!values) name_argument_in_type_error(name);
  return values;
}

std::optional<std::string_view> utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

Ref to_python_str(std::string_view text) {
  return Ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

template <class Items, class Convert>
Ref to_python_list(const Items& items, Convert convert) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    Ref item = convert(items[i]);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace

Ref to_python_str_list(const std::vector<std::string>& items) {
  return to_python_list(items, [](const std::string& item) { return to_python_str(item); });
}

Ref to_python_str_list(const std::vector<std::string_view>& items) {
  return to_python_list(items, [](std::string_view item) { return to_python_str(item); });
}

Ref to_python_float_list(const std::vector<double>& values) {
  return to_python_list(values, [](double value) { return Ref(PyFloat_FromDouble(value)); });
}

}  // namespace movarin::python
