#include "elements/catalogue.hpp"

#include <cmath>
#include <limits>

namespace movarin {
namespace {

constexpr double kSaturation = 20.0;

constexpr std::array<KindInfo, kKindCount> kCatalogue = {{
    {"R", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", 1, {"c"}, {"F"}, {0.001}},
    {"L", 1, {"l"}, {"H"}, {1e-6}},
    {"La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {"W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {"Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {"Tlmq", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}},
    {"T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}},
}};

// The Laplace variable: its real part is the product 0*omega, which is -0 or NaN for some omega.
Complex laplace(double omega) {
  return {0.0 * omega, omega};
}

// coth(v) and csch(v) from the parts of v, both saturated when |re v| exceeds the threshold.
struct HyperbolicPair {
  Complex coth;
  Complex csch;
};

HyperbolicPair coth_and_csch(Complex v) {
  if (std::fabs(v.re) > kSaturation) return {{std::copysign(1.0, v.re), 0.0}, {0.0, 0.0}};
  const Complex sinh_v{std::sinh(v.re) * std::cos(v.im), std::cosh(v.re) * std::sin(v.im)};
  const Complex cosh_v{std::cosh(v.re) * std::cos(v.im), std::sinh(v.re) * std::sin(v.im)};
  return {cosh_v / sinh_v, reciprocal(sinh_v)};
}

Complex finite_length_warburg_open(const double* p, double omega) {
  const Complex u = complex_sqrt(p[1] * laplace(omega));
  return Complex{p[0], 0.0} / (u * guarded_tanh(u));
}

Complex finite_length_warburg_short(const double* p, double omega) {
  const Complex u = complex_sqrt(p[1] * laplace(omega));
  return (p[0] * guarded_tanh(u)) / u;
}

Complex gerischer_root(double tg, double omega) {
  return complex_sqrt(Complex{1.0 + tg * 0.0 * omega, tg * omega});
}

Complex transmission_line(const double* p, double omega) {
  const Complex v = complex_sqrt(Complex{p[2] + p[3] * 0.0 * omega, p[3] * omega});
  const HyperbolicPair h = coth_and_csch(v);
  return (p[0] * h.coth) / v + (p[1] * h.csch) / v;
}

// The four kinds with a fractional power, written once over the power function so that a block of
// frequencies can share what the power does not take from the frequency.
struct PlainPower {
  double p;
  Complex operator()(Complex z) const { return complex_powf(z, p); }
};

// complex_powf(z, p) for a fixed p. On the positive imaginary axis, z = (+0, y) with finite y > 0,
// hypot(z) is exactly y and atan2(z) exactly pi/2, so cos(p*pi/2) and sin(p*pi/2) are worked out
// once and only the power is left per point. Bitwise the same values as complex_powf.
class PowerOnImaginaryAxis {
 public:
  explicit PowerOnImaginaryAxis(double p)
      : p_(p), shortcut_(p != 1.0 && p != 0.5 && p != 0.0), cos_(0.0), sin_(0.0) {
    static const double right_angle = std::atan2(1.0, 0.0);
    if (shortcut_) {
      cos_ = std::cos(p * right_angle);
      sin_ = std::sin(p * right_angle);
    }
  }

  Complex operator()(Complex z) const {
    const bool on_axis = z.re == 0.0 && !std::signbit(z.re) && z.im > 0.0 &&
                         z.im <= std::numeric_limits<double>::max();
    if (!shortcut_ || !on_axis) return complex_powf(z, p_);
    const double modulus = std::pow(z.im, p_);
    return {modulus * cos_, modulus * sin_};
  }

 private:
  double p_;
  bool shortcut_;
  double cos_;
  double sin_;
};

template <class Power>
Complex fractional_inductor(const double* p, double omega, const Power& power) {
  return power(p[0] * laplace(omega));
}

template <class Power>
Complex constant_phase(const double* p, double omega, const Power& power) {
  return reciprocal(p[0] * power(laplace(omega)));
}

template <class Power>
Complex zarc(const double* p, double omega, const Power& power) {
  return Complex{p[0], 0.0} / (Complex{1.0, 0.0} + power(p[1] * laplace(omega)));
}

template <class Power>
Complex transmission_line_cpe(const double* p, double omega, const Power& power) {
  const double r_ion = p[0];
  const Complex zq = reciprocal(p[1] * power(laplace(omega)));
  const double zq_norm = zq.re * zq.re + zq.im * zq.im;
  const Complex a = complex_sqrt(r_ion * zq);
  const Complex b = complex_sqrt(Complex{r_ion * zq.re / zq_norm, -r_ion * zq.im / zq_norm});
  return a / guarded_tanh(b);
}

// Hands `use` the kind's impedance as a function of the angular frequency, with its parameters
// bound; fractional powers come from make_power(exponent).
template <class MakePower, class Use>
void with_formula(ElementKind kind, const double* p, const MakePower& make_power, const Use& use) {
  switch (kind) {
    case ElementKind::R:
      return use([p](double) { return Complex{p[0], 0.0}; });
    case ElementKind::C:
      return use([p](double w) { return reciprocal(p[0] * laplace(w)); });
    case ElementKind::L:
      return use([p](double w) { return p[0] * laplace(w); });
    case ElementKind::La: {
      const auto power = make_power(p[1]);
      return use([p, &power](double w) { return fractional_inductor(p, w, power); });
    }
    case ElementKind::Cpe: {
      const auto power = make_power(p[1]);
      return use([p, &power](double w) { return constant_phase(p, w, power); });
    }
    case ElementKind::W:
      return use([p](double w) { return Complex{p[0], -p[0]} / Complex{std::sqrt(w), 0.0}; });
    case ElementKind::Wo:
      return use([p](double w) { return finite_length_warburg_open(p, w); });
    case ElementKind::Ws:
      return use([p](double w) { return finite_length_warburg_short(p, w); });
    case ElementKind::G:
      return use([p](double w) { return Complex{p[0], 0.0} / gerischer_root(p[1], w); });
    case ElementKind::Gs:
      return use([p](double w) {
        const Complex v = gerischer_root(p[1], w);
        return Complex{p[0], 0.0} / (v * guarded_tanh(p[2] * v));
      });
    case ElementKind::K:
      return use([p](double w) {
        return Complex{p[0], 0.0} / Complex{1.0 + p[1] * 0.0 * w, p[1] * w};
      });
    case ElementKind::Zarc: {
      const auto power = make_power(p[2]);
      return use([p, &power](double w) { return zarc(p, w, power); });
    }
    case ElementKind::Tlmq: {
      const auto power = make_power(p[2]);
      return use([p, &power](double w) { return transmission_line_cpe(p, w, power); });
    }
    case ElementKind::T:
      return use([p](double w) { return transmission_line(p, w); });
  }
}

}  // namespace

const KindInfo& kind_info(ElementKind kind) {
  return kCatalogue[catalogue_index(kind)];
}

ElementKind kind_at(std::size_t index) {
  return static_cast<ElementKind>(index);
}

std::optional<ElementKind> lookup_code(std::string_view text) {
  if (text == "CPE") return ElementKind::Cpe;
  if (text == "TLMQ") return ElementKind::Tlmq;
  for (std::size_t i = 0; i < kKindCount; ++i) {
    if (kCatalogue[i].name == text) return kind_at(i);
  }
  return std::nullopt;
}

Bounds default_bounds(std::string_view param_name) {
  if (param_name == "alpha" || param_name == "gamma") return {0.0, 1.0};
  return {1e-12, std::numeric_limits<double>::infinity()};
}

Element placeholder_element(ElementKind kind) {
  return {kind, kind_info(kind).placeholders};
}

Complex complex_sqrt(Complex z) {
  const double x = z.re;
  const double y = z.im;
  if (y == 0.0) {
    if (!std::signbit(x)) return {std::sqrt(x), y};
    return {0.0, std::signbit(y) ? -std::sqrt(-x) : std::sqrt(-x)};
  }
  if (x == 0.0) {
    const double t = std::sqrt(std::fabs(y) * 0.5);
    return {t, y > 0.0 ? t : -t};
  }
  const double root_modulus = std::sqrt(std::hypot(x, y));
  const double half_angle = std::atan2(y, x) * 0.5;
  return {root_modulus * std::cos(half_angle), root_modulus * std::sin(half_angle)};
}

Complex complex_powf(Complex z, double p) {
  if (p == 1.0) return z;
  if (p == 0.5) return complex_sqrt(z);
  if (p == 0.0) return {1.0, 0.0};
  const double modulus = std::pow(std::hypot(z.re, z.im), p);
  const double angle = std::atan2(z.im, z.re);
  return {modulus * std::cos(p * angle), modulus * std::sin(p * angle)};
}

Complex guarded_tanh(Complex z) {
  if (std::fabs(z.re) > kSaturation) return {std::copysign(1.0, z.re), 0.0};
  const double denominator = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
  return {std::sinh(2.0 * z.re) / denominator, std::sin(2.0 * z.im) / denominator};
}

Complex element_impedance(ElementKind kind, double omega, const double* p) {
  Complex z{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  with_formula(
      kind, p, [](double exponent) { return PlainPower{exponent}; },
      [&](const auto& formula) { z = formula(omega); });
  return z;
}

void add_element_impedances(ElementKind kind, const double* p, std::span<const double> omega,
                            Complex* out) {
  with_formula(
      kind, p, [](double exponent) { return PowerOnImaginaryAxis(exponent); },
      [&](const auto& formula) {
        for (std::size_t i = 0; i < omega.size(); ++i) out[i] = out[i] + formula(omega[i]);
      });
}

}  // namespace movarin
