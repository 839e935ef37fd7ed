#pragma once

#include <cstdint>

namespace fenwright {

// Exact n x n block averages for whole-number shrink ratios. Every result
// is the block's per-channel mean rounded half up; `alpha` is ORed into each
// result pixel (0xff000000 makes it opaque, 0 keeps the average).

// One target row of `count` pixels from 2 x 2 blocks of two source rows.
// The common 1280x720 -> 640x360 case, so it uses SSSE3 when the CPU has it.
void averageBlocks2x2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* out,
                      int count, std::uint32_t alpha);

// The two variants behind averageBlocks2x2, for tests that hold them to
// the same bytes. The SSSE3 one may only run when cpuHasSsse3().
void averageBlocks2x2Sse2(const std::uint8_t* row0, const std::uint8_t* row1,
                          std::uint8_t* out, int count, std::uint32_t alpha);
void averageBlocks2x2Ssse3(const std::uint8_t* row0, const std::uint8_t* row1,
                           std::uint8_t* out, int count, std::uint32_t alpha);
bool cpuHasSsse3();

// Per-channel sums of `rows` source rows (at most 16) of `width` pixels,
// four 16-bit sums per pixel. AVX2 when the CPU has it.
void sumRows(const std::uint8_t* first, long bytesPerRow, int rows, int width,
             std::uint16_t* sums);

// The variants behind sumRows, for tests; the AVX2 one only when cpuHasAvx2().
void sumRowsSse2(const std::uint8_t* first, long bytesPerRow, int rows, int width,
                 std::uint16_t* sums);
void sumRowsAvx2(const std::uint8_t* first, long bytesPerRow, int rows, int width,
                 std::uint16_t* sums);
bool cpuHasAvx2();

// One target row of `count` pixels, each the mean of `n` consecutive pixels
// of `sums` that hold sums of n rows (n at most 16).
void averageRuns(const std::uint16_t* sums, int n, std::uint8_t* out, int count,
                 std::uint32_t alpha);

}  // namespace fenwright
