#pragma once

namespace fenwright {

// What a sample's picture stands for when it is not the frame itself: a
// frame of frameWidth x frameHeight in which the picture covers the
// rectangle at (x, y), width x height, all fractional. A picture larger
// than the frame is handed on at its own size with this, so that it is
// scaled once, straight to where it is finally drawn.
struct FrameGeometry {
  int frameWidth = 0;
  int frameHeight = 0;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

}  // namespace fenwright
