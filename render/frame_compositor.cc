#include "render/frame_compositor.h"

#include <algorithm>

namespace fenwright {

FrameCompositor::FrameCompositor(int targetWidth, int targetHeight)
    : targetWidth_(targetWidth), targetHeight_(targetHeight) {
  // A narrow window's bars were a fifth of its frame's time, every frame.
  scaler_.keepBackground(true);
}

double FrameCompositor::scaleFor(int sourceWidth, int sourceHeight) const {
  const double w = sourceWidth;
  const double h = sourceHeight;
  double scale = targetWidth_ / w;
  if (targetHeight_ / h < scale) scale = targetHeight_ / h;
  return scale;
}

void FrameCompositor::compose(const ImageView& source,
                              const std::optional<FrameGeometry>& geometry,
                              ArrivingRows* arriving, std::uint8_t* target,
                              int targetBytesPerRow) {
  const bool someSource = source.width > 0 && source.height > 0;
  // An empty frame has no scale; the scaler then draws only the black.
  double scale = someSource ? scaleFor(source.width, source.height) : 0.0;
  double left = (targetWidth_ - scale * source.width) * 0.5;
  double top = (targetHeight_ - scale * source.height) * 0.5;
  if (geometry && geometry->frameWidth > 0 && geometry->frameHeight > 0 && someSource &&
      geometry->width > 0) {
    const double frameScale = scaleFor(geometry->frameWidth, geometry->frameHeight);
    scale = frameScale * geometry->width / source.width;
    left = (targetWidth_ - frameScale * geometry->frameWidth) * 0.5 + frameScale * geometry->x;
    top = (targetHeight_ - frameScale * geometry->frameHeight) * 0.5 + frameScale * geometry->y;
  }
  if (!arriving) {
    scaler_.fitAt(source, scale, left, top, target, targetWidth_, targetHeight_,
                  targetBytesPerRow, AreaScaler::Background::opaqueBlack);
    return;
  }
  // The same bytes as fitAt(): each pass draws the target rows whose whole
  // footprint has come.
  const bool readable = source.data != nullptr && source.bytesPerRow >= 4 * source.width;
  scaler_.begin(readable ? source.width : 0, readable ? source.height : 0, scale, left, top,
                target, targetWidth_, targetHeight_, targetBytesPerRow,
                AreaScaler::Background::opaqueBlack);
  for (int rows = 0; rows < source.height;) {
    rows = std::min(arriving->awaitMoreRows(), source.height);
    if (readable) scaler_.drawBand({source.width, rows, source.bytesPerRow, source.data}, 0);
  }
}

}  // namespace fenwright
