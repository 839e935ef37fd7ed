#pragma once

#include <cstdint>
#include <vector>

#include "scale/resample_axis.h"

namespace fenwright {

// Both passes of shrinks below about 1.75:1 at once, for AVX2. There a
// target pixel has two or three taps each way, and fetching a pixel's taps
// from a stored row of sums costs more than the arithmetic. So eight source
// pixels a step are summed down their rows in registers, weighed across by
// the taps of the target pixels starting on them, and one permute picks out
// those target pixels. The sums and the arithmetic are ColumnFilter's and
// blendRows()'s, and so are the bytes.
class SourceAlignedFilter {
 public:
  // False, and applyRows() does nothing, when the fit does not suit it.
  bool build(const ResampleAxis& columns);

  // Target pixels of the covered run left to the caller before the first
  // applyRows() writes: partly covered ones sharing a source pixel, at
  // most eight.
  int lead() const { return lead_; }

  // The rows of blendRows() (at most four, weights in 1/256) filtered into
  // target pixels [lead(), n) of the covered run at `run`; returns n, or 0
  // when it wrote nothing. The rest of the run is the caller's.
  int applyRows(const std::uint8_t* first, long bytesPerRow, int count,
                const std::uint16_t* weights, std::uint8_t* run, std::uint16_t rounding,
                std::uint32_t alpha) const;

 private:
  int taps_ = 0;
  int lead_ = 0;
  int firstSource_ = 0;
  int steps_ = 0;  // those whose reads and eight-pixel store stay inside
  std::vector<int> firstTarget_;        // per step
  std::vector<std::int32_t> lanes_;     // per step: the permute
  std::vector<std::uint16_t> weights_;  // per step and tap: 8 pixels x 4 channels, in register order
};

}  // namespace fenwright
