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

void FrameCompositor::compose(const ImageView& source, std::uint8_t* target,
                              int targetBytesPerRow) {
  // An empty frame has no scale; the scaler then draws only the black.
  const double scale =
      source.width > 0 && source.height > 0 ? scaleFor(source.width, source.height) : 0.0;
  scaler_.fit(source, scale, target, targetWidth_, targetHeight_, targetBytesPerRow,
              AreaScaler::Background::opaqueBlack);
}

}  // namespace fenwright
