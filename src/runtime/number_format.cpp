#include "runtime/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace movarin {
namespace {

std::string shortest(double x, std::chars_format format) {
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, format);
  return std::string(buffer, result.ptr);
}

// "2.5e+06" -> "2.5e6", "1e-05" -> "1e-5".
std::string tidy_exponent(std::string_view text) {
  const std::size_t e = text.find('e');
  if (e == std::string_view::npos) return std::string(text);
  std::string out(text.substr(0, e + 1));
  std::size_t i = e + 1;
  if (text[i] == '+') {
    ++i;
  } else if (text[i] == '-') {
    out += '-';
    ++i;
  }
  while (i + 1 < text.size() && text[i] == '0') ++i;
  out += text.substr(i);
  return out;
}

std::string exponent_form(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return tidy_exponent(shortest(x, std::chars_format::scientific));
}

}  // namespace

std::string format_compact_number(double x) {
  const double a = std::fabs(x);
  if (a == 0.0 || std::isinf(a) || (a >= 1e-4 && a < 1e6)) {
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return shortest(x, std::chars_format::fixed);
  }
  return exponent_form(x);
}

std::string format_debug_number(double x) {
  const double a = std::fabs(x);
  if (a == 0.0 || (a >= 1e-4 && a < 1e16)) {
    std::string text = shortest(x, std::chars_format::fixed);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  return exponent_form(x);
}

std::string format_exponent6(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6e", x);
  return tidy_exponent(buffer);
}

}  // namespace movarin
