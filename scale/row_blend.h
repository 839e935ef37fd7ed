#pragma once

#include <cstdint>

namespace fenwright {

// The vertical half of a separable resample: the weighted sum of `count`
// consecutive source rows, starting at `first`, for source pixels
// [begin, end). Weights are in 1/256 (one per row, summing to at most 256),
// so each sum is exact: at most 65280, in 1/256 of a channel level, four
// per pixel, stored at `sums + 4 * x` for source pixel x.
void blendRows(const std::uint8_t* first, long bytesPerRow, int count,
               const std::uint16_t* weights, int begin, int end, std::uint16_t* sums);

}  // namespace fenwright
