#include "fit/settings_check.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "runtime/memory.hpp"

namespace movarin {
namespace {

// Each heap block costs about this much beyond its contents.
constexpr std::uint64_t kAllocationOverhead = 16;
// Differential evolution runs this many rounds of `de_evaluations` each (fit/global_search.hpp).
constexpr std::uint64_t kEvolutionRounds = 10;

// A particle holds its position, velocity and best position.
std::uint64_t bytes_per_particle(std::size_t parameters) {
  return sizeof(double) +
         3 * (sizeof(std::vector<double>) + kAllocationOverhead + parameters * sizeof(double));
}

// The local solver holds the weighted Jacobian (2m x n), its QR copy and a residual vector per
// column being differenced, beside a few residual vectors.
std::uint64_t local_solver_bytes(std::size_t parameters, std::size_t points) {
  const std::uint64_t rows = 2 * static_cast<std::uint64_t>(points);
  const std::uint64_t per_row = (4 * static_cast<std::uint64_t>(parameters) + 8) * sizeof(double);
  if (rows > std::numeric_limits<std::uint64_t>::max() / per_row) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return rows * per_row;
}

std::optional<FitError> check_swarm(std::uint64_t particles, std::size_t parameters) {
  if (particles == 0) return FitError{FitError::Kind::CountTooSmall, "num_particles", 0, 1};
  const std::uint64_t per_particle = bytes_per_particle(parameters);
  const std::uint64_t most = kAddressableBytes / per_particle;
  if (particles > most) {
    return FitError{FitError::Kind::CountTooLarge, "num_particles", particles, most};
  }
  const std::uint64_t bytes = particles * per_particle;
  if (bytes > physical_memory_bytes()) {
    return FitError{FitError::Kind::OutOfMemory,
                    "a swarm of " + std::to_string(particles) + " particles", bytes};
  }
  return std::nullopt;
}

std::optional<FitError> check_evolution(std::uint64_t evaluations) {
  if (evaluations == 0) return FitError{FitError::Kind::CountTooSmall, "de_evaluations", 0, 1};
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max() / kEvolutionRounds;
  if (evaluations > most) {
    return FitError{FitError::Kind::CountTooLarge, "de_evaluations", evaluations, most};
  }
  return std::nullopt;
}

std::optional<FitError> check_step_size(double step_size) {
  if (step_size >= 0.0 && std::isfinite(2.0 * step_size)) return std::nullopt;
  return FitError{FitError::Kind::InvalidStepSize, {}};
}

std::optional<FitError> check_sizes(const FitSettings& settings, FitMethod method,
                                    std::size_t parameters, std::size_t points) {
  if (method == FitMethod::ParticleSwarm) {
    if (auto error = check_swarm(settings.num_particles, parameters)) return error;
  }
  if (method == FitMethod::DifferentialEvolution) {
    if (auto error = check_evolution(settings.de_evaluations)) return error;
  }
  const std::uint64_t solver_bytes = local_solver_bytes(parameters, points);
  if (solver_bytes > physical_memory_bytes()) {
    return FitError{FitError::Kind::OutOfMemory,
                    "the Jacobian of " + std::to_string(points) + " frequencies by " +
                        std::to_string(parameters) + " parameters",
                    solver_bytes};
  }
  return std::nullopt;
}

std::optional<FitError> check_values(const FitSettings& settings, FitMethod method) {
  switch (method) {
    case FitMethod::LevenbergMarquardt: {
      LocalSolverSettings local;
      local.ftol = settings.ftol;
      local.xtol = settings.xtol;
      const auto error = check_local_solver_settings(local);
      if (!error) return std::nullopt;
      FitError invalid{FitError::Kind::InvalidLocalSetting, {}};
      invalid.local_setting = *error;
      return invalid;
    }
    case FitMethod::BasinHopping:
      return check_step_size(settings.basin_hopping_step_size);
    case FitMethod::SimulatedAnnealing: {
      const auto error = check_annealing_options(
          {settings.sa_iterations, settings.sa_initial_temperature, settings.seed});
      if (!error) return std::nullopt;
      FitError invalid{FitError::Kind::SearchFailed, {}};
      invalid.search = *error;
      return invalid;
    }
    case FitMethod::ParticleSwarm:
    case FitMethod::NelderMead:
    case FitMethod::DifferentialEvolution:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FitError> check_settings(const FitSettings& settings, FitMethod method,
                                       std::size_t parameters, std::size_t points) {
  if (auto error = check_sizes(settings, method, parameters, points)) return error;
  return check_values(settings, method);
}

}  // namespace movarin
