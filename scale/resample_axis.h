#pragma once

#include <cstdint>
#include <vector>

namespace fenwright {

// The taps of one axis of a fit: for every target pixel the picture covers,
// the run of source pixels it draws from and their weights. Weights are
// fixed point (`one` = 1.0, kOne unless built otherwise) and already include the pixel's coverage, so an
// edge pixel half covered by the picture has weights summing to one half and
// blends with the background by that much.
class ResampleAxis {
 public:
  static constexpr int kOne = 65535;

  // The picture of `sourceLength` pixels, scaled by `scale`, starts at
  // `offset` (fractional) in a target of `targetLength` pixels. Shrinking or
  // keeping the size averages the exact source footprint of each target
  // pixel; enlarging interpolates between the two nearest source pixel
  // centres, clamped at the picture's edges.
  // `one` is at most kOne; the coarser, the fewer taps survive rounding.
  void build(int sourceLength, int targetLength, double scale, double offset, int one = kOne);

  // Covered target pixels are [begin(), end()); empty when begin() == end().
  int begin() const { return begin_; }
  int end() const { return end_; }
  int sourceLength() const { return sourceLength_; }

  // For a covered target pixel: its first source pixel, its tap count (no
  // zero weights at either end) and its weights.
  int start(int target) const { return start_[target - begin_]; }
  int count(int target) const { return count_[target - begin_]; }
  const std::uint16_t* weights(int target) const {
    return weights_.data() + offset_[target - begin_];
  }

  int maxCount() const { return maxCount_; }
  double meanCount() const { return meanCount_; }

 private:
  // Appends the quantised taps of one target pixel from real weights.
  void addTarget(int first, const double* real, int n, int one);

  int sourceLength_ = 0;
  int begin_ = 0;
  int end_ = 0;
  int maxCount_ = 0;
  double meanCount_ = 0;
  std::vector<int> start_;
  std::vector<int> count_;
  std::vector<std::uint32_t> offset_;
  std::vector<std::uint16_t> weights_;
  std::vector<double> real_;
};

}  // namespace fenwright
