#include "elements/measured_points.hpp"

#include <cmath>

#include "runtime/number_format.hpp"

namespace movarin {
namespace {

bool is_usable_frequency(double f) {
  return std::isfinite(f) && f > 0.0;
}

bool is_usable_impedance(Complex z) {
  return std::isfinite(z.re) && std::isfinite(z.im);
}

std::string format_complex(Complex z) {
  const std::string imaginary = format_compact_number(z.im);
  const bool signed_part = !imaginary.empty() && (imaginary[0] == '-' || imaginary[0] == '+');
  return format_compact_number(z.re) + (signed_part ? "" : "+") + imaginary + "j";
}

}  // namespace

std::optional<UnusableRow> first_unusable_row(const Spectrum& spectrum) {
  const std::size_t n = std::min(spectrum.frequencies.size(), spectrum.impedances.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double f = spectrum.frequencies[i];
    const Complex z = spectrum.impedances[i];
    const std::size_t row = spectrum.source_rows.empty() ? i : spectrum.source_rows[i];
    if (!is_usable_frequency(f)) return UnusableRow{UnusableRow::Kind::Frequency, row, f, z};
    if (!is_usable_impedance(z)) return UnusableRow{UnusableRow::Kind::Impedance, row, f, z};
  }
  return std::nullopt;
}

std::string message(const UnusableRow& row) {
  const std::string where = "row " + std::to_string(row.row) + " cannot be fitted: ";
  switch (row.kind) {
    case UnusableRow::Kind::Frequency:
      return where + "frequency " + format_compact_number(row.frequency) +
             " is not a finite positive number";
    case UnusableRow::Kind::Impedance:
      return where + "impedance " + format_complex(row.impedance) + " is not finite";
  }
  return where;
}

}  // namespace movarin
