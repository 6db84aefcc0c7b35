#include "elements/catalogue.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
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

// Loops vectorise, and clones get their callees' code built for their processor, only with the
// callees inlined: always for the exp and log below, and everything a flattened function calls.
#if defined(__GNUC__)
#define MOVARIN_ALWAYS_INLINE [[gnu::always_inline]] inline
#define MOVARIN_FLATTEN [[gnu::flatten]]
#else
#define MOVARIN_ALWAYS_INLINE inline
#define MOVARIN_FLATTEN
#endif

// exp(x) for |x| <= kFastExpLimit in plain arithmetic, so that a loop of it vectorises:
// x = k ln 2 + r with |r| <= ln 2 / 2 (ln 2 in two parts, k ln2_hi exact), exp(r) by its Taylor
// polynomial up to r^13 / 13! (truncation error below 2e-16 relative), and 2^k written straight
// into the exponent bits. Within a few ulp of std::exp.
constexpr double kFastExpLimit = 700.0;

MOVARIN_ALWAYS_INLINE double exp_in_range(double x) {
  constexpr double kLog2e = 1.4426950408889634;
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // low 32 bits zero
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  constexpr double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to whole
  constexpr std::array<double, 14> kInverseFactorials = {
      1.0,
      1.0,
      0.5,
      1.6666666666666666e-01,
      4.1666666666666664e-02,
      8.3333333333333332e-03,
      1.3888888888888889e-03,
      1.9841269841269841e-04,
      2.4801587301587302e-05,
      2.7557319223985893e-06,
      2.7557319223985888e-07,
      2.5052108385441720e-08,
      2.0876756987868100e-09,
      1.6059043836821613e-10};
  const double shifted = x * kLog2e + kRoundingShift;
  const double k = shifted - kRoundingShift;
  const double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double polynomial = kInverseFactorials[13];
  for (std::size_t n = 13; n-- > 0;) polynomial = polynomial * r + kInverseFactorials[n];
  // The low bits of `shifted` hold k as a two's complement integer.
  const std::uint64_t k_bits = std::bit_cast<std::uint64_t>(shifted);
  return polynomial * std::bit_cast<double>((k_bits + 1023) << 52);
}

// ln x for a positive normal x in plain arithmetic, so that a loop of it vectorises:
// x = 2^e m with m in [sqrt(1/2), sqrt(2)) taken from the bits, ln m = 2 atanh(s) with
// s = (m - 1) / (m + 1), |s| < 0.172, by its series up to s^21 / 21 (truncation error below 1e-17
// relative), and ln x = e ln2_hi + (e ln2_lo + ln m). Within a few ulp of std::log.
MOVARIN_ALWAYS_INLINE double log_of_normal(double x) {
  constexpr std::uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCD;
  constexpr std::uint64_t kOffset = (std::uint64_t{1} << 62) - kSqrtHalfBits;
  constexpr std::uint64_t kTwoTo52Bits = 0x4330000000000000;  // the bits of 2^52
  constexpr double kLn2Hi = 6.93147180369123816490e-01;      // low 32 bits zero
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  constexpr std::array<double, 11> kOddInverses = {
      1.0,       1.0 / 3.0,  1.0 / 5.0,  1.0 / 7.0,  1.0 / 9.0, 1.0 / 11.0,
      1.0 / 13.0, 1.0 / 15.0, 1.0 / 17.0, 1.0 / 19.0, 1.0 / 21.0};
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  // e + 1024, exactly: the bits above the mantissa once sqrt(1/2) is the bottom of a binade.
  const std::uint64_t biased_e = (bits + kOffset) >> 52;
  const double e = std::bit_cast<double>(kTwoTo52Bits + biased_e) - (4503599627370496.0 + 1024.0);
  const double m = std::bit_cast<double>(bits - (biased_e << 52) + (std::uint64_t{1024} << 52));
  const double s = (m - 1.0) / (m + 1.0);
  const double s2 = s * s;
  double series = kOddInverses[10];
  for (std::size_t k = 10; k-- > 0;) series = series * s2 + kOddInverses[k];
  return e * kLn2Hi + (e * kLn2Lo + 2.0 * s * series);
}

// exp(p (log_c + logs[i])) into out[i] for i < count, the common case as one vectorised loop.
MOVARIN_AVX2_CLONES void scaled_exponentials(double p, double log_c, const double* logs,
                                             std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = exp_in_range(p * (log_c + logs[i]));
  for (std::size_t i = 0; i < count; ++i) {
    const double x = p * (log_c + logs[i]);
    if (!(std::fabs(x) <= kFastExpLimit)) out[i] = std::exp(x);
  }
}

bool is_positive_normal(double x) {
  return x >= std::numeric_limits<double>::min() && x <= std::numeric_limits<double>::max();
}

// (c s)^p for the Laplace variable s, with a coefficient c and an exponent p fixed for a whole
// evaluation: the four kinds with a fractional power. For c > 0, where c s lies on the positive
// imaginary axis, (+0, y) with y a finite normal number, hypot is exactly y and atan2 exactly
// pi/2, so (c s)^p = exp(p (ln c + ln omega)) (cos(p pi/2) + j sin(p pi/2)): ln c and the two
// angles are worked out once, ln omega comes from the caller, and the modulus, one exp per point
// instead of a pow, is worked out for a whole block at once. Everywhere else, and for the exponents
// complex_powf treats apart, it is complex_powf itself.
class ScaledLaplacePower {
 public:
  ScaledLaplacePower(double c, double p)
      : c_(c), p_(p), shortcut_(p != 1.0 && p != 0.5 && p != 0.0 && c > 0.0) {
    static const double right_angle = std::atan2(1.0, 0.0);
    if (shortcut_) {
      log_c_ = is_positive_normal(c) ? log_of_normal(c) : std::log(c);
      cos_ = std::cos(p * right_angle);
      sin_ = std::sin(p * right_angle);
    }
  }

  // |c s|^p at a point on the axis, from ln omega.
  double modulus(double log_omega) const {
    const double x = p_ * (log_c_ + log_omega);
    return std::fabs(x) <= kFastExpLimit ? exp_in_range(x) : std::exp(x);
  }

  // modulus(log_omega[i]) into out[i] for i < count.
  void moduli(const double* log_omega, std::size_t count, double* out) const {
    if (shortcut_) scaled_exponentials(p_, log_c_, log_omega, count, out);
  }

  // `modulus` is what modulus() gives for the point; read only where the shortcut applies.
  Complex operator()(double omega, double modulus) const {
    const Complex z = c_ * laplace(omega);
    const bool on_axis = z.re == 0.0 && !std::signbit(z.re) &&
                         z.im >= std::numeric_limits<double>::min() &&
                         z.im <= std::numeric_limits<double>::max();
    if (!shortcut_ || !on_axis) return complex_powf(z, p_);
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
                                                     double modulus,
                                                     const ScaledLaplacePower& power) {
  const double r_ion = p[0];
  const Complex zq = reciprocal(p[1] * power(omega, modulus));
  const double zq_norm = zq.re * zq.re + zq.im * zq.im;
  const Complex a = complex_sqrt(r_ion * zq);
  const Complex b = complex_sqrt(Complex{r_ion * zq.re / zq_norm, -r_ion * zq.im / zq_norm});
  return {a, guarded_tanh(b)};
}

// A kind's impedance in two steps: `stage` does the per-point work that calls the C library and
// `finish` the plain arithmetic on its result. A block runs every stage first and then every
// finish, so that the finishing arithmetic vectorises; one point is
// finish(stage(omega, m)). The kinds with a fractional power have a `power`, and m is its
// modulus at the point; the others ignore m.
template <class Stage, class Finish>
struct StagedFormula {
  Stage stage;
  Finish finish;
  const ScaledLaplacePower* power = nullptr;

  Complex operator()(double omega, double log_omega) const {
    return finish(stage(omega, power != nullptr ? power->modulus(log_omega) : 0.0));
  }
};

template <class Stage, class Finish>
StagedFormula<Stage, Finish> staged(Stage stage, Finish finish,
                                    const ScaledLaplacePower* power = nullptr) {
  return {stage, finish, power};
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
      return use(staged([&power](double w, double m) { return power(w, m); }, kAsStaged, &power));
    }
    case ElementKind::Cpe: {
      const ScaledLaplacePower power(1.0, p[1]);
      return use(staged([&power](double w, double m) { return power(w, m); },
                        [p](Complex s_power) { return reciprocal(p[0] * s_power); }, &power));
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
      return use(staged([&power](double w, double m) { return power(w, m); },
                        [p](Complex s_power) {
                          return Complex{p[0], 0.0} / (Complex{1.0, 0.0} + s_power);
                        },
                        &power));
    }
    case ElementKind::Tlmq: {
      const ScaledLaplacePower power(1.0, p[2]);
      return use(staged(
          [p, &power](double w, double m) { return transmission_line_cpe_terms(p, w, m, power); },
          [](const TransmissionLineCpeTerms& t) { return t.a / t.tanh_b; }, &power));
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

// `log_omega` holds ln omega[i], or is empty: then a kind with a power works it out here.
template <class Formula>
void add_staged_block(const Formula& formula, std::span<const double> omega,
                      std::span<const double> log_omega, ComplexColumns out) {
  using Staged = decltype(formula.stage(0.0, 0.0));
  std::array<Staged, kStagedPoints> staged_values;
  std::array<double, kStagedPoints> own_logs;
  std::array<double, kStagedPoints> moduli{};
  for (std::size_t begin = 0; begin < omega.size(); begin += kStagedPoints) {
    const std::size_t count = std::min(kStagedPoints, omega.size() - begin);
    if (formula.power != nullptr) {
      const double* logs = own_logs.data();
      if (log_omega.empty()) {
        log_frequencies(omega.subspan(begin, count), own_logs.data());
      } else {
        logs = &log_omega[begin];
      }
      formula.power->moduli(logs, count, moduli.data());
    }
    for (std::size_t i = 0; i < count; ++i) {
      staged_values[i] = formula.stage(omega[begin + i], moduli[i]);
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
  double log_omega = 0.0;
  if (reads_log_frequency(kind)) log_frequencies(std::span<const double>(&omega, 1), &log_omega);
  with_formula(kind, p, [&](const auto& formula) { z = formula(omega, log_omega); });
  return z;
}

// Flattened so that the formulas' loops are compiled into each clone: called functions would be
// built for the baseline processor only.
MOVARIN_AVX2_CLONES MOVARIN_FLATTEN void add_element_impedances(ElementKind kind, const double* p,
                                                                std::span<const double> omega,
                                                                std::span<const double> log_omega,
                                                                ComplexColumns out) {
  with_formula(kind, p,
               [&](const auto& formula) { add_staged_block(formula, omega, log_omega, out); });
}

void add_element_impedances(ElementKind kind, const double* p, std::span<const double> omega,
                            ComplexColumns out) {
  add_element_impedances(kind, p, omega, {}, out);
}

MOVARIN_AVX2_CLONES void log_frequencies(std::span<const double> omega, double* out) {
  for (std::size_t i = 0; i < omega.size(); ++i) out[i] = log_of_normal(omega[i]);
  for (std::size_t i = 0; i < omega.size(); ++i) {
    if (!is_positive_normal(omega[i])) out[i] = std::log(omega[i]);
  }
}

bool reads_log_frequency(ElementKind kind) {
  return kind == ElementKind::La || kind == ElementKind::Cpe || kind == ElementKind::Zarc ||
         kind == ElementKind::Tlmq;
}

}  // namespace movarin
