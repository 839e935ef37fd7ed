#pragma once

#include <cstdint>
#include <vector>

#include "platform/image_view.h"
#include "render/column_filter.h"
#include "render/resample_axis.h"

namespace fenwright {

// Fits BGRA pictures into a target buffer: uniform scale, centred, exact
// fractional geometry. The picture covers [tx, tx + s*w) x [ty, ty + s*h)
// with tx = (targetWidth - s*w) / 2 and ty = (targetHeight - s*h) / 2, not
// rounded: an edge pixel the picture covers only partly blends with the
// background by its coverage.
//
// Shrinking averages the exact source area under each target pixel (no
// aliasing on text): whole-number ratios at whole-pixel offsets take an
// exact n x n block average, every other ratio a separable fixed-point
// filter (errors below 1/256 of a level per tap). Enlarging interpolates
// bilinearly in that same filter, so partly covered edges are handled one
// way for every scale. Scale 1 at whole offsets copies. Pixels are premultiplied and
// composited source-over onto the background.
//
// Working buffers and the filter plan are kept between calls, so a stream
// of same-sized frames allocates nothing. Not thread-safe: one scaler per
// thread or queue. Movable, not copyable.
class AreaScaler {
 public:
  enum class Background {
    opaqueBlack,       // composite over opaque black: every pixel ends opaque
    transparentBlack,  // uncovered pixels become 0,0,0,0
  };

  AreaScaler() = default;
  AreaScaler(const AreaScaler&) = delete;
  AreaScaler& operator=(const AreaScaler&) = delete;
  AreaScaler(AreaScaler&&) noexcept = default;
  AreaScaler& operator=(AreaScaler&&) noexcept = default;

  // Draws `source` scaled by `scale` with its top-left corner at
  // ((targetWidth - scale*w) / 2, (targetHeight - scale*h) / 2), and the
  // background everywhere else in the target rectangle. Any source size
  // and any stride of at least 4 * width (odd ones too) is accepted; parts
  // of the picture outside the target are cut off. An empty source or a
  // scale that is not a positive number draws only the background.
  void fit(const ImageView& source, double scale, std::uint8_t* target, int targetWidth,
           int targetHeight, int targetBytesPerRow, Background background);
  // The same with the picture's top-left corner at (left, top) instead,
  // fractional and anywhere.
  void fitAt(const ImageView& source, double scale, double left, double top, std::uint8_t* target,
             int targetWidth, int targetHeight, int targetBytesPerRow, Background background);

 private:
  struct Geometry {
    int sourceWidth = 0;
    int sourceHeight = 0;
    double scale = 0;
    int targetWidth = 0;
    int targetHeight = 0;
    double left = 0;
    double top = 0;
    bool operator==(const Geometry&) const = default;
  };

  // Whole-number ratio (copy or n x n average) at whole offsets; false when
  // the fit is not one.
  bool fitBlocks(const ImageView& source, const Geometry& geometry, std::uint8_t* target,
                 long targetBytesPerRow, std::uint32_t background);
  void fitFiltered(const ImageView& source, const Geometry& geometry, std::uint8_t* target,
                   long targetBytesPerRow, std::uint32_t background);
  void plan(const Geometry& geometry);

  std::vector<std::uint16_t> sums_;  // one source row of channel sums
  Geometry planned_;
  ResampleAxis rows_;
  ResampleAxis columns_;
  ColumnFilter columnFilter_;
  std::vector<std::uint16_t> rowWeights_;  // rows_' weights, each eight times
  std::uint16_t rounding_ = 128;
};

}  // namespace fenwright
