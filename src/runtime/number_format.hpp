#pragma once
// Renderings of doubles used in listings and representations.

#include <string>

namespace movarin {

// Positional for 0, infinities and 1e-4 <= |x| < 1e6 ("1", "0.001"), else shortest exponent form
// ("1e-12", "2.5e6", "NaN").
std::string format_compact_number(double x);

// Positional with at least one fractional digit for 0 and 1e-4 <= |x| < 1e16 ("100.0"), else the
// exponent form of format_compact_number.
std::string format_debug_number(double x);

// Exactly six fractional digits in exponent form, correctly rounded ("1.234568e-3", "0.000000e0").
std::string format_exponent6(double x);

}  // namespace movarin
