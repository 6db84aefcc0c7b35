#pragma once
// The FitResult class: the outcome of a fit, as Python sees it.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"

namespace movarin::python {

struct FitRecord {
  SeriesList fitted;  // the input circuit rebuilt with the fitted values
  std::vector<std::string> names;
  std::vector<double> params;
  std::optional<std::vector<double>> standard_errors;  // `stderr` in Python
  bool success = false;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
};

// Created on first use; null with a Python exception if that fails.
PyTypeObject* fit_result_type();

// A new FitResult; null with a Python exception on failure.
PyObject* make_fit_result(FitRecord record);

}  // namespace movarin::python
