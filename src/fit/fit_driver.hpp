#pragma once
// The fitting engine's entry point: input checks, method dispatch, multi-start local fits and the
// statistics of the result.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/residuals.hpp"
#include "runtime/result.hpp"

namespace movarin {

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
};

struct FitError {
  enum class Kind {
    LengthMismatch,
    EmptySpectrum,
    NoParameters,
    SolverFailure,
    UnknownMethod,
    CountTooSmall,  // text: the setting; limit: its least value; value: the one given
    CountTooLarge,  // text: the setting; limit: the most that could ever be allocated; value
    OutOfMemory,    // text: what was being allocated; value: its size in bytes (0 if unknown)
    Interrupted,    // the caller's stop poll ended the fit
  };
  Kind kind;
  std::string text;  // the solver's text, the rejected method keyword, or the setting's name
  std::uint64_t value = 0;
  std::uint64_t limit = 0;
};
std::string message(const FitError& error);

inline constexpr std::array<std::string_view, 6> kFitMethods = {
    "levenberg_marquardt",    "particle_swarm",      "nelder_mead",
    "differential_evolution", "simulated_annealing", "basin_hopping"};

// The starting values are the circuit's stored values.
Result<FitOutcome, FitError> run_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                     std::span<const Complex> impedances,
                                     const FitSettings& settings);

// What one fit shares between its evaluations. The spans outlive the context.
struct FitContext {
  const SeriesList& circuit;
  std::span<const double> omega;
  std::span<const Complex> measured;
  std::span<const double> weights;
  EvaluationCounter& counter;
  std::span<const double> log_omega = {};  // log_angular_frequencies(omega), or empty

  ResidualProblem problem() const {
    return {circuit, omega, measured, weights, counter, log_omega};
  }
};

struct LocalFitSettings {
  std::uint32_t patience = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  double gtol = 1e-8;
};

struct ScoredCandidate {
  std::vector<double> x;
  double score;
};

// The nine starting points around x0, sorted by cost (stable, IEEE totalOrder).
std::vector<ScoredCandidate> candidate_starting_points(std::span<const double> x0,
                                                       std::span<const Bounds> bounds,
                                                       const FitContext& context);

// Local fits from the candidates of `circuit`'s stored values, in a context of its own.
Result<FitOutcome, FitError> multi_start_local_fit(const SeriesList& circuit,
                                                   const FitContext& spectrum,
                                                   const LocalFitSettings& settings);

// The better of a global search's point and a multi-start local fit from it.
Result<FitOutcome, FitError> polish(std::span<const double> global_params,
                                    std::uint64_t global_iterations, const FitContext& context);

// Every parameter clamped to [lo, hi]; entries without bounds are kept.
std::vector<double> clamp_to_bounds(std::span<const double> params, std::span<const Bounds> bounds);

// Whether every open-ended parameter of x is well above its lower bound and within six decades of
// its value in x0.
bool stays_near_start(std::span<const double> x, std::span<const double> x0,
                      std::span<const Bounds> bounds);

// Whether x is an acceptable end point of a search started at x0: a finite cost, every bounded
// parameter strictly inside its box, every open-ended one well above its lower bound and within
// six decades of its start.
bool is_plausible_point(std::span<const double> x, double cost, std::span<const double> x0,
                        std::span<const Bounds> bounds);

// The success flag is cleared when the cost at the clamped params is not finite.
FitOutcome fit_statistics(std::span<const double> params, bool success, std::uint64_t iterations,
                          const FitContext& context);

// The inverse of a square matrix (row-major), or nothing when it is singular.
std::optional<std::vector<double>> invert_matrix(std::span<const double> a, std::size_t m);

}  // namespace movarin
