#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "scale/box_average.h"

namespace fenwright {
namespace {

// Both 2 x 2 variants against the plain definition, on random rows of
// every short length (the SIMD bodies and their scalar tails), at odd
// addresses, with and without forced alpha.
TEST(BlockAverage, EveryVariantGivesTheRoundedMeanOfEachBlock) {
  const std::uint32_t seed = 0xb10c;
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<std::uint8_t> rows(2 * (8 * 64 + 1));
  for (auto& byte : rows) byte = static_cast<std::uint8_t>(random());
  const std::uint8_t* row0 = rows.data() + 1;
  const std::uint8_t* row1 = row0 + 8 * 64;

  using Variant = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int,
                           std::uint32_t);
  std::vector<std::pair<std::string, Variant>> variants = {{"dispatched", averageBlocks2x2},
                                                           {"sse2", averageBlocks2x2Sse2}};
  if (cpuHasSsse3()) variants.emplace_back("ssse3", averageBlocks2x2Ssse3);

  for (auto& [name, variant] : variants) {
    for (std::uint32_t alpha : {0u, 0xff000000u}) {
      for (int count = 1; count <= 64; ++count) {
        std::vector<std::uint8_t> out(4 * count + 3, 0x77);
        variant(row0, row1, out.data() + 3, count, alpha);
        for (int x = 0; x < count; ++x)
          for (int c = 0; c < 4; ++c) {
            unsigned sum = row0[8 * x + c] + row0[8 * x + 4 + c] + row1[8 * x + c] + row1[8 * x + 4 + c];
            unsigned expected = c == 3 && alpha != 0 ? 255 : (sum + 2) / 4;
            ASSERT_EQ(out[3 + 4 * x + c], expected)
                << name << " count=" << count << " x=" << x << " channel=" << c;
          }
        ASSERT_EQ(out[0], 0x77) << name;
      }
    }
  }
}

// Every row-sum variant, with widths that end inside and past their SIMD
// bodies, at rows that start on odd addresses.
TEST(BlockAverage, LargerBlocksGiveTheRoundedMeanOfEachBlock) {
  const std::uint32_t seed = 0xb10d;
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 random(seed);
  using Summer = void (*)(const std::uint8_t*, long, int, int, std::uint16_t*);
  std::vector<std::pair<std::string, Summer>> variants = {{"dispatched", sumRows},
                                                          {"sse2", sumRowsSse2}};
  if (cpuHasAvx2()) variants.emplace_back("avx2", sumRowsAvx2);
  for (auto& [name, summer] : variants) {
    for (int n = 3; n <= 16; ++n) {
      for (int count : {1, 7, 13}) {
        const int width = n * count + 3;  // extra pixels past the last block are ignored
        const long stride = 4 * width + 5;
        std::vector<std::uint8_t> image(static_cast<std::size_t>(stride) * n + 1);
        for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
        const std::uint8_t* pixels = image.data() + 1;
        std::vector<std::uint16_t> sums(4 * static_cast<std::size_t>(width));
        std::vector<std::uint8_t> out(4 * count);
        summer(pixels, stride, n, width, sums.data());
        averageRuns(sums.data(), n, out.data(), count, 0);
        for (int x = 0; x < count; ++x)
          for (int c = 0; c < 4; ++c) {
            unsigned sum = 0;
            for (int y = 0; y < n; ++y)
              for (int k = 0; k < n; ++k) sum += pixels[y * stride + 4 * (x * n + k) + c];
            unsigned area = static_cast<unsigned>(n * n);
            ASSERT_EQ(out[4 * x + c], (sum + area / 2) / area)
                << name << " n=" << n << " count=" << count << " x=" << x;
          }
      }
    }
  }
}

// Every total a block can have, in every channel, for every block size:
// the rounding of the mean must hold at the extremes, not only for the
// sums random pixels happen to give.
TEST(BlockAverage, EveryPossibleBlockSumGivesItsRoundedMean) {
  for (int n = 3; n <= 16; ++n) {
    const unsigned area = static_cast<unsigned>(n * n);
    const unsigned most = 255 * area;
    const int count = static_cast<int>(most) + 1;
    std::vector<std::uint16_t> sums(4 * static_cast<std::size_t>(n) * count);
    auto total = [&](int pixel, int channel) {
      return (static_cast<unsigned>(pixel) + 7919u * static_cast<unsigned>(channel)) % (most + 1);
    };
    for (int x = 0; x < count; ++x)
      for (int c = 0; c < 4; ++c) {
        // Spread over the run as n rows of at most 255 each would.
        unsigned left = total(x, c);
        for (int k = 0; k < n; ++k) {
          const unsigned part = std::min(left, 255u * static_cast<unsigned>(n));
          sums[4 * (static_cast<std::size_t>(x) * n + k) + c] = static_cast<std::uint16_t>(part);
          left -= part;
        }
      }
    std::vector<std::uint8_t> out(4 * static_cast<std::size_t>(count));
    averageRuns(sums.data(), n, out.data(), count, 0);
    for (int x = 0; x < count; ++x)
      for (int c = 0; c < 4; ++c)
        ASSERT_EQ(out[4 * x + c], (total(x, c) + area / 2) / area)
            << "n=" << n << " total=" << total(x, c) << " channel=" << c;
  }
}

}  // namespace
}  // namespace fenwright
