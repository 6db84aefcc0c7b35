#pragma once
// A measured spectrum: frequencies in hertz and complex impedances in ohm, of equal length.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "elements/complex.hpp"

namespace movarin {

struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
  // The input row of each point when rows were dropped on the way in; empty when point i is row i.
  std::vector<std::size_t> source_rows = {};
};

// The first point a fit cannot use: a frequency that is not finite and positive, or an impedance
// with a part that is not finite. `row` is the input row the point came from.
struct UnusableRow {
  enum class Kind { Frequency, Impedance };
  Kind kind;
  std::size_t row;
  double frequency;
  Complex impedance;
};
std::optional<UnusableRow> first_unusable_row(const Spectrum& spectrum);
std::string message(const UnusableRow& row);

}  // namespace movarin
