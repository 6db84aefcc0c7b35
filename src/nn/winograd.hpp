#pragma once
// Convolution with five-tap filters by the minimal filtering algorithm F(4, 5): four neighbouring
// outputs of one filter (neighbours at the dilation's spacing) take eight products instead of
// twenty. The eight inputs a tile reads are transformed, multiplied point by point with the
// transformed filter and summed over the input channels, and the eight sums are transformed
// back into the four outputs. The transform evaluates the polynomials at 0, +-1, +-2, +-1/2 and
// infinity, which keeps the rounding error of the outputs within a few times that of the term
// by term sum; the input and output transforms have small integer and power-of-two
// coefficients.
//
// The result differs from the term by term sum only by rounding, so it is used only where that
// sum can neither overflow nor meet a value that is not finite (see fast_convolution_applies).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace movarin {

inline constexpr std::size_t kWinogradTaps = 5;
inline constexpr std::size_t kWinogradOutputs = 4;
inline constexpr std::size_t kWinogradPoints = kWinogradOutputs + kWinogradTaps - 1;

// Output channels are taken this many at a time.
inline constexpr std::size_t kWinogradChannelBlock = 4;

// A [channels][in][5] filter tensor in the transformed domain, laid out [channels / 4][8][in][4]
// so that a block of four output channels reads one contiguous run; the channels are padded to a
// multiple of four with zero filters.
struct TransformedFilters {
  std::vector<double> values;
  std::size_t channels;
  std::size_t in;
  // Inputs and biases of at most this magnitude keep every sum of either form far from
  // overflowing.
  double input_limit;
};

// The transformed filters, or nothing where a weight is not finite.
std::optional<TransformedFilters> transform_filters(std::span<const double> weights,
                                                    std::size_t channels, std::size_t in);

// Whether the fast form saves work at this length and dilation: a dilation near the grid's
// length leaves most of each tile's outputs off the grid.
bool fast_convolution_pays(std::size_t length, std::size_t dilation);

// Doubles of workspace convolve_fast needs, at most.
std::size_t fast_convolution_workspace(std::size_t in, std::size_t length, std::size_t dilation);

// True where every input (filters.in rows of `length`) and every bias is finite and within
// filters.input_limit, so that the fast form gives the term by term sums up to rounding.
bool fast_convolution_applies(const TransformedFilters& filters, std::span<const double> bias,
                              const double* input, std::size_t length);

// output[o][t] = bias[o] + sum over c, k of w[o][c][k] * input[c][t + (k - 2) * dilation], the
// inputs off the grid left out. Requires fast_convolution_pays and fast_convolution_applies;
// `workspace` holds fast_convolution_workspace(...) doubles.
void convolve_fast(const TransformedFilters& filters, std::span<const double> bias,
                   std::size_t length, std::size_t dilation, const double* input, double* output,
                   double* workspace);

}  // namespace movarin
