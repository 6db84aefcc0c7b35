#include "nn/network.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "nn/cpu_features.hpp"
#include "nn/winograd.hpp"

namespace movarin {
namespace {

// --- Binding -------------------------------------------------------------------------------------

std::string dims_text(std::span<const std::uint64_t> dims) {
  std::string text = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(dims[i]);
  }
  return text + "]";
}

std::string dims_text(const std::vector<std::uint32_t>& dims) {
  const std::vector<std::uint64_t> wide(dims.begin(), dims.end());
  return dims_text(wide);
}

WeightError size_out_of_range(const char* key, std::uint64_t value, std::uint64_t lo,
                              std::uint64_t hi) {
  return WeightError::unparsable(std::string(key) + " (" + std::to_string(value) + " is outside " +
                                 std::to_string(lo) + " to " + std::to_string(hi) + ")");
}

std::optional<WeightError> check_header_sizes(const WeightModel& model) {
  if (model.n_grid < 1 || model.n_grid > kMaxGridPoints) {
    return size_out_of_range("n_grid", model.n_grid, 1, kMaxGridPoints);
  }
  if (model.channels < 1 || model.channels > kMaxChannels) {
    return size_out_of_range("channels", model.channels, 1, kMaxChannels);
  }
  if (model.channels * model.n_grid > kMaxTrunkValues) {
    return WeightError::unparsable("channels (" + std::to_string(model.channels) + " channels of " +
                                   std::to_string(model.n_grid) + " grid points exceed " +
                                   std::to_string(kMaxTrunkValues) + " values)");
  }
  if (model.kernel < 1 || model.kernel > kMaxKernel) {
    return size_out_of_range("kernel", model.kernel, 1, kMaxKernel);
  }
  if (model.groups < 1) {
    return size_out_of_range("groups", model.groups, 1, std::numeric_limits<std::uint64_t>::max());
  }
  for (const std::uint64_t dilation : model.dilations) {
    if (dilation > kMaxDilation) return size_out_of_range("dilations", dilation, 0, kMaxDilation);
  }
  return std::nullopt;
}

Result<std::span<const double>, WeightError> tensor_with_count(const WeightModel& model,
                                                               const std::string& name,
                                                               std::uint64_t count) {
  const auto tensor = find_tensor(model, name);
  if (!tensor) return fail(tensor.error());
  const std::vector<double>& values = tensor.value()->values;
  if (values.size() != count) return fail(WeightError::element_count(name, values.size(), count));
  return std::span<const double>(values);
}

Result<ConvLayer, WeightError> bind_conv(const WeightModel& model, const std::string& layer,
                                         std::size_t in) {
  const std::string weight_name = "w." + layer + ".weight";
  const auto weight = find_tensor(model, weight_name);
  if (!weight) return fail(weight.error());
  const auto bias = tensor_with_count(model, "w." + layer + ".bias", model.channels);
  if (!bias) return fail(bias.error());

  const std::uint64_t shape[] = {model.channels, in, model.kernel};
  const Tensor& tensor = *weight.value();
  const std::uint64_t count = shape[0] * shape[1] * shape[2];
  if (tensor.values.size() != count) {
    return fail(WeightError::element_count(weight_name, tensor.values.size(), count));
  }
  if (!std::equal(tensor.dims.begin(), tensor.dims.end(), std::begin(shape), std::end(shape))) {
    return fail(WeightError::unparsable(weight_name + " (shape " + dims_text(tensor.dims) +
                                        ", expected " + dims_text(shape) + ")"));
  }
  const auto transformed = model.transformed_filters.find(weight_name);
  const TransformedFilters* fast =
      transformed == model.transformed_filters.end() ? nullptr : &transformed->second;
  return ConvLayer{tensor.values, bias.value(), in, fast};
}

Result<NormLayer, WeightError> bind_norm(const WeightModel& model, const std::string& layer) {
  const auto weight = tensor_with_count(model, "w." + layer + ".weight", model.channels);
  if (!weight) return fail(weight.error());
  const auto bias = tensor_with_count(model, "w." + layer + ".bias", model.channels);
  if (!bias) return fail(bias.error());
  return NormLayer{weight.value(), bias.value()};
}

Result<LinearLayer, WeightError> bind_linear(const WeightModel& model, const std::string& layer,
                                             std::size_t input_width) {
  const std::string weight_name = "w." + layer + ".weight";
  const auto weight = find_tensor(model, weight_name);
  if (!weight) return fail(weight.error());
  const auto bias_tensor = find_tensor(model, "w." + layer + ".bias");
  if (!bias_tensor) return fail(bias_tensor.error());

  const Tensor& tensor = *weight.value();
  if (tensor.dims.size() < 2) {
    return fail(WeightError::unparsable(weight_name + " (shape " + dims_text(tensor.dims) +
                                        ", expected two dimensions)"));
  }
  const std::uint64_t out = tensor.dims[0];
  const std::uint64_t in = tensor.dims[1];
  if (input_width != in) return fail(WeightError::element_count(layer, input_width, in));
  if (tensor.values.size() != out * in) {
    return fail(WeightError::element_count(weight_name, tensor.values.size(), out * in));
  }
  const auto bias = tensor_with_count(model, "w." + layer + ".bias", out);
  if (!bias) return fail(bias.error());
  return LinearLayer{tensor.values, bias.value(), in, out};
}

// --- Forward pass --------------------------------------------------------------------------------

// A tap's output positions whose input position t + offset lies on the grid.
struct TapRange {
  std::ptrdiff_t offset;
  std::ptrdiff_t first;
  std::ptrdiff_t last;
};

TapRange tap_range(std::size_t k, std::size_t length, std::size_t dilation, std::size_t padding) {
  const auto l = static_cast<std::ptrdiff_t>(length);
  const auto offset =
      static_cast<std::ptrdiff_t>(k * dilation) - static_cast<std::ptrdiff_t>(padding);
  const std::ptrdiff_t first = std::clamp<std::ptrdiff_t>(-offset, 0, l);
  return {offset, first, std::clamp<std::ptrdiff_t>(l - offset, first, l)};
}

// The convolution term by term: every input position off the grid is left out and every zero
// weight skipped, so no weight meets an input it should not, whatever the values.
void convolve_exact(const ConvLayer& layer, const Network& network, std::size_t dilation,
                    const double* input, double* output) {
  const std::size_t length = network.length, kernel = network.kernel;
  const std::size_t padding = dilation * (kernel - 1) / 2;
  for (std::size_t o = 0; o < network.channels; ++o) {
    double* out = output + o * length;
    std::fill(out, out + length, layer.bias[o]);
    for (std::size_t c = 0; c < layer.in; ++c) {
      const double* x = input + c * length;
      const double* w = layer.weight.data() + (o * layer.in + c) * kernel;
      for (std::size_t k = 0; k < kernel; ++k) {
        if (w[k] == 0.0) continue;
        const TapRange range = tap_range(k, length, dilation, padding);
        for (std::ptrdiff_t t = range.first; t < range.last; ++t)
          out[t] += w[k] * x[t + range.offset];
      }
    }
  }
}

// The convolution over the zero-padded input: padded row c holds input channel c with zeros on
// both sides, so output position t reads tap k at t + k * dilation with no bounds to test.
struct PaddedInput {
  const double* values;
  std::size_t row_length;
};

// A block of output channels by a block of positions, summed in vector registers over every
// input channel and tap.
template <class Vector, std::size_t Outputs, std::size_t Vectors>
[[gnu::always_inline]] inline void convolve_block(const ConvLayer& layer, std::size_t kernel,
                                                  std::size_t dilation, PaddedInput input,
                                                  std::size_t o, std::size_t t, double* output,
                                                  std::size_t length) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(double);
  Vector sums[Outputs][Vectors];
  for (std::size_t i = 0; i < Outputs; ++i) {
    // b - 0 is b in every lane, a negative zero and NaN included.
    for (std::size_t v = 0; v < Vectors; ++v) sums[i][v] = layer.bias[o + i] - Vector{};
  }
  const std::size_t row = layer.in * kernel;
  const double* weights = layer.weight.data() + o * row;
  for (std::size_t c = 0; c < layer.in; ++c) {
    for (std::size_t k = 0; k < kernel; ++k) {
      const double* source = input.values + c * input.row_length + t + k * dilation;
      Vector x[Vectors];
      for (std::size_t v = 0; v < Vectors; ++v) {
        std::memcpy(&x[v], source + v * kLanes, sizeof(Vector));
      }
      for (std::size_t i = 0; i < Outputs; ++i) {
        const double w = weights[i * row + c * kernel + k];
        for (std::size_t v = 0; v < Vectors; ++v) sums[i][v] += w * x[v];
      }
    }
  }
  for (std::size_t i = 0; i < Outputs; ++i) {
    for (std::size_t v = 0; v < Vectors; ++v) {
      std::memcpy(output + (o + i) * length + t + v * kLanes, &sums[i][v], sizeof(Vector));
    }
  }
}

[[gnu::always_inline]] inline void convolve_position(const ConvLayer& layer, std::size_t kernel,
                                                     std::size_t dilation, PaddedInput input,
                                                     std::size_t o, std::size_t t, double* output,
                                                     std::size_t length) {
  double sum = layer.bias[o];
  const double* weights = layer.weight.data() + o * layer.in * kernel;
  for (std::size_t c = 0; c < layer.in; ++c) {
    const double* source = input.values + c * input.row_length + t;
    for (std::size_t k = 0; k < kernel; ++k) sum += weights[c * kernel + k] * source[k * dilation];
  }
  output[o * length + t] = sum;
}

// Whole blocks in registers, the channels and positions left over one at a time.
template <class Vector, std::size_t Outputs, std::size_t Vectors>
[[gnu::always_inline]] inline void convolve_blocks(const ConvLayer& layer, const Network& network,
                                                   std::size_t dilation, PaddedInput input,
                                                   double* output) {
  constexpr std::size_t kPositions = Vectors * sizeof(Vector) / sizeof(double);
  const std::size_t length = network.length, kernel = network.kernel;
  const std::size_t blocked_outputs = network.channels - network.channels % Outputs;
  const std::size_t blocked_positions = length - length % kPositions;
  for (std::size_t o = 0; o < blocked_outputs; o += Outputs) {
    for (std::size_t t = 0; t < blocked_positions; t += kPositions) {
      convolve_block<Vector, Outputs, Vectors>(layer, kernel, dilation, input, o, t, output,
                                               length);
    }
  }
  for (std::size_t o = 0; o < network.channels; ++o) {
    const std::size_t first = o < blocked_outputs ? blocked_positions : 0;
    for (std::size_t t = first; t < length; ++t) {
      convolve_position(layer, kernel, dilation, input, o, t, output, length);
    }
  }
}

// Two doubles fill the vector registers every x86-64 processor has; four fill those of AVX2.
// Each position's sum runs in the same order either way, so both give the same bits.
using Vector2 = double __attribute__((vector_size(16)));

#if defined(MOVARIN_NN_AVX2)
using Vector4 = double __attribute__((vector_size(32)));

[[gnu::target("avx2")]] void convolve_padded_avx2(const ConvLayer& layer, const Network& network,
                                                  std::size_t dilation, PaddedInput input,
                                                  double* output) {
  convolve_blocks<Vector4, 4, 2>(layer, network, dilation, input, output);
}
#endif

void convolve_padded(const ConvLayer& layer, const Network& network, std::size_t dilation,
                     PaddedInput input, double* output) {
#if defined(MOVARIN_NN_AVX2)
  if (has_avx2()) return convolve_padded_avx2(layer, network, dilation, input, output);
#endif
  convolve_blocks<Vector2, 4, 4>(layer, network, dilation, input, output);
}

// A dilation far beyond the grid would pad mostly zeros; the term-by-term form skips them.
constexpr std::size_t kMaxPaddedReach = 4;

// The zeros a convolution with this dilation pads onto a row, or 0 where it runs term by term.
std::size_t padded_reach(const Network& network, std::size_t dilation) {
  const std::size_t reach = dilation * (network.kernel - 1);
  return reach > kMaxPaddedReach * network.length ? 0 : reach;
}

// The padded form multiplies every weight by every input it could reach, padding zeros included.
// Where the term-by-term form leaves a term out, the padded one adds a zero unless the weight is
// infinite or NaN (against padding) or the weight is zero and the input infinite or NaN; each of
// those makes a NaN. So an output without NaN is exact, and one with NaN is computed again term
// by term.
// Five-tap filters take the fast form (nn/winograd.hpp) where every input and bias is finite
// and of safe size; there the padded form could not meet a NaN either, and the two differ only
// by rounding.
// `scratch` has room for layer.in rows of length + padded_reach(...) values and, where the fast
// form pays, for its workspace.
void convolve(const ConvLayer& layer, const Network& network, std::size_t dilation,
              const double* input, double* output, double* scratch) {
  const std::size_t length = network.length, kernel = network.kernel;
  if (layer.fast != nullptr && fast_convolution_pays(length, dilation) &&
      fast_convolution_applies(*layer.fast, layer.bias, input, length)) {
    convolve_fast(*layer.fast, layer.bias, length, dilation, input, output, scratch);
    return;
  }
  double* padded = scratch;
  const std::size_t reach = dilation * (kernel - 1);
  if (reach > kMaxPaddedReach * length) {
    convolve_exact(layer, network, dilation, input, output);
    return;
  }
  const std::size_t padding = reach / 2;
  const std::size_t padded_length = length + reach;
  for (std::size_t c = 0; c < layer.in; ++c) {
    double* row = padded + c * padded_length;
    std::fill(row, row + padding, 0.0);
    std::copy(input + c * length, input + (c + 1) * length, row + padding);
    std::fill(row + padding + length, row + padded_length, 0.0);
  }
  convolve_padded(layer, network, dilation, {padded, padded_length}, output);
  const std::size_t values = network.channels * length;
  if (std::any_of(output, output + values, [](double v) { return std::isnan(v); })) {
    convolve_exact(layer, network, dilation, input, output);
  }
}

// Independent sums kept in flight at once: an addition waits several cycles for the one before
// it in the same sum, and interleaving sums fills those cycles. Each sum still adds its terms in
// order, so the values are those of summing one after another.
constexpr std::size_t kInterleaved = 8;

// Groups first .. first + N - 1 of x: mean, squared deviations, then the scaled rows.
template <std::size_t N>
void normalise_groups(const NormLayer& layer, const Network& network, std::size_t first,
                      double* x) {
  const std::size_t per_group = network.channels / network.groups;
  const std::size_t length = network.length;
  const std::size_t count = per_group * length;
  const double* values = x + first * count;
  std::array<double, N> mean{}, squares{};
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t q = 0; q < N; ++q) mean[q] += values[q * count + i];
  }
  for (double& m : mean) m /= static_cast<double>(count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t q = 0; q < N; ++q) {
      const double deviation = values[q * count + i] - mean[q];
      squares[q] += deviation * deviation;
    }
  }
  for (std::size_t q = 0; q < N; ++q) {
    const double inverse_deviation =
        1.0 / std::sqrt(squares[q] / static_cast<double>(count) + 1e-5);
    for (std::size_t c = 0; c < per_group; ++c) {
      const std::size_t channel = (first + q) * per_group + c;
      const double scale = layer.weight[channel];
      const double shift = layer.bias[channel];
      double* row = x + channel * length;
      for (std::size_t t = 0; t < length; ++t) {
        row[t] = (row[t] - mean[q]) * inverse_deviation * scale + shift;
      }
    }
  }
}

void group_norm(const NormLayer& layer, const Network& network, std::span<double> x) {
  if (network.channels / network.groups == 0) return;
  std::size_t group = 0;
  for (; group + kInterleaved <= network.groups; group += kInterleaved) {
    normalise_groups<kInterleaved>(layer, network, group, x.data());
  }
  for (; group < network.groups; ++group) normalise_groups<1>(layer, network, group, x.data());
}

// Per channel the mean, then per channel the maximum (a NaN never wins), then the extras.
std::vector<double> pool(std::span<const double> x, const Network& network, const Extras& extras) {
  const std::size_t channels = network.channels;
  const std::size_t length = network.length;
  std::vector<double> pooled(2 * channels + kExtraFeatures);
  for (std::size_t c = 0; c < channels; ++c) {
    const double* row = x.data() + c * length;
    double sum = 0.0;
    double largest = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < length; ++t) {
      sum += row[t];
      if (row[t] > largest) largest = row[t];
    }
    pooled[c] = sum / static_cast<double>(length);
    pooled[channels + c] = largest;
  }
  std::copy(extras.begin(), extras.end(), pooled.end() - kExtraFeatures);
  return pooled;
}

// Outputs first .. first + N - 1, their sums interleaved.
template <std::size_t N>
void linear_rows(const LinearLayer& layer, std::size_t first, const double* v, double* y) {
  std::array<double, N> sums;
  for (std::size_t q = 0; q < N; ++q) sums[q] = layer.bias[first + q];
  const double* rows = layer.weight.data() + first * layer.in;
  for (std::size_t j = 0; j < layer.in; ++j) {
    for (std::size_t q = 0; q < N; ++q) sums[q] += rows[q * layer.in + j] * v[j];
  }
  std::copy(sums.begin(), sums.end(), y + first);
}

std::vector<double> linear(const LinearLayer& layer, const std::vector<double>& v) {
  std::vector<double> y(layer.out);
  std::size_t o = 0;
  for (; o + kInterleaved <= layer.out; o += kInterleaved) {
    linear_rows<kInterleaved>(layer, o, v.data(), y.data());
  }
  for (; o < layer.out; ++o) linear_rows<1>(layer, o, v.data(), y.data());
  return y;
}

}  // namespace

Result<Network, WeightError> bind_network(const WeightModel& model) {
  if (auto error = check_header_sizes(model)) return fail(*error);
  Network network{model.n_grid, model.channels, model.kernel, model.groups, {}, {}, {}};

  auto stem = bind_conv(model, "stem", kInputChannels);
  if (!stem) return fail(stem.error());
  network.stem = stem.value();

  for (std::size_t i = 0; i < model.dilations.size(); ++i) {
    const std::string prefix = "blocks." + std::to_string(i) + ".";
    auto conv1 = bind_conv(model, prefix + "conv1", model.channels);
    if (!conv1) return fail(conv1.error());
    auto norm1 = bind_norm(model, prefix + "norm1");
    if (!norm1) return fail(norm1.error());
    auto conv2 = bind_conv(model, prefix + "conv2", model.channels);
    if (!conv2) return fail(conv2.error());
    auto norm2 = bind_norm(model, prefix + "norm2");
    if (!norm2) return fail(norm2.error());
    network.blocks.push_back(
        {model.dilations[i], conv1.value(), norm1.value(), conv2.value(), norm2.value()});
  }

  std::size_t width = 2 * model.channels + kExtraFeatures;
  const char* head_layers[] = {"head.0", "head.2", "head.4"};
  for (std::size_t i = 0; i < network.head.size(); ++i) {
    auto layer = bind_linear(model, head_layers[i], width);
    if (!layer) return fail(layer.error());
    network.head[i] = layer.value();
    width = layer.value().out;
  }
  return network;
}

std::vector<double> forward(const Network& network, std::span<const double> input,
                            const Extras& extras) {
  const std::size_t values = network.channels * network.length;
  // One allocation for the whole pass: the trunk x, the block's h and h2, and the scratch of the
  // convolutions (the padded rows, or the fast form's transformed tiles).
  const std::size_t rows = std::max(network.channels, kInputChannels);
  const auto scratch_for = [&](std::size_t dilation) {
    const std::size_t padded = rows * (network.length + padded_reach(network, dilation));
    if (network.kernel != kWinogradTaps || !fast_convolution_pays(network.length, dilation)) {
      return padded;
    }
    return std::max(padded, fast_convolution_workspace(rows, network.length, dilation));
  };
  std::size_t scratch = scratch_for(1);
  for (const ResidualBlock& block : network.blocks) {
    scratch = std::max(scratch, scratch_for(block.dilation));
  }
  std::vector<double> workspace(3 * values + scratch);
  const std::span<double> x(workspace.data(), values), h(x.end(), values), h2(h.end(), values);
  double* scratch_values = h2.data() + values;

  convolve(network.stem, network, 1, input.data(), x.data(), scratch_values);
  for (const ResidualBlock& block : network.blocks) {
    convolve(block.conv1, network, block.dilation, x.data(), h.data(), scratch_values);
    group_norm(block.norm1, network, h);
    apply_gelu(h);
    convolve(block.conv2, network, block.dilation, h.data(), h2.data(), scratch_values);
    group_norm(block.norm2, network, h2);
    apply_gelu_of_sum(x, h2);
  }
  std::vector<double> v = pool(x, network, extras);
  v = linear(network.head[0], v);
  apply_gelu(v);
  v = linear(network.head[1], v);
  apply_gelu(v);
  return linear(network.head[2], v);
}

Result<std::vector<double>, WeightError> run_network(const WeightModel& model,
                                                     std::span<const double> input,
                                                     const Extras& extras) {
  auto network = bind_network(model);
  if (!network) return fail(network.error());
  const std::size_t required = kInputChannels * network.value().length;
  if (input.size() != required) {
    return fail(WeightError::element_count("input", input.size(), required));
  }
  return forward(network.value(), input, extras);
}

}  // namespace movarin
