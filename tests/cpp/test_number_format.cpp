#include <doctest/doctest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "runtime/number_format.hpp"

using movarin::format_compact_number;

namespace {

// The shortest round-trip digits from the standard library, with the exponent written as
// "e", an optional minus and no leading zeros.
std::string shortest_reference(double x, bool positional) {
  char buffer[400];
  const auto format = positional ? std::chars_format::fixed : std::chars_format::scientific;
  const std::string text(buffer, std::to_chars(buffer, buffer + sizeof buffer, x, format).ptr);
  if (positional) return text;
  const std::size_t e = text.find('e');
  return text.substr(0, e) + "e" + std::to_string(std::stoi(text.substr(e + 1)));
}

}  // namespace

TEST_CASE("format_compact_number: examples") {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string> rows[] = {
      {1e-12, "1e-12"},
      {1, "1"},
      {0.0001, "0.0001"},
      {0.00009, "9e-5"},
      {999999, "999999"},
      {999999.5, "999999.5"},
      {1000000, "1e6"},
      {-1000000, "-1e6"},
      {inf, "inf"},
      {-inf, "-inf"},
      {0.0, "0"},
      {-0.0, "-0"},
      {0.001, "0.001"},
      {250000, "250000"},
      {2.5e6, "2.5e6"},
      {-3.2e-7, "-3.2e-7"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {-123456.789, "-123456.789"},
      {1e300, "1e300"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {1.5e-5, "1.5e-5"},
      {std::nextafter(1e6, 0.0), "999999.9999999999"},
      {std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
  };
  for (const auto& [x, expected] : rows) {
    CAPTURE(expected);
    CHECK(format_compact_number(x) == expected);
  }
}

TEST_CASE("format_compact_number: shortest text that reads back, in the right notation") {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  std::uniform_int_distribution<int> exponent(-320, 307);
  for (int i = 0; i < 20000; ++i) {
    const double x = (i % 2 ? -1 : 1) * mantissa(random) * std::pow(10.0, exponent(random));
    const std::string text = format_compact_number(x);
    CAPTURE(x);
    CAPTURE(text);
    REQUIRE(std::strtod(text.c_str(), nullptr) == x);
    const double a = std::fabs(x);
    const bool positional = a == 0.0 || (a >= 1e-4 && a < 1e6);
    REQUIRE((text.find('e') == std::string::npos) == positional);
    CHECK(text == shortest_reference(x, positional));
  }
}
