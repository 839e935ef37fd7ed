#pragma once

#include <cstdint>
#include <optional>

#include "platform/capture/arriving_rows.h"
#include "platform/capture/frame_geometry.h"
#include "scale/image_view.h"
#include "scale/area_scaler.h"

namespace fenwright {

// Fits a captured BGRA frame of any size into the target: scaled uniformly
// to fit entirely, centred at fractional offsets, composited over opaque
// black, so every target pixel ends opaque. Keeps the scaler's working
// buffers between frames. Used on one queue at a time; not copyable.
class FrameCompositor {
 public:
  FrameCompositor(int targetWidth, int targetHeight);

  // The scale factor for a source of this size: the smaller of the two
  // ratios, the height's only when strictly smaller.
  double scaleFor(int sourceWidth, int sourceHeight) const;

  // Overwrites the whole target (targetWidth x targetHeight pixels, rows
  // `targetBytesPerRow` apart) with the fitted frame and black bars; bars
  // already drawn there by the last frame, in the same place, are kept
  // unless targetRewritten() said something else drew over them. With a
  // geometry, the frame it names is what is fitted, and the source is drawn
  // where it lies in that frame, in one scaling from its own pixels. With
  // `arriving`, the target rows are drawn band by band as the source rows
  // under them come in, and every row has come when it returns.
  void compose(const ImageView& source, const std::optional<FrameGeometry>& geometry,
               ArrivingRows* arriving, std::uint8_t* target, int targetBytesPerRow);
  void compose(const ImageView& source, std::uint8_t* target, int targetBytesPerRow) {
    compose(source, std::nullopt, nullptr, target, targetBytesPerRow);
  }
  void targetRewritten() { scaler_.forgetBackground(); }

 private:
  int targetWidth_;
  int targetHeight_;
  AreaScaler scaler_;
};

}  // namespace fenwright
