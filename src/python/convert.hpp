#pragma once
// Conversions between Python objects and plain values, shared by every entry point. On failure a
// function returns an empty result (or null) with the Python exception set.

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/handle.hpp"

namespace movarin::python {

// Binds the one required positional-or-keyword argument of a function; `format` is "O:<function>".
bool parse_single_argument(PyObject* args, PyObject* kwargs, const char* format, const char* name,
                           PyObject** argument);

// The float protocol: an exact float as it is, anything else through __float__ / __index__.
std::optional<double> read_double(PyObject* object);

// Refuses a str ("Can't extract `str` to `Vec`") and any non-sequence with a TypeError.
bool check_sequence(PyObject* object);

// The announced length of a sequence, as a hint for reserving room: 0 when the query fails (its
// error is discarded).
std::size_t announced_length(PyObject* object);

// The most items reserved from an announced length.
inline constexpr std::size_t kMostItemsReservedAhead = std::size_t{1} << 20;

// Iterates a sequence and converts each item with `read_item`, which returns an empty optional with
// the Python exception set when the item cannot be converted. The first failing item, or a failing
// iterator, ends the walk with its error unchanged.
template <class Value, class ReadItem>
std::optional<std::vector<Value>> read_each_item(PyObject* object, ReadItem read_item) {
  std::vector<Value> values;
  // The length is only a hint and may lie, so no more than a bounded room is reserved ahead; the
  // items decide the size.
  values.reserve(std::min(announced_length(object), kMostItemsReservedAhead));
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  while (Ref item{PyIter_Next(iterator.get())}) {
    std::optional<Value> value = read_item(item.get());
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return values;
}

// A sequence of numbers, each read with the float protocol; the first failing item's error passes
// on unchanged.
std::optional<std::vector<double>> read_float_sequence(PyObject* object);

// read_float_sequence for a named argument: a TypeError names the argument.
std::optional<std::vector<double>> read_float_sequence_argument(PyObject* object, const char* name);

// The UTF-8 text of a str; the view lives as long as the str.
std::optional<std::string_view> utf8_view(PyObject* text);

Ref to_python_str(std::string_view text);
Ref to_python_str_list(const std::vector<std::string>& items);
Ref to_python_str_list(const std::vector<std::string_view>& items);
Ref to_python_float_list(const std::vector<double>& values);

}  // namespace movarin::python
