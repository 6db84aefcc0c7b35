#pragma once
// The ovrel weight file: a trained network plus the tables that turn its outputs into circuit
// parameters, and the one error type of the machine-learning guess.
//
// parse_weight_file checks the container and the header; it does not check that the tensors fit
// together. A file a user names is untrusted, so every shape, count and index that inference
// relies on is checked by predict_parameters (nn/inference.hpp) before any value is read.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nn/winograd.hpp"
#include "runtime/result.hpp"

namespace movarin {

struct WeightError {
  enum class Kind {
    ReadFailure,  // subject: the operating system's description
    BadMagic,
    Truncated,         // also text fields that are not valid UTF-8
    Missing,           // subject: the header key or full tensor name
    Unparsable,        // subject: the key, or a sentence saying what is wrong
    UnknownEstimator,  // subject: the estimator named by the file
    UnknownEncoding,   // actual: the encoding code
    ElementCount,      // subject: tensor or layer name; actual and required counts
    TooFewPoints,      // actual: usable points of the spectrum
    NoTrainedModel,    // subject: the names of the models there are
    CachePoisoned,
  };
  Kind kind;
  std::string subject;
  std::uint64_t actual = 0;
  std::uint64_t required = 0;

  static WeightError read_failure(std::string description);
  static WeightError bad_magic();
  static WeightError truncated();
  static WeightError missing(std::string name);
  static WeightError unparsable(std::string what);
  static WeightError unknown_estimator(std::string found);
  static WeightError unknown_encoding(std::uint8_t code);
  static WeightError element_count(std::string name, std::uint64_t actual, std::uint64_t required);
  static WeightError too_few_points(std::uint64_t points);
  static WeightError no_trained_model(std::string model_list);
  static WeightError cache_poisoned();
};

std::string message(const WeightError& error);

struct Tensor {
  std::vector<std::uint32_t> dims;  // as stored, outermost first
  std::vector<double> values;       // row-major; never empty
};

// How one predicted parameter scales with the spectrum: Zs^a * v * ws^(b + c * v[k]).
struct ScalingRow {
  double impedance_exponent;    // a
  double frequency_exponent;    // b
  double exponent_coefficient;  // c
  std::int32_t exponent_index;  // k; negative for none
};

struct WeightModel {
  std::string circuit;
  std::vector<std::string> param_names;
  std::vector<std::uint64_t> dilations;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<ScalingRow> scaling;
  std::map<std::string, Tensor, std::less<>> tensors;
  // The tensors of five-tap convolution filters ([out][in][5], every weight finite) made ready
  // for the fast convolution, by tensor name; derived once, when the file is parsed.
  std::map<std::string, TransformedFilters, std::less<>> transformed_filters;
  std::uint64_t n_grid = 0;
  std::uint64_t channels = 0;
  std::uint64_t kernel = 0;
  std::uint64_t groups = 0;
  double alpha_min = 0.0;
  double alpha_max = 0.0;
};

inline constexpr std::string_view kWeightFileMagic = "OVREL001";
inline constexpr std::string_view kReactiveCentroid = "reactive_centroid";

Result<WeightModel, WeightError> parse_weight_file(std::span<const std::uint8_t> bytes);

Result<const Tensor*, WeightError> find_tensor(const WeightModel& model, std::string_view name);

// IEEE binary16, widened exactly.
double decode_half(std::uint16_t word);

}  // namespace movarin
