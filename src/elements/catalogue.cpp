#include "elements/catalogue.hpp"

#include <algorithm>
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

// A root and a tanh worked from it: the part of the finite-length Warburg and Gerischer kinds
// that calls the C library.
struct RootAndTanh {
  Complex root;
  Complex tanh;
};

RootAndTanh warburg_root_and_tanh(double tau, double omega) {
  const Complex u = complex_sqrt(tau * laplace(omega));
  return {u, guarded_tanh(u)};
}

Complex gerischer_root(double tg, double omega) {
  return complex_sqrt(Complex{1.0 + tg * 0.0 * omega, tg * omega});
}

struct TransmissionLineTerms {
  Complex v;
  HyperbolicPair hyperbolic;
};

TransmissionLineTerms transmission_line_terms(const double* p, double omega) {
  const Complex v = complex_sqrt(Complex{p[2] + p[3] * 0.0 * omega, p[3] * omega});
  return {v, coth_and_csch(v)};
}

// (c s)^p for the Laplace variable s, with a coefficient c and an exponent p fixed for a whole
// evaluation: the four kinds with a fractional power. Where c s lies on the positive imaginary
// axis, (+0, y) with y a finite normal number, hypot is exactly y and atan2 exactly pi/2, so
// (c s)^p = exp(p (ln c + ln omega)) (cos(p pi/2) + j sin(p pi/2)): ln c and the two angles are
// worked out once and ln omega comes from the caller, leaving one exp per point instead of a pow.
// Everywhere else, and for the exponents complex_powf treats apart, it is complex_powf itself.
class ScaledLaplacePower {
 public:
  ScaledLaplacePower(double c, double p)
      : c_(c), p_(p), shortcut_(p != 1.0 && p != 0.5 && p != 0.0) {
    static const double right_angle = std::atan2(1.0, 0.0);
    if (shortcut_) {
      log_c_ = std::log(c);
      cos_ = std::cos(p * right_angle);
      sin_ = std::sin(p * right_angle);
    }
  }

  Complex operator()(double omega, double log_omega) const {
    const Complex z = c_ * laplace(omega);
    const bool on_axis = z.re == 0.0 && !std::signbit(z.re) &&
                         z.im >= std::numeric_limits<double>::min() &&
                         z.im <= std::numeric_limits<double>::max();
    if (!shortcut_ || !on_axis) return complex_powf(z, p_);
    const double modulus = std::exp(p_ * (log_c_ + log_omega));
    return {modulus * cos_, modulus * sin_};
  }

 private:
  double c_;
  double p_;
  bool shortcut_;
  double log_c_ = 0.0;
  double cos_ = 0.0;
  double sin_ = 0.0;
};

struct TransmissionLineCpeTerms {
  Complex a;
  Complex tanh_b;
};

TransmissionLineCpeTerms transmission_line_cpe_terms(const double* p, double omega,
                                                     double log_omega,
                                                     const ScaledLaplacePower& power) {
  const double r_ion = p[0];
  const Complex zq = reciprocal(p[1] * power(omega, log_omega));
  const double zq_norm = zq.re * zq.re + zq.im * zq.im;
  const Complex a = complex_sqrt(r_ion * zq);
  const Complex b = complex_sqrt(Complex{r_ion * zq.re / zq_norm, -r_ion * zq.im / zq_norm});
  return {a, guarded_tanh(b)};
}

// A kind's impedance in two steps: `stage` does the per-point work that calls the C library and
// `finish` the plain arithmetic on its result. A block runs every stage first and then every
// finish, so that the finishing arithmetic vectorises; one point is
// finish(stage(omega, ln omega)). Only the fractional powers read ln omega.
template <class Stage, class Finish>
struct StagedFormula {
  Stage stage;
  Finish finish;

  Complex operator()(double omega, double log_omega) const {
    return finish(stage(omega, log_omega));
  }
};

template <class Stage, class Finish>
StagedFormula<Stage, Finish> staged(Stage stage, Finish finish) {
  return {stage, finish};
}

// Stages for kinds that call no C library function (all of their work vectorises) and finishes for
// kinds whose arithmetic is tangled with the calls.
constexpr auto kFrequency = [](double omega, double) { return omega; };
constexpr auto kAsStaged = [](Complex z) { return z; };

// Hands `use` the kind's impedance as a StagedFormula of the angular frequency, with its
// parameters bound.
template <class Use>
void with_formula(ElementKind kind, const double* p, const Use& use) {
  switch (kind) {
    case ElementKind::R:
      return use(staged(kFrequency, [p](double) { return Complex{p[0], 0.0}; }));
    case ElementKind::C:
      return use(staged(kFrequency, [p](double w) { return reciprocal(p[0] * laplace(w)); }));
    case ElementKind::L:
      return use(staged(kFrequency, [p](double w) { return p[0] * laplace(w); }));
    case ElementKind::La: {
      const ScaledLaplacePower power(p[0], p[1]);
      return use(staged([&power](double w, double log_w) { return power(w, log_w); }, kAsStaged));
    }
    case ElementKind::Cpe: {
      const ScaledLaplacePower power(1.0, p[1]);
      return use(staged([&power](double w, double log_w) { return power(w, log_w); },
                        [p](Complex s_power) { return reciprocal(p[0] * s_power); }));
    }
    case ElementKind::W:
      return use(staged([](double w, double) { return std::sqrt(w); },
                        [p](double root) {
                          return Complex{p[0], -p[0]} / Complex{root, 0.0};
                        }));
    case ElementKind::Wo:
      return use(staged([p](double w, double) { return warburg_root_and_tanh(p[1], w); },
                        [p](const RootAndTanh& u) {
                          return Complex{p[0], 0.0} / (u.root * u.tanh);
                        }));
    case ElementKind::Ws:
      return use(staged([p](double w, double) { return warburg_root_and_tanh(p[1], w); },
                        [p](const RootAndTanh& u) { return (p[0] * u.tanh) / u.root; }));
    case ElementKind::G:
      return use(staged([p](double w, double) { return gerischer_root(p[1], w); },
                        [p](Complex v) {
                          return Complex{p[0], 0.0} / v;
                        }));
    case ElementKind::Gs:
      return use(staged(
          [p](double w, double) {
            const Complex v = gerischer_root(p[1], w);
            return RootAndTanh{v, guarded_tanh(p[2] * v)};
          },
          [p](const RootAndTanh& v) {
            return Complex{p[0], 0.0} / (v.root * v.tanh);
          }));
    case ElementKind::K:
      return use(staged(kFrequency, [p](double w) {
        return Complex{p[0], 0.0} / Complex{1.0 + p[1] * 0.0 * w, p[1] * w};
      }));
    case ElementKind::Zarc: {
      const ScaledLaplacePower power(p[1], p[2]);
      return use(staged([&power](double w, double log_w) { return power(w, log_w); },
                        [p](Complex s_power) {
                          return Complex{p[0], 0.0} / (Complex{1.0, 0.0} + s_power);
                        }));
    }
    case ElementKind::Tlmq: {
      const ScaledLaplacePower power(1.0, p[2]);
      return use(staged(
          [p, &power](double w, double log_w) {
            return transmission_line_cpe_terms(p, w, log_w, power);
          },
                        [](const TransmissionLineCpeTerms& t) { return t.a / t.tanh_b; }));
    }
    case ElementKind::T:
      return use(staged([p](double w, double) { return transmission_line_terms(p, w); },
                        [p](const TransmissionLineTerms& t) {
                          return (p[0] * t.hyperbolic.coth) / t.v +
                                 (p[1] * t.hyperbolic.csch) / t.v;
                        }));
  }
}

// Points staged at a time by add_element_impedances; bounds its stack use.
constexpr std::size_t kStagedPoints = 32;

// `log_omega` holds ln omega[i], or is empty: then a kind that reads it works it out here.
template <class Formula>
void add_staged_block(const Formula& formula, bool reads_logs, std::span<const double> omega,
                      std::span<const double> log_omega, ComplexColumns out) {
  using Staged = decltype(formula.stage(0.0, 0.0));
  std::array<Staged, kStagedPoints> staged_values;
  std::array<double, kStagedPoints> own_logs{};
  for (std::size_t begin = 0; begin < omega.size(); begin += kStagedPoints) {
    const std::size_t count = std::min(kStagedPoints, omega.size() - begin);
    const double* logs = own_logs.data();
    if (!log_omega.empty()) {
      logs = &log_omega[begin];
    } else if (reads_logs) {
      for (std::size_t i = 0; i < count; ++i) own_logs[i] = std::log(omega[begin + i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      staged_values[i] = formula.stage(omega[begin + i], logs[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      out.add(begin + i, formula.finish(staged_values[i]));
    }
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
  const double log_omega = reads_log_frequency(kind) ? std::log(omega) : 0.0;
  with_formula(kind, p, [&](const auto& formula) { z = formula(omega, log_omega); });
  return z;
}

MOVARIN_AVX2_CLONES void add_element_impedances(ElementKind kind, const double* p,
                                                std::span<const double> omega,
                                                std::span<const double> log_omega,
                                                ComplexColumns out) {
  const bool reads_logs = reads_log_frequency(kind);
  with_formula(kind, p, [&](const auto& formula) {
    add_staged_block(formula, reads_logs, omega, log_omega, out);
  });
}

void add_element_impedances(ElementKind kind, const double* p, std::span<const double> omega,
                            ComplexColumns out) {
  add_element_impedances(kind, p, omega, {}, out);
}

bool reads_log_frequency(ElementKind kind) {
  return kind == ElementKind::La || kind == ElementKind::Cpe || kind == ElementKind::Zarc ||
         kind == ElementKind::Tlmq;
}

}  // namespace movarin
