#pragma once

#include <vector>

#include "scale/area_scaler.h"

namespace fenwright::testing {

// The fit worked out the slow, obvious way in double precision, as the
// yardstick for the scaler: the picture covers [tx, tx + s*w) x
// [ty, ty + s*h), centred; shrinking takes the exact area average of each
// target pixel's footprint, enlarging interpolates bilinearly (edges
// clamped), and partly covered pixels are scaled by their coverage.
// Result: premultiplied B, G, R, A per target pixel, before any background.
// With `left` and `top`, the picture's corner goes there instead.
std::vector<double> referenceFit(const ImageView& source, double scale, int targetWidth,
                                 int targetHeight, double left, double top);
inline std::vector<double> referenceFit(const ImageView& source, double scale, int targetWidth,
                                        int targetHeight) {
  return referenceFit(source, scale, targetWidth, targetHeight,
                      (targetWidth - scale * source.width) * 0.5,
                      (targetHeight - scale * source.height) * 0.5);
}

// A target against `reference` over `background`: the peak signal-to-noise
// ratio in dB of its colour channels (infinite when equal), and the pixels
// that differ at all where the reference is a whole number, by more than 1
// elsewhere.
struct Comparison {
  double colourPsnr;
  int pixelsOff;
};
Comparison compare(const std::vector<double>& reference, const ImageView& target,
                   AreaScaler::Background background);

}  // namespace fenwright::testing
