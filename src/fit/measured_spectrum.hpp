#pragma once
// A measured spectrum: frequencies in hertz and complex impedances in ohm, of equal length.

#include <vector>

#include "elements/complex.hpp"

namespace movarin {

struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

}  // namespace movarin
