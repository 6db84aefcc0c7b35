#include "python/convert.hpp"

#include <cstring>
#include <exception>

#include "python/errors.hpp"

namespace movarin::python {
namespace {

// A one-dimensional C-contiguous buffer of native doubles, copied in one go; empty when the
// object exports no such buffer.
std::optional<std::vector<double>> copy_double_buffer(PyObject* object) {
  if (!PyObject_CheckBuffer(object)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<std::vector<double>> values;
  const bool native_doubles =
      view.ndim == 1 && view.itemsize == sizeof(double) && view.format != nullptr &&
      (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "@d") == 0);
  if (native_doubles) {
    const auto* first = static_cast<const double*>(view.buf);
    values.emplace(first, first + view.len / static_cast<Py_ssize_t>(sizeof(double)));
  }
  PyBuffer_Release(&view);
  return values;
}

// Room for the announced length; a failing or absurd length is not an error.
void reserve_announced_length(std::vector<double>& values, PyObject* object) {
  const Py_ssize_t length = PyObject_Length(object);
  if (length < 0) {
    PyErr_Clear();
    return;
  }
  try {
    values.reserve(static_cast<std::size_t>(length));
  } catch (const std::exception&) {
    // A length that cannot be reserved is only a hint; the items decide the size.
  }
}

std::optional<std::vector<double>> read_each_item(PyObject* object) {
  std::vector<double> values;
  reserve_announced_length(values, object);
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  while (Ref item{PyIter_Next(iterator.get())}) {
    const std::optional<double> value = read_double(item.get());
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return values;
}

}  // namespace

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
  if (auto values = copy_double_buffer(object)) return values;
  return read_each_item(object);
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
