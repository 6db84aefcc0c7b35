#include "python/read_spectrum.hpp"

#include <cmath>
#include <utility>

#include "runtime/text.hpp"
#include "python/array_buffer.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"
#include "runtime/result.hpp"

namespace movarin::python {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

std::optional<Complex> read_complex(PyObject* item) {
  const Py_complex value = PyComplex_AsCComplex(item);
  if (value.real == -1.0 && PyErr_Occurred()) return std::nullopt;
  return Complex{value.real, value.imag};
}

// frame[name]; a null Ref when the lookup raises, whose error is discarded. Empty, with the Python
// exception set, only when the key itself cannot be made.
std::optional<Ref> look_up(PyObject* frame, std::string_view name) {
  Ref key = to_python_str(name);
  if (!key) return std::nullopt;
  Ref column(PyObject_GetItem(frame, key.get()));
  if (!column) PyErr_Clear();
  return column;
}

// --- Two sequences -----------------------------------------------------------------------------

std::optional<Spectrum> read_two_sequences(PyObject* frequencies_object,
                                           PyObject* impedances_object) {
  std::optional<std::vector<double>> frequencies = read_float_sequence(frequencies_object);
  if (!frequencies) return std::nullopt;
  std::optional<std::vector<Complex>> impedances = read_complex_sequence(impedances_object);
  if (!impedances) return std::nullopt;
  if (frequencies->size() != impedances->size()) {
    raise_value_error("frequencies and impedances must have the same length");
    return std::nullopt;
  }
  return Spectrum{std::move(*frequencies), std::move(*impedances)};
}

// --- Dataframes --------------------------------------------------------------------------------

// Every column a frame may provide. All of them are read before any is chosen, so a column that is
// present but not numeric fails the conversion even where it would not be used.
struct FrameColumns {
  Column frequency;
  FoundColumn real;
  FoundColumn imaginary;
  FoundColumn modulus;
  FoundColumn phase;
};

std::optional<FrameColumns> read_frame_columns(PyObject* frame) {
  std::optional<FoundColumn> frequency = read_column(frame, kFrequencyColumn);
  if (!frequency) return std::nullopt;
  if (!*frequency) {
    raise_value_error("expected a dataframe with a " + render_column_pair(kFrequencyColumn) +
                      " column, or frequencies and impedances as two arguments");
    return std::nullopt;
  }
  FrameColumns columns{std::move(**frequency), {}, {}, {}, {}};
  const std::pair<FoundColumn*, const ColumnPair*> impedance_columns[] = {
      {&columns.real, &kRealColumn},
      {&columns.imaginary, &kImaginaryColumn},
      {&columns.modulus, &kModulusColumn},
      {&columns.phase, &kPhaseColumn},
  };
  for (const auto& [column, pair] : impedance_columns) {
    std::optional<FoundColumn> found = read_column(frame, *pair);
    if (!found) return std::nullopt;
    *column = std::move(*found);
  }
  return columns;
}

// A frame's impedances and the two column pairs they were made from.
struct FrameImpedances {
  std::vector<Complex> values;
  const ColumnPair* first_source;
  const ColumnPair* second_source;
};

std::vector<Complex> from_real_and_imaginary(const std::vector<double>& real,
                                             const std::vector<double>& imaginary) {
  std::vector<Complex> values(real.size());
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = Complex{real[i], imaginary[i]};
  return values;
}

// The phase is the argument of the impedance itself, in degrees.
std::vector<Complex> from_modulus_and_phase(const std::vector<double>& modulus,
                                            const std::vector<double>& phase) {
  std::vector<Complex> values(modulus.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double theta = phase[i] * kDegreesToRadians;
    values[i] = Complex{modulus[i] * std::cos(theta), modulus[i] * std::sin(theta)};
  }
  return values;
}

// Real and imaginary parts when the frame has both, else modulus and phase.
Result<FrameImpedances, std::string> frame_impedances(const FrameColumns& columns) {
  if (columns.real && columns.imaginary) {
    if (columns.real->values.size() != columns.imaginary->values.size()) {
      return fail(std::string("real and imaginary impedance columns must have the same length"));
    }
    return FrameImpedances{from_real_and_imaginary(columns.real->values, columns.imaginary->values),
                           &kRealColumn, &kImaginaryColumn};
  }
  if (columns.modulus && columns.phase) {
    if (columns.modulus->values.size() != columns.phase->values.size()) {
      return fail(std::string("absolute impedance and phase columns must have the same length"));
    }
    return FrameImpedances{from_modulus_and_phase(columns.modulus->values, columns.phase->values),
                           &kModulusColumn, &kPhaseColumn};
  }
  return fail("no impedance columns: expected " + render_column_pair(kRealColumn) +
              " together with " + render_column_pair(kImaginaryColumn) + ", or " +
              render_column_pair(kModulusColumn) + " together with " +
              render_column_pair(kPhaseColumn));
}

// Keeps, in order, the rows measured at a positive frequency; NaN is not positive. The rows are
// moved down in place, so a large frame is not copied again.
void drop_rows_without_positive_frequency(Spectrum& spectrum) {
  std::vector<double>& frequencies = spectrum.frequencies;
  std::vector<Complex>& impedances = spectrum.impedances;
  std::vector<std::size_t>& rows = spectrum.source_rows;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < frequencies.size(); ++i) {
    if (frequencies[i] > 0.0) {
      if (kept != i) {
        // Past a dropped row, point numbers and row numbers differ: record them from here on.
        if (rows.empty()) {
          rows.resize(kept);
          for (std::size_t k = 0; k < kept; ++k) rows[k] = k;
        }
        rows.push_back(i);
      }
      frequencies[kept] = frequencies[i];
      impedances[kept] = impedances[i];
      ++kept;
    }
  }
  frequencies.resize(kept);
  impedances.resize(kept);
}

Result<Spectrum, std::string> spectrum_from_frame(FrameColumns columns) {
  Result<FrameImpedances, std::string> impedances = frame_impedances(columns);
  if (!impedances) return fail(impedances.error());
  FrameImpedances& source = impedances.value();
  const std::size_t rows = columns.frequency.values.size();
  if (rows != source.values.size()) {
    return fail("frequency column has " + std::to_string(rows) + " rows but " +
                render_column_pair(*source.first_source) + " and " +
                render_column_pair(*source.second_source) + " have " +
                std::to_string(source.values.size()));
  }
  Spectrum spectrum{std::move(columns.frequency.values), std::move(source.values)};
  drop_rows_without_positive_frequency(spectrum);
  if (spectrum.frequencies.empty()) {
    return fail("no measured points: every row of the " + render_column_pair(kFrequencyColumn) +
                " column is zero or negative");
  }
  return spectrum;
}

std::optional<Spectrum> read_dataframe(PyObject* frame) {
  std::optional<FrameColumns> columns = read_frame_columns(frame);
  if (!columns) return std::nullopt;
  Result<Spectrum, std::string> spectrum = spectrum_from_frame(std::move(*columns));
  if (!spectrum) {
    raise_value_error(spectrum.error());
    return std::nullopt;
  }
  return std::move(spectrum).value();
}

}  // namespace

std::string render_column_pair(const ColumnPair& pair) {
  return quote(pair.first) + " or " + quote(pair.second);
}

std::optional<FoundColumn> read_column(PyObject* frame, const ColumnPair& pair) {
  for (const std::string_view name : {pair.first, pair.second}) {
    std::optional<Ref> column = look_up(frame, name);
    if (!column) return std::nullopt;
    if (!*column) continue;
    std::optional<std::vector<double>> values = read_float_sequence(column->get());
    if (!values) {
      PyErr_Clear();
      raise_value_error("column " + quote(name) + " is not numeric");
      return std::nullopt;
    }
    return FoundColumn(Column{name, std::move(*values)});
  }
  return FoundColumn();
}

std::optional<std::vector<Complex>> read_complex_sequence(PyObject* object) {
  if (!check_sequence(object)) return std::nullopt;
  if (auto values = copy_complex_array(object)) return values;
  return read_each_item<Complex>(object, read_complex);
}

std::optional<Spectrum> read_spectrum(PyObject* frequencies, PyObject* impedances) {
  if (impedances != nullptr) return read_two_sequences(frequencies, impedances);
  return read_dataframe(frequencies);
}

std::optional<std::vector<double>> read_impedance_frequencies(PyObject* frequencies) {
  if (auto values = read_float_sequence(frequencies)) return values;
  PyErr_Clear();
  std::optional<FoundColumn> column = read_column(frequencies, kFrequencyColumn);
  if (!column) return std::nullopt;
  if (!*column) {
    raise_value_error("expected a sequence of frequencies, or a dataframe with a " +
                      render_column_pair(kFrequencyColumn) + " column");
    return std::nullopt;
  }
  return std::move((*column)->values);
}

}  // namespace movarin::python
