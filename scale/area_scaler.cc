#include "scale/area_scaler.h"

#include <algorithm>
#include <cmath>

#include "scale/box_average.h"
#include "scale/pixel_rows.h"
#include "scale/row_blend.h"
#include "scale/scaler_path.h"

namespace fenwright {
namespace {

// Block averages keep their sums in 16 bits: 16 x 16 x 255 still fits.
constexpr long kMaxBlock = 16;
// Geometry this close to whole numbers is taken as whole.
constexpr double kWhole = 1e-9;

}  // namespace

void AreaScaler::fit(const ImageView& source, double scale, std::uint8_t* target,
                     int targetWidth, int targetHeight, int targetBytesPerRow,
                     Background background) {
  fitAt(source, scale, (targetWidth - scale * source.width) * 0.5,
        (targetHeight - scale * source.height) * 0.5, target, targetWidth, targetHeight,
        targetBytesPerRow, background);
}

void AreaScaler::fitAt(const ImageView& source, double scale, double left, double top,
                       std::uint8_t* target, int targetWidth, int targetHeight,
                       int targetBytesPerRow, Background background) {
  const bool readable = source.data != nullptr && source.bytesPerRow >= 4 * source.width;
  begin(readable ? source.width : 0, readable ? source.height : 0, scale, left, top, target,
        targetWidth, targetHeight, targetBytesPerRow, background);
  drawBand(source, 0);
}

void AreaScaler::begin(int sourceWidth, int sourceHeight, double scale, double left, double top,
                       std::uint8_t* target, int targetWidth, int targetHeight,
                       int targetBytesPerRow, Background background) {
  target_ = nullptr;
  nextRow_ = endRow_ = 0;
  if (target == nullptr || targetWidth <= 0 || targetHeight <= 0) return;
  const std::uint32_t fill = background == Background::opaqueBlack ? 0xff000000u : 0u;
  const bool drawable = sourceWidth > 0 && sourceHeight > 0 && std::isfinite(scale) && scale > 0 &&
                        std::isfinite(left) && std::isfinite(top);
  if (!drawable) {
    drawBackground({target, targetWidth, targetHeight, targetBytesPerRow, 0, 0, 0, 0, fill});
    return;
  }
  const Geometry geometry{sourceWidth, sourceHeight, scale, targetWidth, targetHeight, left, top};
  int bottom = 0;
  block_ = blockSize(geometry);
  if (block_ > 0) {
    left_ = static_cast<int>(std::lround(left));
    top_ = static_cast<int>(std::lround(top));
    right_ = left_ + sourceWidth / block_;
    bottom = top_ + sourceHeight / block_;
    if (block_ > 2 && sums_.size() < 4 * static_cast<std::size_t>(sourceWidth))
      sums_.resize(4 * static_cast<std::size_t>(sourceWidth));
  } else {
    if (!(geometry == planned_)) plan(geometry);
    left_ = columnFilter_.begin();
    right_ = columnFilter_.end();
    top_ = rows_.begin();
    bottom = rows_.end();
  }
  drawBackground(
      {target, targetWidth, targetHeight, targetBytesPerRow, left_, top_, right_, bottom, fill});
  if (left_ >= right_ || top_ >= bottom) return;
  target_ = target;
  targetBytesPerRow_ = targetBytesPerRow;
  alpha_ = fill;  // opaque black forces alpha, transparent keeps it
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  nextRow_ = top_;
  endRow_ = bottom;
}

void AreaScaler::drawBackground(const BackgroundDrawn& drawn) {
  if (keepBackground_ && drawn == lastBackground_) return;
  fillOutside(drawn.target, drawn.width, drawn.height, drawn.bytesPerRow, drawn.left, drawn.top,
              drawn.right, drawn.bottom, drawn.fill);
  if (keepBackground_) lastBackground_ = drawn;
}

AreaScaler::Band AreaScaler::nextBand(int maxRows) const {
  if (nextRow_ >= endRow_) return {};
  const auto [first, last] = footprint(nextRow_);
  return {first, std::min(std::max(last - first, maxRows), sourceHeight_ - first)};
}

bool AreaScaler::drawBand(const ImageView& band, int top) {
  if (nextRow_ >= endRow_) return true;
  if (band.data == nullptr || band.width != sourceWidth_ || band.bytesPerRow < 4 * band.width)
    return false;
  const int before = nextRow_;
  int end = nextRow_;
  for (; end < endRow_; ++end) {
    const auto [first, last] = footprint(end);
    if (first < top || last > top + band.height) break;
  }
  while (nextRow_ < end) {
    if (block_ == 0) {
      nextRow_ = sourceAligned_.applyRows(
          rows_, nextRow_, end, band, top, target_ + nextRow_ * targetBytesPerRow_ + 4 * left_,
          targetBytesPerRow_, rounding_, alpha_, scalerPath());
      if (nextRow_ == end) break;
    }
    drawRow(band, top, nextRow_++);
  }
  return nextRow_ > before;
}

int AreaScaler::blockSize(const Geometry& geometry) const {
  const double inverse = 1.0 / geometry.scale;
  const long n = std::lround(inverse);
  if (n < 1 || n > kMaxBlock || std::abs(inverse - static_cast<double>(n)) > kWhole * n) return 0;
  if (geometry.sourceWidth % n != 0 || geometry.sourceHeight % n != 0) return 0;
  const double left = std::round(geometry.left);
  const double top = std::round(geometry.top);
  if (std::abs(geometry.left - left) > kWhole || std::abs(geometry.top - top) > kWhole ||
      std::abs(left) > geometry.targetWidth || std::abs(top) > geometry.targetHeight)
    return 0;
  const long x0 = std::lround(left);
  const long y0 = std::lround(top);
  if (x0 < 0 || y0 < 0 || x0 + geometry.sourceWidth / n > geometry.targetWidth ||
      y0 + geometry.sourceHeight / n > geometry.targetHeight)
    return 0;
  return static_cast<int>(n);
}

std::pair<int, int> AreaScaler::footprint(int y) const {
  if (block_ > 0) return {(y - top_) * block_, (y - top_ + 1) * block_};
  return {rows_.start(y), rows_.start(y) + rows_.count(y)};
}

void AreaScaler::drawRow(const ImageView& band, int top, int y) {
  std::uint8_t* out = target_ + y * targetBytesPerRow_;
  const std::uint8_t* first = band.row(footprint(y).first - top);
  if (block_ == 0) {
    blendRows(first, band.bytesPerRow, rows_.count(y), rows_.weights(y), columnFilter_.sourceBegin(),
              columnFilter_.sourceEnd(), sums_.data());
    columnFilter_.apply(sums_.data(), out, rounding_, alpha_);
    return;
  }
  out += 4 * left_;
  const int width = right_ - left_;
  if (block_ == 1) {
    copyPixels(first, out, width, alpha_);
  } else if (block_ == 2) {
    averageBlocks2x2(first, first + band.bytesPerRow, out, width, alpha_);
  } else {
    sumRows(first, band.bytesPerRow, block_, sourceWidth_, sums_.data());
    averageRuns(sums_.data(), block_, out, width, alpha_);
  }
}

void AreaScaler::plan(const Geometry& geometry) {
  const double scale = geometry.scale;
  // Rows weigh in 1/256: one byte each, for the vertical pass's byte by
  // byte multiply-adds, and still exact sums.
  rows_.build(geometry.sourceHeight, geometry.targetHeight, scale, geometry.top, 256);
  columns_.build(geometry.sourceWidth, geometry.targetWidth, scale, geometry.left);
  columnFilter_.build(columns_);
  sourceAligned_.build(columns_, scalerPath());

  if (sums_.size() < 4 * static_cast<std::size_t>(columnFilter_.sumsLength()))
    sums_.resize(4 * static_cast<std::size_t>(columnFilter_.sumsLength()));

  // Each column tap truncates about half a 1/256 step on average; start
  // the rounding that much higher so the filter has no dark bias.
  const double bias = 0.5 * columns_.meanCount();
  rounding_ = static_cast<std::uint16_t>(128 + std::min(64L, std::lround(bias)));
  planned_ = geometry;
}

}  // namespace fenwright
