#include "scale/resample_axis.h"

#include <algorithm>
#include <cmath>

namespace fenwright {

void ResampleAxis::build(int sourceLength, int targetLength, double scale, double offset,
                         int one) {
  sourceLength_ = sourceLength;
  begin_ = end_ = 0;
  maxCount_ = 0;
  meanCount_ = 0;
  start_.clear();
  count_.clear();
  offset_.clear();
  weights_.clear();
  if (sourceLength <= 0 || targetLength <= 0 || !(scale > 0)) return;

  const double n = sourceLength;
  const double pictureEnd = offset + scale * n;
  long totalTaps = 0;
  for (int target = 0; target < targetLength; ++target) {
    int first = 0;
    int taps = 0;
    if (scale <= 1) {
      // The target pixel's footprint in source pixels, clipped to the picture.
      double from = std::max((target - offset) / scale, 0.0);
      double to = std::min((target + 1 - offset) / scale, n);
      if (to > from) {
        first = static_cast<int>(std::floor(from));
        int last = std::min(static_cast<int>(std::ceil(to)), sourceLength);
        taps = last - first;
        real_.resize(static_cast<std::size_t>(taps));
        for (int k = 0; k < taps; ++k) {
          double lo = std::max(from, static_cast<double>(first + k));
          double hi = std::min(to, static_cast<double>(first + k + 1));
          real_[static_cast<std::size_t>(k)] = std::max(hi - lo, 0.0) * scale;
        }
      }
    } else {
      double cover = std::min(target + 1.0, pictureEnd) - std::max<double>(target, offset);
      if (cover > 0) {
        cover = std::min(cover, 1.0);
        double centre = std::clamp((target + 0.5 - offset) / scale - 0.5, 0.0, n - 1);
        first = static_cast<int>(std::floor(centre));
        double fraction = centre - first;
        if (first >= sourceLength - 1) {
          first = sourceLength - 1;
          fraction = 0;
        }
        taps = fraction > 0 ? 2 : 1;
        real_.resize(2);
        real_[0] = (1 - fraction) * cover;
        real_[1] = fraction * cover;
      }
    }
    std::size_t before = start_.size();
    if (taps > 0) addTarget(first, real_.data(), taps, one);
    if (start_.size() == before) {
      // The picture is one interval: past its far edge nothing is covered.
      if (before > 0) break;
      continue;
    }
    if (before == 0) begin_ = target;
    end_ = target + 1;
    maxCount_ = std::max(maxCount_, count_.back());
    totalTaps += count_.back();
  }
  if (end_ > begin_) meanCount_ = static_cast<double>(totalTaps) / (end_ - begin_);
}

void ResampleAxis::addTarget(int first, const double* real, int n, int one) {
  // Rounding the running sum keeps the quantised weights summing to the
  // rounded coverage, so a fully covered pixel of a flat picture stays flat.
  std::size_t base = weights_.size();
  double running = 0;
  long previous = 0;
  for (int k = 0; k < n; ++k) {
    running = std::min(running + real[k], 1.0);
    long rounded = std::lround(running * one);
    weights_.push_back(static_cast<std::uint16_t>(rounded - previous));
    previous = rounded;
  }
  std::size_t lead = base;
  std::size_t end = weights_.size();
  while (lead < end && weights_[lead] == 0) ++lead;
  while (end > lead && weights_[end - 1] == 0) --end;
  if (lead == end) {
    weights_.resize(base);
    return;
  }
  weights_.erase(weights_.begin() + static_cast<long>(end), weights_.end());
  weights_.erase(weights_.begin() + static_cast<long>(base),
                 weights_.begin() + static_cast<long>(lead));
  start_.push_back(first + static_cast<int>(lead - base));
  count_.push_back(static_cast<int>(end - lead));
  offset_.push_back(static_cast<std::uint32_t>(base));
}

}  // namespace fenwright
