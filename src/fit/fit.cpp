#include "fit/fit.hpp"

#include <algorithm>
#include <new>

#include "fit/constraints.hpp"
#include "fit/fit_context.hpp"
#include "fit/global_methods.hpp"
#include "fit/multi_start.hpp"
#include "fit/settings_check.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/text.hpp"

namespace movarin {
namespace {

std::optional<FitError> check_input(std::span<const double> frequencies,
                                    std::span<const Complex> impedances,
                                    const SeriesList& circuit) {
  if (frequencies.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(circuit) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

std::string unknown_method_message(const std::string& text) {
  std::string message = "unknown fit method " + quote(text) + ", expected one of ";
  for (std::size_t i = 0; i < kFitMethods.size(); ++i) {
    if (i > 0) message += ", ";
    message += quote(kFitMethods[i]);
  }
  return message;
}

Result<FitOutcome, FitError> fit_with(FitMethod method, const FitContext& context,
                                      const FitSettings& settings) {
  switch (method) {
    case FitMethod::LevenbergMarquardt:
      return multi_start_local_fit(
          param_values(context.circuit()), context,
          LocalFitSettings{settings.max_iterations, settings.ftol, settings.xtol, 1e-8});
    case FitMethod::BasinHopping:
      return basin_hopping_fit(context, settings);
    case FitMethod::ParticleSwarm:
    case FitMethod::NelderMead:
    case FitMethod::DifferentialEvolution:
    case FitMethod::SimulatedAnnealing:
      break;
  }
  auto global = global_search(method, context, settings);
  if (!global) return fail(global.error());
  return polish(global.value().params, global.value().iterations, context);
}

Result<FitOutcome, FitError> checked_fit(const SeriesList& circuit,
                                         std::span<const double> frequencies,
                                         std::span<const Complex> impedances,
                                         const FitSettings& settings,
                                         const FitConstraints& constraints) {
  const std::optional<FitMethod> method = parse_fit_method(settings.method);
  if (!method) return fail(FitError{FitError::Kind::UnknownMethod, settings.method});
  if (auto error = check_input(frequencies, impedances, circuit)) return fail(std::move(*error));
  auto constrained = apply_constraints(circuit, constraints);
  if (!constrained) {
    FitError error{FitError::Kind::InvalidConstraint, {}};
    error.constraint = constrained.error();
    return fail(std::move(error));
  }
  if (auto error = check_settings(settings, *method, param_count(circuit), frequencies.size())) {
    return fail(std::move(*error));
  }

  const std::vector<double> omega = angular_frequencies(frequencies);
  const std::vector<double> weights = weights_for(impedances, settings.weight);
  const std::vector<double> log_omega = log_angular_frequencies(omega);
  EvaluationCounter counter;
  const FitContext context{{circuit, omega, impedances, weights, counter, log_omega},
                           constrained.value().bounds,
                           std::move(constrained.value().fixed)};
  return fit_with(*method, context, settings);
}

}  // namespace

std::optional<FitMethod> parse_fit_method(std::string_view text) {
  const auto found = std::find(kFitMethods.begin(), kFitMethods.end(), text);
  if (found == kFitMethods.end()) return std::nullopt;
  return static_cast<FitMethod>(found - kFitMethods.begin());
}

std::string_view fit_method_name(FitMethod method) {
  return kFitMethods[static_cast<std::size_t>(method)];
}

std::string message(const FitError& error) {
  switch (error.kind) {
    case FitError::Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case FitError::Kind::EmptySpectrum:
      return "frequencies and impedances must not be empty";
    case FitError::Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case FitError::Kind::UnknownMethod:
      return unknown_method_message(error.text);
    case FitError::Kind::InvalidLocalSetting:
      return "solver error: Invalid parameter: " + message(error.local_setting);
    case FitError::Kind::InvalidStepSize:
      return "solver error: Invalid parameter: basin_hopping_step_size must be finite and >= 0";
    case FitError::Kind::SearchFailed:
      return "solver error: " + message(error.search);
    case FitError::Kind::CountTooSmall:
      return error.text + " must be at least " + std::to_string(error.limit) + ", got " +
             std::to_string(error.value);
    case FitError::Kind::CountTooLarge:
      return error.text + " must be at most " + std::to_string(error.limit) + ", got " +
             std::to_string(error.value);
    case FitError::Kind::OutOfMemory:
      return "not enough memory for " + error.text +
             (error.value > 0 ? " (" + std::to_string(error.value) + " bytes)" : std::string());
    case FitError::Kind::Interrupted:
      return "the fit was interrupted";
    case FitError::Kind::InvalidConstraint:
      return message(error.constraint);
  }
  return {};
}

Result<FitOutcome, FitError> run_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                     std::span<const Complex> impedances,
                                     const FitSettings& settings,
                                     const FitConstraints& constraints) {
  // The sizes were checked against the memory there is; this is the rest: memory taken meanwhile.
  try {
    auto outcome = checked_fit(circuit, frequencies, impedances, settings, constraints);
    if (stop_was_requested()) return fail(FitError{FitError::Kind::Interrupted, {}});
    return outcome;
  } catch (const std::bad_alloc&) {
    return fail(FitError{FitError::Kind::OutOfMemory, "the fit's working arrays"});
  }
}

}  // namespace movarin
