#pragma once
// The fourteen element kinds: codes, parameters, units, bounds, placeholders and impedances.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "elements/complex.hpp"

namespace movarin {

enum class ElementKind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr std::size_t kKindCount = 14;
inline constexpr std::size_t kMaxParams = 4;

struct Bounds {
  double lo;
  double hi;
};

struct KindInfo {
  std::string_view name;
  std::size_t param_count;
  std::array<std::string_view, kMaxParams> param_names;
  std::array<std::string_view, kMaxParams> units;
  std::array<double, kMaxParams> placeholders;
};

// One code spelling per kind, in catalogue order, as the grammar help lists them.
inline constexpr std::array<std::string_view, kKindCount> kCodes = {
    "R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T"};

const KindInfo& kind_info(ElementKind kind);
ElementKind kind_at(std::size_t catalogue_index);
inline std::size_t catalogue_index(ElementKind kind) {
  return static_cast<std::size_t>(kind);
}

// Exact, case-sensitive: "CPE" and "TLMQ" are the only alternative spellings.
std::optional<ElementKind> lookup_code(std::string_view text);

// Decided by the parameter's name alone.
Bounds default_bounds(std::string_view param_name);

struct Element {
  ElementKind kind;
  std::array<double, kMaxParams> values;  // the first kind_info(kind).param_count are meaningful
};

Element placeholder_element(ElementKind kind);

Complex complex_sqrt(Complex z);
Complex complex_powf(Complex z, double p);
Complex guarded_tanh(Complex z);

// Reads exactly kind_info(kind).param_count values from `values`.
Complex element_impedance(ElementKind kind, double omega, const double* values);

// Whether the kind's impedance takes ln omega (a fractional power of the frequency).
bool reads_log_frequency(ElementKind kind);

// ln omega[i] into out[i], the logarithm every evaluation uses: within a few ulp of std::log for
// positive normal numbers, and std::log itself for the others.
void log_frequencies(std::span<const double> omega, double* out);

// Adds element_impedance(kind, omega[i], values) to out[i] for every i, bit for bit, with what
// does not depend on the frequency worked out once for the whole block. `log_omega` holds
// log_frequencies(omega), or is empty (then worked out here where the kind needs it).
void add_element_impedances(ElementKind kind, const double* values, std::span<const double> omega,
                            std::span<const double> log_omega, ComplexColumns out);
void add_element_impedances(ElementKind kind, const double* values, std::span<const double> omega,
                            ComplexColumns out);

}  // namespace movarin
