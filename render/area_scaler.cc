#include "render/area_scaler.h"

#include <algorithm>
#include <cmath>

#include "render/box_average.h"
#include "render/pixel_rows.h"
#include "render/row_blend.h"

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
  if (target == nullptr || targetWidth <= 0 || targetHeight <= 0) return;
  const std::uint32_t fill = background == Background::opaqueBlack ? 0xff000000u : 0u;
  const bool drawable = source.data != nullptr && source.width > 0 && source.height > 0 &&
                        source.bytesPerRow >= 4 * source.width && std::isfinite(scale) &&
                        scale > 0 && std::isfinite(left) && std::isfinite(top);
  if (!drawable) {
    fillOutside(target, targetWidth, targetHeight, targetBytesPerRow, 0, 0, 0, 0, fill);
    return;
  }
  const Geometry geometry{source.width, source.height, scale, targetWidth, targetHeight, left, top};
  if (fitBlocks(source, geometry, target, targetBytesPerRow, fill)) return;
  fitFiltered(source, geometry, target, targetBytesPerRow, fill);
}

bool AreaScaler::fitBlocks(const ImageView& source, const Geometry& geometry,
                           std::uint8_t* target, long targetBytesPerRow,
                           std::uint32_t background) {
  const int targetWidth = geometry.targetWidth;
  const int targetHeight = geometry.targetHeight;
  const double inverse = 1.0 / geometry.scale;
  const long n = std::lround(inverse);
  if (n < 1 || n > kMaxBlock || std::abs(inverse - static_cast<double>(n)) > kWhole * n)
    return false;
  if (source.width % n != 0 || source.height % n != 0) return false;
  const double left = std::round(geometry.left);
  const double top = std::round(geometry.top);
  if (std::abs(geometry.left - left) > kWhole || std::abs(geometry.top - top) > kWhole ||
      std::abs(left) > targetWidth || std::abs(top) > targetHeight)
    return false;
  const int width = static_cast<int>(source.width / n);
  const int height = static_cast<int>(source.height / n);
  const int x0 = static_cast<int>(left);
  const int y0 = static_cast<int>(top);
  if (x0 < 0 || y0 < 0 || x0 + width > targetWidth || y0 + height > targetHeight) return false;

  fillOutside(target, targetWidth, targetHeight, targetBytesPerRow, x0, y0, x0 + width,
              y0 + height, background);
  const std::uint32_t alpha = background;  // opaque black forces alpha, transparent keeps it
  const int block = static_cast<int>(n);
  if (block > 2 && sums_.size() < 4 * static_cast<std::size_t>(source.width))
    sums_.resize(4 * static_cast<std::size_t>(source.width));
  for (int y = 0; y < height; ++y) {
    std::uint8_t* out = target + (y0 + y) * targetBytesPerRow + 4 * x0;
    if (block == 1) {
      copyPixels(source.row(y), out, width, alpha);
    } else if (block == 2) {
      averageBlocks2x2(source.row(2 * y), source.row(2 * y + 1), out, width, alpha);
    } else {
      sumRows(source.row(block * y), source.bytesPerRow, block, source.width, sums_.data());
      averageRuns(sums_.data(), block, out, width, alpha);
    }
  }
  return true;
}

void AreaScaler::fitFiltered(const ImageView& source, const Geometry& geometry,
                             std::uint8_t* target, long targetBytesPerRow,
                             std::uint32_t background) {
  const int targetWidth = geometry.targetWidth;
  const int targetHeight = geometry.targetHeight;
  if (!(geometry == planned_)) plan(geometry);
  const int left = columnFilter_.begin();
  const int right = columnFilter_.end();
  const int top = rows_.begin();
  const int bottom = rows_.end();
  fillOutside(target, targetWidth, targetHeight, targetBytesPerRow, left, top, right, bottom,
              background);
  if (left >= right || top >= bottom) return;
  const std::uint32_t alpha = background;
  const std::uint16_t* firstWeight = rows_.weights(top);
  for (int y = top; y < bottom; ++y) {
    const std::uint16_t* weights = rowWeights_.data() + 8 * (rows_.weights(y) - firstWeight);
    blendRows(source.row(rows_.start(y)), source.bytesPerRow, rows_.count(y), weights,
              columnFilter_.sourceBegin(), columnFilter_.sourceEnd(), sums_.data());
    columnFilter_.apply(sums_.data(), target + y * targetBytesPerRow, rounding_, alpha);
  }
}

void AreaScaler::plan(const Geometry& geometry) {
  const double scale = geometry.scale;
  rows_.build(geometry.sourceHeight, geometry.targetHeight, scale, geometry.top);
  columns_.build(geometry.sourceWidth, geometry.targetWidth, scale, geometry.left);
  columnFilter_.build(columns_);

  rowWeights_.clear();
  if (rows_.end() > rows_.begin()) {
    const std::uint16_t* first = rows_.weights(rows_.begin());
    const int last = rows_.end() - 1;
    const std::uint16_t* end = rows_.weights(last) + rows_.count(last);
    for (const std::uint16_t* w = first; w != end; ++w) rowWeights_.insert(rowWeights_.end(), 8, *w);
  }
  if (sums_.size() < 4 * static_cast<std::size_t>(geometry.sourceWidth))
    sums_.resize(4 * static_cast<std::size_t>(geometry.sourceWidth));

  // Each tap truncates about half a 1/256 step on average; start the
  // rounding that much higher so the filter has no dark bias.
  const double bias = 0.5 * (rows_.meanCount() + columns_.meanCount());
  rounding_ = static_cast<std::uint16_t>(128 + std::min(64L, std::lround(bias)));
  planned_ = geometry;
}

}  // namespace fenwright
