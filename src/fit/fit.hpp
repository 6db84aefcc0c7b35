#pragma once
// The fitting engine's face: what a fit is asked (settings), what it answers (outcome or error) and
// the one entry, run_fit. Everything else in fit/ is the machine room: fit_context.hpp (what one
// fit shares), multi_start.hpp (starting points, local runs, polishing), fit_statistics.hpp, the
// solvers (levenberg_marquardt.hpp, global_search.hpp) and their wiring (local_fit.hpp,
// global_methods.hpp).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/residuals.hpp"
#include "runtime/result.hpp"

namespace movarin {

enum class FitMethod {
  LevenbergMarquardt,
  ParticleSwarm,
  NelderMead,
  DifferentialEvolution,
  SimulatedAnnealing,
  BasinHopping,
};

// The method keywords, indexed by FitMethod; messages list them in this order.
inline constexpr std::array<std::string_view, 6> kFitMethods = {
    "levenberg_marquardt",    "particle_swarm",      "nelder_mead",
    "differential_evolution", "simulated_annealing", "basin_hopping"};

// Exact and case-sensitive.
std::optional<FitMethod> parse_fit_method(std::string_view text);
std::string_view fit_method_name(FitMethod method);

struct FitSettings {
  std::string method = "levenberg_marquardt";
  std::uint32_t max_iterations = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  WeightScheme weight = WeightScheme::Modulus;
  std::uint64_t num_particles = 200;
  std::uint64_t generations = 1000;
  std::uint64_t nelder_mead_iterations = 2000;
  std::uint64_t de_evaluations = 20000;
  std::uint64_t sa_iterations = 5000;
  double sa_initial_temperature = 2.0;
  std::uint32_t basin_hopping_hops = 20;
  double basin_hopping_step_size = 1.0;
  double basin_hopping_temperature = 1.0;
  std::optional<std::uint64_t> seed;
};

// Why the local solver stopped on the run that decided the result.
struct LocalStop {
  TerminationReason reason = TerminationReason::UserStop;
  std::string label;
};

struct FitOutcome {
  SeriesList circuit;
  std::vector<std::string> param_names;
  std::vector<double> params;
  std::optional<std::vector<double>> standard_errors;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
  bool success = false;
  // Empty when a global search's own point is reported.
  std::optional<LocalStop> local_stop;
};

// Per-parameter constraints of one fit, in flat parameter order. An empty vector constrains
// nothing.
struct FitConstraints {
  std::vector<bool> fixed;     // held at the circuit's stored value
  std::vector<Bounds> bounds;  // replace the parameters' own bounds for this fit
};

// Why constraints were refused; `name` is the parameter's.
struct ConstraintError {
  enum class Kind {
    FixedCount,      // count: the entries given; expected: the parameter count
    BoundsCount,     // count, expected as above
    LowerNotFinite,  // bounds: the pair given
    UpperIsNaN,      // bounds
    EmptyInterval,   // bounds: lo >= hi
    OutsideRange,    // bounds, range: the parameter's own bounds
    ValueOutside,    // value: the start or fixed value; bounds; fixed: which of the two
    NothingFree,     // every parameter is fixed
  };
  Kind kind;
  std::string name;
  std::size_t count = 0;
  std::size_t expected = 0;
  Bounds bounds{};
  Bounds range{};
  double value = 0.0;
  bool fixed = false;
};
std::string message(const ConstraintError& error);

struct FitError {
  enum class Kind {
    LengthMismatch,
    EmptySpectrum,
    NoParameters,
    UnknownMethod,        // text: the rejected keyword
    InvalidLocalSetting,  // local_setting: which tolerance the local solver refused
    InvalidStepSize,      // basin hopping's step size is negative, NaN or too large to double
    SearchFailed,         // search: the global search's own error
    CountTooSmall,        // text: the setting; limit: its least value; value: the one given
    CountTooLarge,        // text: the setting; limit: the most that could ever be allocated; value
    OutOfMemory,          // text: what was being allocated; value: its size in bytes (0 if unknown)
    Interrupted,          // the caller's stop poll ended the fit
    InvalidConstraint,    // constraint: why
  };
  Kind kind;
  std::string text;
  std::uint64_t value = 0;
  std::uint64_t limit = 0;
  SolverSetupError local_setting{};
  SearchError search{};
  ConstraintError constraint{};
};
std::string message(const FitError& error);

// The starting values are the circuit's stored values. The input is checked first, then the
// constraints, then the settings the chosen method reads. Fixed parameters end bit for bit at
// their start value with a NaN standard error; the others stay inside their (given) bounds.
Result<FitOutcome, FitError> run_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                     std::span<const Complex> impedances,
                                     const FitSettings& settings,
                                     const FitConstraints& constraints = {});

}  // namespace movarin
