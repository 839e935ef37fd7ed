#pragma once

#include <cstdint>

namespace fenwright {

// The vertical half of a separable resample: the weighted sum of `count`
// consecutive source rows, starting at `first`, for source pixels
// [begin, end). Weights are fixed point with 65535 = 1, sum to at most 1,
// and each is stored eight times over (one SIMD register's worth); the sums are in 1/256 of a channel level (at most 65280), four per
// pixel, stored at `sums + 4 * x` for source pixel x.
void blendRows(const std::uint8_t* first, long bytesPerRow, int count,
               const std::uint16_t* weights, int begin, int end, std::uint16_t* sums);

}  // namespace fenwright
