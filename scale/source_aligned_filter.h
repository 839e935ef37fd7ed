#pragma once

#include <cstdint>
#include <vector>

#include "scale/resample_axis.h"

namespace fenwright {

// The horizontal pass of shrinks below about 2:1, for AVX2. There a target
// pixel has two or three taps and fetching them costs more than weighing
// them, so the taps are weighed along the source row instead, eight source
// pixels a step (each pixel by the weights of the target pixel starting on
// it), and one permute picks out the target pixels that start in the step.
// Same arithmetic and bytes as ColumnFilter's.
class SourceAlignedFilter {
 public:
  // False, and apply() does nothing, when the fit does not suit it.
  bool build(const ResampleAxis& axis);

  // Source pixels of sums apply() may read, from 0; only the covered
  // ones meet nonzero weights.
  int sumsLength() const { return sumsLength_; }

  // Target pixels of the covered run apply() leaves to the caller before
  // its first, at most eight.
  int lead() const { return lead_; }

  // Writes target pixels [lead(), n) of the covered run at `row` and
  // returns n, or 0 when it writes none; the rest is the caller's.
  int apply(const std::uint16_t* sums, std::uint8_t* row, std::uint16_t rounding,
            std::uint32_t alpha) const;

 private:
  int taps_ = 0;
  int lead_ = 0;
  int firstSource_ = 0;
  int steps_ = 0;  // those whose eight-pixel store stays inside the run
  int sumsLength_ = 0;
  std::vector<int> firstTarget_;          // per step, and one past the last
  std::vector<std::int32_t> lanes_;       // per step: the permute
  std::vector<std::uint16_t> weights_;    // per step and tap: 8 pixels x 4 channels
};

}  // namespace fenwright
