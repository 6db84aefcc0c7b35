#pragma once
// The 1-D residual convolution network with its pooled fully connected head.
//
// bind_network is where a weight file's network is checked: it resolves every tensor the forward
// pass reads and checks its shape against the header sizes, which must themselves stay within the
// limits below, so that forward() reads only checked spans. Its errors come in the order the
// layers run: a missing tensor names the full tensor name, a head layer whose input width differs
// gives the element-count error naming the layer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "nn/activation.hpp"
#include "nn/weight_file.hpp"
#include "runtime/result.hpp"

namespace movarin {

// Bounds on the header sizes of a file: well above every trained model, low enough that one
// prediction's buffers stay a few megabytes whatever a file claims.
inline constexpr std::uint64_t kMaxGridPoints = 4096;
inline constexpr std::uint64_t kMaxChannels = 4096;
inline constexpr std::uint64_t kMaxTrunkValues = std::uint64_t{1} << 20;  // channels x n_grid
inline constexpr std::uint64_t kMaxKernel = 4096;
inline constexpr std::uint64_t kMaxDilation = 0xFFFFFFFF;

struct ConvLayer {
  std::span<const double> weight;  // [channels][in][kernel]
  std::span<const double> bias;    // [channels]
  std::size_t in;
  const TransformedFilters* fast = nullptr;  // the weights ready for convolve_fast, if they are
};

struct NormLayer {
  std::span<const double> weight;  // [channels]
  std::span<const double> bias;    // [channels]
};

struct ResidualBlock {
  std::size_t dilation;
  ConvLayer conv1;
  NormLayer norm1;
  ConvLayer conv2;
  NormLayer norm2;
};

struct LinearLayer {
  std::span<const double> weight;  // [out][in]
  std::span<const double> bias;    // [out]
  std::size_t in;
  std::size_t out;
};

// A checked view of a model's network; it borrows the model's tensors.
struct Network {
  std::size_t length;  // grid points
  std::size_t channels;
  std::size_t kernel;
  std::size_t groups;
  ConvLayer stem;
  std::vector<ResidualBlock> blocks;
  std::array<LinearLayer, 3> head;
};

inline constexpr std::size_t kInputChannels = 3;
inline constexpr std::size_t kExtraFeatures = 2;
using Extras = std::array<double, kExtraFeatures>;

Result<Network, WeightError> bind_network(const WeightModel& model);

// `input` holds kInputChannels x length values, channel after channel. The result has
// head[2].out values.
std::vector<double> forward(const Network& network, std::span<const double> input,
                            const Extras& extras);

// bind_network, then forward.
Result<std::vector<double>, WeightError> run_network(const WeightModel& model,
                                                     std::span<const double> input,
                                                     const Extras& extras);

}  // namespace movarin
