#include "render/frame_compositor.h"

namespace fenwright {

FrameCompositor::FrameCompositor(int targetWidth, int targetHeight)
    : targetWidth_(targetWidth), targetHeight_(targetHeight) {}

double FrameCompositor::scaleFor(int sourceWidth, int sourceHeight) const {
  const double w = sourceWidth;
  const double h = sourceHeight;
  double scale = targetWidth_ / w;
  if (targetHeight_ / h < scale) scale = targetHeight_ / h;
  return scale;
}

void FrameCompositor::compose(const ImageView& source,
                              const std::optional<FrameGeometry>& geometry, std::uint8_t* target,
                              int targetBytesPerRow) {
  if (geometry && geometry->frameWidth > 0 && geometry->frameHeight > 0 && source.width > 0 &&
      source.height > 0 && geometry->width > 0) {
    const double frameScale = scaleFor(geometry->frameWidth, geometry->frameHeight);
    const double left = (targetWidth_ - frameScale * geometry->frameWidth) * 0.5;
    const double top = (targetHeight_ - frameScale * geometry->frameHeight) * 0.5;
    scaler_.fitAt(source, frameScale * geometry->width / source.width,
                  left + frameScale * geometry->x, top + frameScale * geometry->y, target,
                  targetWidth_, targetHeight_, targetBytesPerRow,
                  AreaScaler::Background::opaqueBlack);
    return;
  }
  // An empty frame has no scale; the scaler then draws only the black.
  const double scale =
      source.width > 0 && source.height > 0 ? scaleFor(source.width, source.height) : 0.0;
  scaler_.fit(source, scale, target, targetWidth_, targetHeight_, targetBytesPerRow,
              AreaScaler::Background::opaqueBlack);
}

}  // namespace fenwright
