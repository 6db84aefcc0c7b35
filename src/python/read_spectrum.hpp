#pragma once
// Measured spectra from Python objects: frequencies and impedances as two sequences, or one
// dataframe with the battery data format's column names. Everything is read through the sequence,
// iteration, item-access and number protocols, so no dataframe library is needed. On failure a
// function returns an empty result with the Python exception set.

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elements/measured_points.hpp"

namespace movarin::python {

// The two accepted names of a dataframe column, tried in this order.
struct ColumnPair {
  std::string_view first;
  std::string_view second;
};

inline constexpr ColumnPair kFrequencyColumn{"Frequency / Hz", "frequency_hertz"};
inline constexpr ColumnPair kRealColumn{"Real Impedance / ohm", "real_impedance_ohm"};
inline constexpr ColumnPair kImaginaryColumn{"Imaginary Impedance / ohm",
                                             "imaginary_impedance_ohm"};
inline constexpr ColumnPair kModulusColumn{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
inline constexpr ColumnPair kPhaseColumn{"Phase / deg", "phase_degree"};

// Both names, each quoted, joined by " or ", as messages show a column.
std::string render_column_pair(const ColumnPair& pair);

// A column found in a dataframe, with the name it was found under.
struct Column {
  std::string_view name;
  std::vector<double> values;
};
// A column lookup that did not fail: the column, or nothing when the frame has neither name.
using FoundColumn = std::optional<Column>;

// frame[first name], else frame[second name] (lookup errors are discarded), read with the
// float-sequence rule. Fails with ValueError "column <name> is not numeric" when the column is
// present but cannot be read.
std::optional<FoundColumn> read_column(PyObject* frame, const ColumnPair& pair);

// Each item through the complex protocol; the first failing item's error passes on unchanged.
std::optional<std::vector<Complex>> read_complex_sequence(PyObject* object);

// Two sequences when `impedances` is not null; otherwise `frequencies` is a dataframe, whose rows
// with a frequency that is not positive are dropped. Errors are raised as they are, without naming
// an argument.
std::optional<Spectrum> read_spectrum(PyObject* frequencies, PyObject* impedances);

// The frequencies argument of Circuit.impedance(): a sequence of floats or, when that cannot be
// read, a dataframe's whole frequency column.
std::optional<std::vector<double>> read_impedance_frequencies(PyObject* frequencies);

}  // namespace movarin::python
