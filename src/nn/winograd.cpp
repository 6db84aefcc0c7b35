#include "nn/winograd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "nn/cpu_features.hpp"

namespace movarin {
namespace {

// Row x of the filter transform: the filter polynomial at point x, over the denominator that
// the input transform's integer rows leave (points 0, 1, -1, 2, -2, 1/2, -1/2 and infinity; the
// half points are scaled by 16 so that the polynomial's values are integer combinations).
constexpr int kFilterRows[kWinogradPoints][kWinogradTaps] = {
    {1, 0, 0, 0, 0},    {1, 1, 1, 1, 1},     {1, -1, 1, -1, 1},  {1, 2, 4, 8, 16},
    {1, -2, 4, -8, 16}, {16, 8, 4, 2, 1},    {16, -8, 4, -2, 1}, {0, 0, 0, 0, 1},
};
constexpr int kFilterDenominators[kWinogradPoints] = {4, 18, 18, 360, 360, 45, 45, 4};

// Far below the largest double: the transforms grow a sum by less than 2^20, and the sums of
// either form stay below 2^901 for inputs within the limit.
constexpr double kLargestSafeSum = 0x1p900;

// Tiles are taken in blocks of this many, the block's sums held in vector registers.
constexpr std::size_t kTileBlock = 8;

// The tiles of one convolution. Block b of 4 * dilation outputs holds `dilation` tiles; tile
// (b, s) has the outputs 4 * dilation * b + s + i * dilation, i = 0..3, and is tile number
// b * dilation + s. Tiles past the last are zero and write nothing.
struct TileGrid {
  std::size_t length;
  std::size_t dilation;
  std::size_t blocks;
  std::size_t tiles;
  std::size_t padded_tiles;
  // The input row with 2 * dilation zeros before it and zeros after it up to the last tile's
  // last point.
  std::size_t padded_length;
};

TileGrid tile_grid(std::size_t length, std::size_t dilation) {
  const std::size_t span = kWinogradOutputs * dilation;
  const std::size_t blocks = (length + span - 1) / span;
  const std::size_t tiles = blocks * dilation;
  const std::size_t padded = (tiles + kTileBlock - 1) / kTileBlock * kTileBlock;
  return {length, dilation, blocks, tiles, padded, (blocks + 1) * span};
}

std::size_t tile_start(const TileGrid& grid, std::size_t tile) {
  return kWinogradOutputs * grid.dilation * (tile / grid.dilation) + tile % grid.dilation;
}

// The first outputs of consecutive tiles, without a division per tile.
class TileStarts {
 public:
  TileStarts(const TileGrid& grid, std::size_t tile)
      : dilation_(grid.dilation),
        start_(tile_start(grid, tile)),
        phase_(tile % grid.dilation) {}

  std::size_t operator*() const { return start_; }

  TileStarts& operator++() {
    if (++phase_ < dilation_) {
      ++start_;
    } else {
      phase_ = 0;
      start_ += (kWinogradOutputs - 1) * dilation_ + 1;
    }
    return *this;
  }

 private:
  std::size_t dilation_;
  std::size_t start_;
  std::size_t phase_;
};

// Where the dilation is a multiple of the vector width, the tiles of one vector are neighbours
// in one block, so their inputs and outputs lie side by side.
template <class Vector>
bool lanes_adjacent(const TileGrid& grid) {
  return grid.dilation % (sizeof(Vector) / sizeof(double)) == 0;
}

void pad_row(const double* row, const TileGrid& grid, double* padded) {
  const std::size_t before = (kWinogradTaps / 2) * grid.dilation;
  std::fill(padded, padded + before, 0.0);
  std::copy(row, row + grid.length, padded + before);
  std::fill(padded + before + grid.length, padded + grid.padded_length, 0.0);
}

// points[j * padded_tiles + tile] = the input of tile `tile` at its point j, zero for the tiles
// past the last: the inputs of neighbouring tiles side by side where the row has them apart.
void gather_points(const double* padded, const TileGrid& grid, double* points) {
  const std::size_t stride = grid.padded_tiles;
  TileStarts start(grid, 0);
  for (std::size_t tile = 0; tile < grid.tiles; ++tile, ++start) {
    const double* source = padded + *start;
    for (std::size_t j = 0; j < kWinogradPoints; ++j) {
      points[j * stride + tile] = source[j * grid.dilation];
    }
  }
  for (std::size_t j = 0; j < kWinogradPoints; ++j) {
    std::fill(points + j * stride + grid.tiles, points + (j + 1) * stride, 0.0);
  }
}

// Vectors `step` apart, each its own load: a loop here is not unrolled, and the vectors then go
// through memory in halves, which stalls their reading back.
template <class Vector, std::size_t... J>
[[gnu::always_inline]] inline void load_each(const double* source, std::size_t step,
                                             Vector (&d)[sizeof...(J)],
                                             std::index_sequence<J...>) {
  (std::memcpy(&d[J], source + J * step, sizeof(Vector)), ...);
}

template <class Vector, std::size_t... J>
[[gnu::always_inline]] inline void store_each(const Vector (&v)[sizeof...(J)], std::size_t step,
                                              double* target, std::index_sequence<J...>) {
  (std::memcpy(target + J * step, &v[J], sizeof(Vector)), ...);
}

// The eight inputs of the tiles first .. first + lanes - 1: from the padded row where they lie
// side by side in it, else from the gathered points.
template <class Vector>
[[gnu::always_inline]] inline void load_tile_inputs(const double* padded, const double* points,
                                                    const TileGrid& grid, std::size_t first,
                                                    std::size_t start, bool adjacent,
                                                    Vector (&d)[kWinogradPoints]) {
  constexpr auto kEach = std::make_index_sequence<kWinogradPoints>();
  if (!adjacent) {
    load_each(points + first, grid.padded_tiles, d, kEach);
  } else if (first < grid.tiles) {
    load_each(padded + start, grid.dilation, d, kEach);
  } else {
    for (Vector& v : d) v = Vector{};
  }
}

// The input transform of one channel's tiles: transformed[(x * in + c) * padded_tiles + tile].
template <class Vector>
[[gnu::always_inline]] inline void transform_inputs(const double* padded, double* points,
                                                    const TileGrid& grid, std::size_t in,
                                                    std::size_t c, double* transformed) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(double);
  const std::size_t stride = grid.padded_tiles;
  const bool adjacent = lanes_adjacent<Vector>(grid);
  if (!adjacent) gather_points(padded, grid, points);
  TileStarts start(grid, 0);
  for (std::size_t tile = 0; tile < stride; tile += kLanes) {
    Vector d[kWinogradPoints];
    load_tile_inputs(padded, points, grid, tile, *start, adjacent, d);
    for (std::size_t lane = 0; lane < kLanes; ++lane) ++start;
    Vector v[kWinogradPoints];
    v[0] = 4.0 * (d[0] - d[6]) + 21.0 * (d[4] - d[2]);
    const Vector even1 = 17.0 * d[4] - 4.0 * (d[2] + d[6]);
    const Vector odd1 = 17.0 * d[3] - 4.0 * (d[1] + d[5]);
    v[1] = even1 + odd1;
    v[2] = even1 - odd1;
    const Vector even2 = (d[2] - 5.0 * d[4]) + 4.0 * d[6];
    const Vector odd2 = (2.0 * d[1] - 10.0 * d[3]) + 8.0 * d[5];
    v[3] = even2 + odd2;
    v[4] = even2 - odd2;
    const Vector even3 = (8.0 * d[2] - 10.0 * d[4]) + 2.0 * d[6];
    const Vector odd3 = (4.0 * d[1] - 5.0 * d[3]) + d[5];
    v[5] = even3 + odd3;
    v[6] = even3 - odd3;
    v[7] = 4.0 * (d[7] - d[1]) + 21.0 * (d[3] - d[5]);
    store_each(v, in * stride, transformed + c * stride + tile,
               std::make_index_sequence<kWinogradPoints>());
  }
}

// Output r of the tiles first .. first + lanes - 1, whose first outputs are `starts`, into
// `row`, where it lies on the grid.
template <class Vector>
[[gnu::always_inline]] inline void store_tile_outputs(const Vector& values, const TileGrid& grid,
                                                      std::size_t first, const std::size_t* starts,
                                                      std::size_t r, bool adjacent, double* row) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(double);
  const std::size_t offset = r * grid.dilation;
  if (adjacent && starts[0] + offset + kLanes <= grid.length && first < grid.tiles) {
    std::memcpy(row + starts[0] + offset, &values, sizeof(Vector));
    return;
  }
  for (std::size_t lane = 0; lane < kLanes && first + lane < grid.tiles; ++lane) {
    const std::size_t t = starts[lane] + offset;
    if (t < grid.length) row[t] = values[lane];
  }
}

// Output channels o .. o + 3 (those there are) of tiles first .. first + kTileBlock - 1: per
// point the sum over the input channels, then the output transform, the bias, and the outputs
// on the grid.
template <class Vector>
[[gnu::always_inline]] inline void convolve_tile_block(const TransformedFilters& filters,
                                                       std::span<const double> bias,
                                                       const TileGrid& grid,
                                                       const double* transformed, std::size_t o,
                                                       std::size_t first, double* output) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(double);
  constexpr std::size_t kVectors = kTileBlock / kLanes;
  constexpr std::size_t kOutputs = kWinogradChannelBlock;
  const std::size_t in = filters.in, stride = grid.padded_tiles;
  const std::size_t outputs = std::min(kOutputs, filters.channels - o);
  const double* block_weights = filters.values.data() + o * kWinogradPoints * in;
  Vector m[kWinogradPoints][kOutputs][kVectors];
  for (std::size_t x = 0; x < kWinogradPoints; ++x) {
    Vector sums[kOutputs][kVectors] = {};
    const double* weights = block_weights + x * in * kOutputs;
    const double* inputs = transformed + x * in * stride + first;
    for (std::size_t c = 0; c < in; ++c) {
      Vector v[kVectors];
      for (std::size_t k = 0; k < kVectors; ++k) {
        std::memcpy(&v[k], inputs + c * stride + k * kLanes, sizeof(Vector));
      }
      for (std::size_t i = 0; i < kOutputs; ++i) {
        const double w = weights[c * kOutputs + i];
        for (std::size_t k = 0; k < kVectors; ++k) sums[i][k] += w * v[k];
      }
    }
    std::memcpy(m[x], sums, sizeof(sums));
  }

  const bool adjacent = lanes_adjacent<Vector>(grid);
  std::size_t starts[kTileBlock];
  TileStarts start(grid, first);
  for (std::size_t& tile : starts) {
    tile = *start;
    ++start;
  }
  for (std::size_t i = 0; i < outputs; ++i) {
    for (std::size_t k = 0; k < kVectors; ++k) {
      const Vector* mk[kWinogradPoints];
      for (std::size_t x = 0; x < kWinogradPoints; ++x) mk[x] = &m[x][i][k];
      const Vector sum1 = *mk[1] + *mk[2], difference1 = *mk[1] - *mk[2];
      const Vector sum2 = *mk[3] + *mk[4], difference2 = *mk[3] - *mk[4];
      const Vector sum3 = *mk[5] + *mk[6], difference3 = *mk[5] - *mk[6];
      const double b = bias[o + i];
      const Vector y[kWinogradOutputs] = {
          ((*mk[0] + sum1) + sum2) + sum3 + b,
          (difference1 + 2.0 * difference2) + 0.5 * difference3 + b,
          (sum1 + 4.0 * sum2) + 0.25 * sum3 + b,
          ((difference1 + 8.0 * difference2) + 0.125 * difference3) + *mk[7] + b,
      };
      for (std::size_t r = 0; r < kWinogradOutputs; ++r) {
        store_tile_outputs(y[r], grid, first + k * kLanes, starts + k * kLanes, r, adjacent,
                           output + (o + i) * grid.length);
      }
    }
  }
}

template <class Vector>
[[gnu::always_inline]] inline void convolve_fast_with(const TransformedFilters& filters,
                                                      std::span<const double> bias,
                                                      const TileGrid& grid, const double* input,
                                                      double* output, double* workspace) {
  const std::size_t in = filters.in, channels = filters.channels;
  double* transformed = workspace;
  double* padded = transformed + kWinogradPoints * in * grid.padded_tiles;
  double* points = padded + grid.padded_length;
  for (std::size_t c = 0; c < in; ++c) {
    pad_row(input + c * grid.length, grid, padded);
    transform_inputs<Vector>(padded, points, grid, in, c, transformed);
  }
  for (std::size_t o = 0; o < channels; o += kWinogradChannelBlock) {
    for (std::size_t first = 0; first < grid.tiles; first += kTileBlock) {
      convolve_tile_block<Vector>(filters, bias, grid, transformed, o, first, output);
    }
  }
}

using Vector2 = double __attribute__((vector_size(16)));

#if defined(MOVARIN_NN_AVX2)
using Vector4 = double __attribute__((vector_size(32)));

[[gnu::target("avx2")]] void convolve_fast_avx2(const TransformedFilters& filters,
                                                std::span<const double> bias,
                                                const TileGrid& grid, const double* input,
                                                double* output, double* workspace) {
  convolve_fast_with<Vector4>(filters, bias, grid, input, output, workspace);
}
#endif

// Magnitudes compared on their bits, which order non-negative doubles (NaN above infinity) as
// their values; integer comparisons let the loop run in vector registers.
[[gnu::always_inline]] inline std::uint64_t largest_magnitude_bits(const double* values,
                                                                   std::size_t count) {
  constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
  std::int64_t largest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto bits =
        static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(values[i]) & kMagnitude);
    largest = bits > largest ? bits : largest;
  }
  return static_cast<std::uint64_t>(largest);
}

#if defined(MOVARIN_NN_AVX2)
[[gnu::target("avx2")]] std::uint64_t largest_magnitude_bits_avx2(const double* values,
                                                                  std::size_t count) {
  return largest_magnitude_bits(values, count);
}
#endif

bool all_within(const double* values, std::size_t count, double limit) {
  const auto limit_bits = std::bit_cast<std::uint64_t>(limit);
#if defined(MOVARIN_NN_AVX2)
  if (has_avx2()) return largest_magnitude_bits_avx2(values, count) <= limit_bits;
#endif
  return largest_magnitude_bits(values, count) <= limit_bits;
}

}  // namespace

std::optional<TransformedFilters> transform_filters(std::span<const double> weights,
                                                    std::size_t channels, std::size_t in) {
  const std::size_t blocks = (channels + kWinogradChannelBlock - 1) / kWinogradChannelBlock;
  TransformedFilters filters{
      std::vector<double>(blocks * kWinogradPoints * in * kWinogradChannelBlock), channels, in,
      0.0};
  double largest_row_sum = 0.0;
  for (std::size_t o = 0; o < channels; ++o) {
    double row_sum = 0.0;
    for (std::size_t c = 0; c < in; ++c) {
      const double* w = weights.data() + (o * in + c) * kWinogradTaps;
      for (std::size_t k = 0; k < kWinogradTaps; ++k) {
        if (!std::isfinite(w[k])) return std::nullopt;
        row_sum += std::fabs(w[k]);
      }
      // The numerators are exact in long double for the half-precision weights of trained
      // files, so each transformed weight is rounded once.
      for (std::size_t x = 0; x < kWinogradPoints; ++x) {
        long double numerator = 0.0L;
        for (std::size_t k = 0; k < kWinogradTaps; ++k) {
          numerator += static_cast<long double>(kFilterRows[x][k]) * w[k];
        }
        const std::size_t block = o / kWinogradChannelBlock, lane = o % kWinogradChannelBlock;
        filters.values[((block * kWinogradPoints + x) * in + c) * kWinogradChannelBlock + lane] =
            static_cast<double>(numerator / kFilterDenominators[x]);
      }
    }
    largest_row_sum = std::max(largest_row_sum, row_sum);
  }
  if (!std::isfinite(largest_row_sum)) return std::nullopt;
  filters.input_limit = kLargestSafeSum / (1.0 + largest_row_sum);
  return filters;
}

bool fast_convolution_pays(std::size_t length, std::size_t dilation) {
  // Eight products per tile against five per output, with room for the transforms. Dilation 0
  // reads one position five times; the tiles need neighbours apart.
  return dilation > 0 && 16 * tile_grid(length, dilation).tiles <= 5 * length;
}

std::size_t fast_convolution_workspace(std::size_t in, std::size_t length, std::size_t dilation) {
  const TileGrid grid = tile_grid(length, dilation);
  return kWinogradPoints * (in + 1) * grid.padded_tiles + grid.padded_length;
}

bool fast_convolution_applies(const TransformedFilters& filters, std::span<const double> bias,
                              const double* input, std::size_t length) {
  return all_within(bias.data(), bias.size(), filters.input_limit) &&
         all_within(input, filters.in * length, filters.input_limit);
}

void convolve_fast(const TransformedFilters& filters, std::span<const double> bias,
                   std::size_t length, std::size_t dilation, const double* input, double* output,
                   double* workspace) {
  const TileGrid grid = tile_grid(length, dilation);
#if defined(MOVARIN_NN_AVX2)
  if (has_avx2()) return convolve_fast_avx2(filters, bias, grid, input, output, workspace);
#endif
  convolve_fast_with<Vector2>(filters, bias, grid, input, output, workspace);
}

}  // namespace movarin
