#pragma once

#include <cstdint>
#include <vector>

#include "platform/image_view.h"

namespace fenwright {

// Fits BGRA pictures into a target buffer: uniform scale, centred, exact
// fractional geometry. Shrinking averages the covered source area (no
// aliasing on text); enlarging interpolates bilinearly. Pixels are taken as
// premultiplied. Working buffers are kept between calls, so a stream of
// same-sized frames allocates nothing.
class AreaScaler {
 public:
  enum class Background {
    opaqueBlack,       // composite over opaque black: every pixel ends opaque
    transparentBlack,  // uncovered pixels become 0,0,0,0
  };

  // Draws `source` scaled by `scale` with its top-left corner at
  // ((targetWidth - scale*w) / 2, (targetHeight - scale*h) / 2), and the
  // background everywhere else in the target rectangle.
  void fit(const ImageView& source, double scale, std::uint8_t* target, int targetWidth,
           int targetHeight, int targetBytesPerRow, Background background);

 private:
  std::vector<std::uint32_t> scratch_;
};

}  // namespace fenwright
