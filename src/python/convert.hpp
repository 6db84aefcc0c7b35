#pragma once
// Conversions between Python objects and plain values, shared by every entry point. On failure a
// function returns an empty result (or null) with the Python exception set.

#include <Python.h>

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
