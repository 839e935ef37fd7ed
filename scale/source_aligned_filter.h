#pragma once

#include <cstdint>
#include <vector>

#include "scale/cache_line_allocator.h"
#include "scale/image_view.h"
#include "scale/resample_axis.h"
#include "scale/scaler_path.h"

namespace fenwright {

// Both passes of shrinks up to about 3:1 at once, for AVX2 and AVX-512.
// There a target pixel has two to four taps each way, and fetching a
// pixel's taps from a stored row of sums costs more than the arithmetic. So
// eight (sixteen) source pixels a step are summed down their rows in
// registers, weighed across by the taps of the target pixels starting on
// them, and one permute picks out those target pixels. Past 2:1 no two of
// them start on one pair of source pixels, and the pairs are weighed side
// by side. The sums and the
// arithmetic are ColumnFilter's and blendRows()'s, and so are the bytes.
class SourceAlignedFilter {
 public:
  // False, and applyRows() draws nothing, when the fit does not suit it or
  // `path` has no kernel here (only AVX2 and AVX-512 do).
  bool build(const ResampleAxis& columns, ScalerPath path);

  // Filters target rows [y, end) of a fit whose rows are `rows` (at most
  // four taps each, weights in 1/256, as blendRows() takes them) from
  // `band`, whose first row is source row `top`, into the covered runs
  // from `run` on, one a row. Returns the first row it left: `end`, a row
  // of more taps, or `y` for an `alpha` other than bytes of 0 or 255 or a
  // `path` it was not built for. Called once a band, its set-up is paid
  // once, not once a row.
  int applyRows(const ResampleAxis& rows, int y, int end, const ImageView& band, int top,
                std::uint8_t* run, long runBytesPerRow, std::uint16_t rounding,
                std::uint32_t alpha, ScalerPath path) const;

 private:
  // Source pixels a step: a register's worth of 16-bit sums times two.
  static int stepFor(ScalerPath path);

  int step_ = 0;
  int taps_ = 0;
  bool inPairs_ = false;  // no two target pixels start on one pair of source pixels
  int lead_ = 0;  // 1 when the first target pixel starts where the second does (or its pair)
  int firstSource_ = 0;
  int fastSteps_ = 0;  // those that read and write whole registers
  int sourceLeft_ = 0;
  int pixels_ = 0;
  std::vector<int> firstTarget_;        // per step, and one past the last
  // The kernels load these a register at a time.
  template <typename T>
  using Lines = std::vector<T, CacheLineAllocator<T>>;
  Lines<std::int32_t> lanes_;           // per step: the permute
  Lines<std::uint8_t> bytes_;           // per step, AVX-512: the permute of the bytes
  std::vector<std::uint8_t> permuted_;  // per step: 0 when the permute keeps each lane
  Lines<std::uint16_t> weights_;        // per step and tap: a step of pixels x 4 channels, in register order
};

}  // namespace fenwright
