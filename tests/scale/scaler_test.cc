#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "scale/area_scaler.h"
#include "scale/scaler_path.h"
#include "tests/scale/reference_fit.h"
#include "tests/scale/test_image.h"

namespace fenwright {
namespace {

using testing::TestImage;
using Background = AreaScaler::Background;

// Every scaler in the process takes `path` while this lives.
struct OnPath {
  explicit OnPath(ScalerPath path) : before(scalerPath()) { EXPECT_TRUE(useScalerPath(path)); }
  ~OnPath() { useScalerPath(before); }
  ScalerPath before;
};

struct Fit {
  double scale, left, top;
  int width, height, bytesPerRow;  // of the target
  Background background;
};

// The target's bytes, its row padding prefilled with 0x5a as junk.
std::vector<std::uint8_t> draw(const ImageView& source, const Fit& fit) {
  std::vector<std::uint8_t> target(static_cast<std::size_t>(fit.bytesPerRow) * fit.height, 0x5a);
  AreaScaler().fitAt(source, fit.scale, fit.left, fit.top, target.data(), fit.width, fit.height,
                     fit.bytesPerRow, fit.background);
  return target;
}

// A centred fit at scale `s` into a tight target, and how it compares with the yardstick.
std::pair<std::vector<std::uint8_t>, testing::Comparison> centred(const ImageView& source,
                                                                  double s, int width, int height) {
  auto target = draw(source, {s, (width - s * source.width) / 2, (height - s * source.height) / 2,
                              width, height, 4 * width, Background::opaqueBlack});
  const auto comparison =
      testing::compare(testing::referenceFit(source, s, width, height),
                       {width, height, 4 * width, target.data()}, Background::opaqueBlack);
  return {std::move(target), comparison};
}

std::uint64_t checksum(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

// Random fits of every kind (copies, n x n blocks, fractional shrinks,
// enlargements, cut off or barred, odd strides, both backgrounds): every
// path writes the scalar path's bytes, close to the yardstick and exact
// where it is whole (flat pictures, white among them for the largest block
// sums; bars and partly covered edges take the background, alpha too), and
// leaves the row padding alone.
TEST(ScalerPaths, EveryPathWritesTheBytesOfTheScalarPathAndTheReference) {
  // FENWRIGHT_TEST_SEED=<printed seed> replays a run.
  const char* given = std::getenv("FENWRIGHT_TEST_SEED");
  const auto seed = given ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 0)) : 0x5ca1eu;
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 random(seed);
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
  auto real = [&](double low, double high) { return std::uniform_real_distribution(low, high)(random); };
  for (int i = 0; i < 80; ++i) {
    const int targetWidth = uniform(1, 300), targetHeight = uniform(1, 200);
    Fit fit{0, 0, 0, targetWidth, targetHeight, 4 * targetWidth + uniform(0, 9),
            i % 2 ? Background::opaqueBlack : Background::transparentBlack};
    int width = 0, height = 0;
    if (i % 3 == 0) {  // whole n x n blocks at whole offsets
      const int n = uniform(1, 16);
      width = n * uniform(1, targetWidth), height = n * uniform(1, targetHeight);
      fit.scale = 1.0 / n;
      fit.left = uniform(0, targetWidth - width / n), fit.top = uniform(0, targetHeight - height / n);
    } else {
      width = uniform(1, 900), height = uniform(1, 500);
      fit.scale = std::exp(real(-3.5, 1.5));
      fit.left = real(-0.3, 0.6) * targetWidth, fit.top = real(-0.3, 0.6) * targetHeight;
    }
    const unsigned alpha = uniform(0, 255), red = uniform(0, alpha);  // premultiplied
    const bool flat = i % 5 < 2;
    const TestImage image =
        !flat ? TestImage::textLike(width, height, seed + i, 4 * width + uniform(0, 7))
        : i % 10 ? TestImage::uniform(width, height, alpha << 24 | red << 16 | uniform(0, alpha))
                 : TestImage::uniform(width, height, 0xffffffff);
    SCOPED_TRACE("case " + std::to_string(i) + ": " + std::to_string(width) + "x" +
                 std::to_string(height) + " scale " + std::to_string(fit.scale));
    std::vector<std::uint8_t> expected;
    for (ScalerPath path : availableScalerPaths()) {  // the scalar one first
      OnPath on(path);
      if (path == ScalerPath::scalar) expected = draw(image.view(), fit);
      ASSERT_TRUE(draw(image.view(), fit) == expected) << scalerPathName(path);
    }
    const auto comparison = testing::compare(
        testing::referenceFit(image.view(), fit.scale, targetWidth, targetHeight, fit.left, fit.top),
        {targetWidth, targetHeight, fit.bytesPerRow, expected.data()}, fit.background);
    EXPECT_EQ(flat ? comparison.pixelsOff : 0, 0);
    EXPECT_GE(comparison.colourPsnr, 40.0);
    for (int y = 0; y < targetHeight; ++y)
      ASSERT_TRUE(std::all_of(expected.data() + y * fit.bytesPerRow + 4 * targetWidth,
                              expected.data() + (y + 1) * fit.bytesPerRow, [](int b) { return b == 0x5a; }));
  }
}

// Centred fits of text-like pictures over opaque black, one for each way
// the scaler works: close to the exact area average (or bilinear
// enlargement), and byte for byte what it has been.
TEST(ScalerGoldens, FitsMatchTheReferenceAndKeepTheirBytes) {
  for (auto [width, height, targetWidth, targetHeight, golden] : {
           std::tuple{1280, 720, 640, 360, 15059185783831434040ul},  // 2 x 2 blocks
           {1920, 1080, 640, 360, 9922597729275248744ul},    // 3 x 3
           {3840, 2160, 640, 360, 4922097593591659389ul},    // 6 x 6
           {1366, 768, 640, 360, 5082581650674098969ul},     // fractional, edge rows partly covered
           {1000, 1000, 640, 360, 3735376773684171932ul},     // bars at the sides
           {333, 777, 640, 360, 2709784280438430331ul},      // odd size, bars
           {320, 180, 640, 360, 9745294456436395297ul},     // enlarged twice
           {7, 5, 640, 360, 15346604561788756796ul},          // enlarged a lot
           {1281, 721, 1280, 720, 6427219397421577184ul},    // just above the frame
           {2100, 200, 640, 360, 6650653142818852779ul},     // 3.3:1, five taps a pixel
           {3000, 200, 640, 360, 899695315652215605ul},    // 4.7:1, six
           {3300, 200, 640, 360, 2972477283089237218ul},     // 5.2:1, seven
           {4300, 200, 640, 360, 5951412927960404424ul},     // 6.7:1, eight
           {5000, 37, 640, 360, 12895653670775133431ul},     // 7.8:1, a wide strip
           {8192, 400, 640, 360, 15563669186927386050ul},     // 12.8:1
           {400, 8192, 640, 360, 14879025001292194503ul},     // 22.76:1, a thin column
       }) {
    const std::uint32_t seed = static_cast<std::uint32_t>(width * 7919 + height);
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " seed=" + std::to_string(seed));
    const TestImage image = TestImage::textLike(width, height, seed, 4 * width + 7);
    const double s = std::min(double(targetWidth) / width, double(targetHeight) / height);
    const auto [target, comparison] = centred(image.view(), s, targetWidth, targetHeight);
    EXPECT_GE(comparison.colourPsnr, 40.0);
    EXPECT_EQ(checksum(target), golden);
  }
}

// A 200 x 200 picture at about scale 1 in 100 x 100: its green middle shows.
TEST(ScalerGeometry, ScaleOneCutsOffWhatLiesOutsideAndABadFitDrawsOnlyTheBackground) {
  TestImage image = TestImage::uniform(200, 200, 0xff0000ff);
  for (int y = 50; y < 150; ++y)
    for (int x = 50; x < 150; ++x) image.set(x, y, 0xff00ff00);
  for (double scale : {1.0, 1.0000001, 0.9999999})
    EXPECT_EQ(centred(image.view(), scale, 100, 100).second.pixelsOff, 0) << scale;
  // No picture, or no sensible scale: only the background.
  const ImageView some = image.view();
  for (auto [source, scale] : {std::pair{some, 0.0}, {some, -1.0}, {some, std::nan("")},
                               {some, static_cast<double>(INFINITY)}, {ImageView{}, 1.0}})
    for (auto background : {Background::transparentBlack, Background::opaqueBlack}) {
      const auto target = draw(source, {scale, 0, 0, 64, 36, 256, background});
      const std::vector<double> nothing(64 * 36 * 4);
      EXPECT_EQ(testing::compare(nothing, {64, 36, 256, target.data()}, background).pixelsOff, 0) << scale;
    }
}

}  // namespace
}  // namespace fenwright
