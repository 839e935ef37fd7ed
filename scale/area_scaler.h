#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "scale/image_view.h"
#include "scale/column_filter.h"
#include "scale/resample_axis.h"
#include "scale/source_aligned_filter.h"

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
// filter (row weights in 1/256, column weights in 1/65535, exact sums in
// between). Enlarging interpolates
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

  // The same fit for a picture too large to hold at once, drawn band by
  // band: begin() with its size draws the background, then each band of
  // source rows that nextBand() asks for is passed to drawBand(), which
  // draws the target rows whose whole footprint it holds. The result is
  // byte for byte that of fitAt(). The target must stay valid throughout.
  void begin(int sourceWidth, int sourceHeight, double scale, double left, double top,
             std::uint8_t* target, int targetWidth, int targetHeight, int targetBytesPerRow,
             Background background);
  struct Band {
    int top = 0;
    int rows = 0;  // none: every row is drawn
  };
  // With this on, a fit that puts the picture where the last one put it,
  // on the same target with the same background, leaves the pixels around
  // it alone: they still hold that background. Whoever else writes the
  // target says so with forgetBackground() before the next fit.
  void keepBackground(bool keep) {
    keepBackground_ = keep;
    forgetBackground();
  }
  void forgetBackground() { lastBackground_ = {}; }

  // The rows to read next: `maxRows` from the next target row's footprint
  // on, or that whole footprint when it is longer; never past the picture.
  Band nextBand(int maxRows) const;
  // `band` holds source rows [top, top + band.height) of the full width.
  // False when it drew no row, although some were still to come.
  bool drawBand(const ImageView& band, int top);

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

  // Whole-number ratio (copy or n x n average) at whole offsets: the block
  // size, or 0 when the fit is not one.
  int blockSize(const Geometry& geometry) const;
  void plan(const Geometry& geometry);
  // Source rows [first, second) under target row `y`.
  std::pair<int, int> footprint(int y) const;
  void drawRow(const ImageView& band, int top, int y);

  // Where the last fit drew the background: around [left, right) x
  // [top, bottom) of its target.
  struct BackgroundDrawn {
    std::uint8_t* target = nullptr;
    int width = 0, height = 0;
    long bytesPerRow = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    std::uint32_t fill = 0;
    bool operator==(const BackgroundDrawn&) const = default;
  };
  // Draws the background around the picture unless it is there already.
  void drawBackground(const BackgroundDrawn& drawn);

  std::vector<std::uint16_t> sums_;  // one source row of channel sums
  bool keepBackground_ = false;
  BackgroundDrawn lastBackground_;
  Geometry planned_;
  ResampleAxis rows_;
  ResampleAxis columns_;
  ColumnFilter columnFilter_;
  SourceAlignedFilter sourceAligned_;
  std::uint16_t rounding_ = 128;

  // The fit being drawn: target rows [nextRow_, endRow_) are still to come,
  // columns [left_, right_) of them are covered. block_ is 0 when filtered.
  std::uint8_t* target_ = nullptr;
  long targetBytesPerRow_ = 0;
  std::uint32_t alpha_ = 0;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int block_ = 0;
  int left_ = 0, right_ = 0, top_ = 0;
  int nextRow_ = 0, endRow_ = 0;
};

}  // namespace fenwright
