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
std::vector<double> referenceFit(const ImageView& source, double scale, int targetWidth,
                                 int targetHeight);

// Peak signal-to-noise ratio in dB of the colour channels (B, G, R) of a
// target over opaque black against `reference`; infinite when equal.
double colourPsnr(const std::vector<double>& reference, const ImageView& target);

// Target pixels that differ from `reference` over `background`: at all
// where the reference is a whole number, by more than 1 elsewhere.
int pixelsOff(const std::vector<double>& reference, const ImageView& target,
              AreaScaler::Background background);

}  // namespace fenwright::testing
