#include "tests/scale/reference_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace fenwright::testing {
namespace {

struct Tap {
  int index;
  double weight;
};

// The source pixels and weights of one target pixel along one axis.
std::vector<Tap> taps(int target, int length, double scale, double offset) {
  std::vector<Tap> out;
  if (scale <= 1) {
    double from = (target - offset) / scale, to = (target + 1 - offset) / scale;
    for (int i = std::max(0, static_cast<int>(std::floor(from))); i < length && i < to; ++i) {
      double overlap = std::min(to, i + 1.0) - std::max(from, static_cast<double>(i));
      if (overlap > 0) out.push_back({i, overlap * scale});
    }
  } else {
    double cover = std::min(target + 1.0, offset + scale * length) - std::max<double>(target, offset);
    if (cover <= 0) return out;
    double centre = std::clamp((target + 0.5 - offset) / scale - 0.5, 0.0, length - 1.0);
    int left = static_cast<int>(std::floor(centre));
    double fraction = centre - left;
    out.push_back({left, (1 - fraction) * std::min(cover, 1.0)});
    if (left + 1 < length) out.push_back({left + 1, fraction * std::min(cover, 1.0)});
  }
  return out;
}

}  // namespace

std::vector<double> referenceFit(const ImageView& source, double scale, int targetWidth,
                                 int targetHeight, double tx, double ty) {
  std::vector<std::vector<Tap>> columns;
  for (int x = 0; x < targetWidth; ++x) columns.push_back(taps(x, source.width, scale, tx));
  std::vector<double> out(static_cast<std::size_t>(targetWidth) * targetHeight * 4, 0.0);
  for (int y = 0; y < targetHeight; ++y) {
    const std::vector<Tap> rows = taps(y, source.height, scale, ty);
    for (int x = 0; x < targetWidth; ++x) {
      double* pixel = &out[(static_cast<std::size_t>(y) * targetWidth + x) * 4];
      for (const Tap& column : columns[x])
        for (const Tap& row : rows)
          for (int c = 0; c < 4; ++c)
            pixel[c] += row.weight * column.weight * source.row(row.index)[4 * column.index + c];
    }
  }
  return out;
}

Comparison compare(const std::vector<double>& reference, const ImageView& target,
                   AreaScaler::Background background) {
  double squares = 0;
  int off = 0;
  for (int y = 0; y < target.height; ++y)
    for (int x = 0; x < target.width; ++x) {
      const double* want = &reference[(static_cast<std::size_t>(y) * target.width + x) * 4];
      bool wrong = false;
      for (int c = 0; c < 4; ++c) {
        // Over opaque black, premultiplied colours stay and alpha fills up.
        const double value = c == 3 && background == AreaScaler::Background::opaqueBlack ? 255 : want[c];
        const double error = target.row(y)[4 * x + c] - value;
        if (c < 3) squares += error * error;
        wrong |= std::abs(error) > (std::abs(value - std::round(value)) < 1e-6 ? 1e-6 : 1);
      }
      off += wrong;
    }
  const double mean = squares / (3.0 * target.width * target.height);
  const double psnr = mean == 0 ? std::numeric_limits<double>::infinity()
                                : 10 * std::log10(255.0 * 255.0 / mean);
  return {psnr, off};
}

}  // namespace fenwright::testing
