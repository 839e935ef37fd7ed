#pragma once

#include <cstdint>

namespace fenwright {

// Exact n x n block averages for whole-number shrink ratios. Every result
// is the block's per-channel mean rounded half up; `alpha` is ORed into each
// result pixel (0xff000000 makes it opaque, 0 keeps the average). Each
// takes the path scalerPath() names; all give the same bytes.

// One target row of `count` pixels from 2 x 2 blocks of two source rows.
// The common 1280x720 -> 640x360 case.
void averageBlocks2x2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* out,
                      int count, std::uint32_t alpha);

// Per-channel sums of `rows` source rows (at most 16) of `width` pixels,
// four 16-bit sums per pixel.
void sumRows(const std::uint8_t* first, long bytesPerRow, int rows, int width,
             std::uint16_t* sums);

// One target row of `count` pixels, each the mean of `n` consecutive pixels
// of `sums` that hold sums of n rows (n at most 16).
void averageRuns(const std::uint16_t* sums, int n, std::uint8_t* out, int count,
                 std::uint32_t alpha);

}  // namespace fenwright
