#pragma once

#include <cstdint>
#include <vector>

#include "scale/resample_axis.h"

namespace fenwright {

// The horizontal half of a separable resample, laid out for SIMD: target
// pixels are taken two at a time, every pixel padded to the same number of
// taps (zero weights), each weight stored four times (once per channel).
// A second layout keeps each pixel's taps together, padded to two or a
// multiple of four, for one contiguous load of its sums per tap group.
class ColumnFilter {
 public:
  void build(const ResampleAxis& axis);

  // Target pixels written: [begin(), end()).
  int begin() const { return begin_; }
  int end() const { return end_; }
  // Source pixels read: [sourceBegin(), sourceEnd()).
  int sourceBegin() const { return sourceBegin_; }
  int sourceEnd() const { return sourceEnd_; }
  // Source pixels of sums apply() may read; those outside
  // [sourceBegin(), sourceEnd()) only ever meet zero weights.
  int sumsLength() const { return sumsLength_; }

  // Filters one row of sums from blendRows() into the covered pixels of one
  // target row. `rounding` is added before dropping the 8 fraction bits;
  // `alpha` is ORed into every pixel.
  void apply(const std::uint16_t* sums, std::uint8_t* row, std::uint16_t rounding,
             std::uint32_t alpha) const;

 private:
  int begin_ = 0;
  int end_ = 0;
  int taps_ = 0;
  int sourceBegin_ = 0;
  int sourceEnd_ = 0;
  int sumsLength_ = 0;
  std::vector<int> starts_;              // two per pair, in 16-bit units (4 a pixel)
  std::vector<std::uint16_t> weights_;   // per pair and tap: 4 x left, 4 x right
  int groupedTaps_ = 0;
  std::vector<int> groupedStarts_;             // one per pixel, in 16-bit units
  std::vector<std::uint16_t> groupedWeights_;  // per pixel and tap: 4 x weight
};

}  // namespace fenwright
