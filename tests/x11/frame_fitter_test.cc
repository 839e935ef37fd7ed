#include "platform/x11/frame_fitter.h"

#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace fenwright::x11 {
namespace {

struct Picture {
  int width, height;
  std::vector<std::uint32_t> pixels;
  Picture(int w, int h, std::uint32_t color) : width(w), height(h), pixels(w * h, color) {}
  ImageView view() const {
    return {width, height, width * 4, reinterpret_cast<const std::uint8_t*>(pixels.data())};
  }
};

std::uint32_t pixelAt(const ImageView& image, int x, int y) {
  std::uint32_t pixel;
  std::memcpy(&pixel, image.row(y) + 4 * x, 4);
  return pixel;
}

TEST(FrameFitter, APictureThatFitsIsPassedThroughAtItsOwnSize) {
  FrameFitter fitter(1280, 720);
  for (auto [width, height] : {std::pair{1280, 720}, {641, 361}, {1, 1}}) {
    Picture picture(width, height, 0xFF112233);
    ImageView frame = fitter.fit(picture.view());
    EXPECT_EQ(frame.data, picture.view().data);
    EXPECT_EQ(frame.width, width);
    EXPECT_EQ(frame.height, height);
    EXPECT_EQ(frame.bytesPerRow, width * 4);
  }
}

TEST(FrameFitter, ACanvasKeepsThePictureWhereItLiesOnTransparentBlack) {
  FrameFitter fitter(1280, 720);
  Picture picture(160, 90, 0xFF00FF00);
  ImageView frame = fitter.fit(picture.view(), {640, 360, 0, 0});
  ASSERT_EQ(frame.width, 640);
  ASSERT_EQ(frame.height, 360);
  EXPECT_EQ(pixelAt(frame, 0, 0), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 159, 89), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 160, 0), 0u);
  EXPECT_EQ(pixelAt(frame, 0, 90), 0u);

  // Moved: nothing of the old place is left.
  frame = fitter.fit(picture.view(), {640, 360, 480, 270});
  EXPECT_EQ(pixelAt(frame, 0, 0), 0u);
  EXPECT_EQ(pixelAt(frame, 480, 270), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 639, 359), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 479, 359), 0u);
}

// Larger canvases and pictures are shrunk to fit, centred, the picture in
// its place on the canvas, transparent black around it.
TEST(FrameFitter, LargerPicturesAreShrunkAndCentred) {
  FrameFitter fitter(1280, 720);
  struct Case {
    int width, height;
    FrameCanvas canvas;
    std::vector<std::pair<int, int>> covered, clear;
  };
  for (const Case& c : {
           // Half size, the picture the lower right quarter of its canvas.
           Case{1280, 720, {2560, 1440, 1280, 720}, {{640, 360}, {1279, 719}}, {{639, 400}, {700, 359}}},
           // Height decides: 0.72, so 1152 wide, 64 columns each side.
           Case{1600, 1000, {1600, 1000, 0, 0}, {{65, 360}, {640, 0}, {640, 719}, {1214, 360}},
                {{62, 360}, {1217, 360}}},
           // Width decides: 0.5, so 200 tall, 260 rows above and below.
           Case{2560, 400, {2560, 400, 0, 0}, {{640, 260}, {640, 459}}, {{640, 259}, {640, 460}}}}) {
    Picture picture(c.width, c.height, 0xFF336699);
    ImageView frame = fitter.fit(picture.view(), c.canvas);
    ASSERT_EQ(frame.width, 1280);
    ASSERT_EQ(frame.height, 720);
    for (auto [x, y] : c.covered) EXPECT_EQ(pixelAt(frame, x, y), 0xFF336699u) << x << "," << y;
    for (auto [x, y] : c.clear) EXPECT_EQ(pixelAt(frame, x, y), 0u) << x << "," << y;
  }
  // Nothing of it on the display: all transparent black.
  EXPECT_EQ(pixelAt(fitter.fit({}, {2560, 1440, 0, 0}), 640, 360), 0u);
}

// Read in bands, as a large window is, a shrunk picture comes out byte for
// byte as it does read whole, and no band holds more than a frame's pixels.
TEST(FrameFitter, APictureReadInBandsIsFittedExactlyAsWhole) {
  FrameFitter whole(1280, 720), banded(1280, 720);
  struct Case {
    int width, height;
    FrameCanvas canvas;
  };
  for (const Case& c :
       {Case{2560, 1440, {2560, 1440, 0, 0}}, Case{3840, 2160, {3840, 2160, 0, 0}},
        Case{2999, 1501, {2999, 1501, 0, 0}}, Case{2000, 900, {3000, 1700, 700, 401}}}) {
    Picture picture(c.width, c.height, 0);
    for (std::size_t i = 0; i < picture.pixels.size(); ++i)
      picture.pixels[i] = static_cast<std::uint32_t>(i * 2654435761u) | 0x80000000u;
    const ImageView all = picture.view();
    ImageView expected = whole.fit(all, c.canvas);
    auto frame = banded.fitBands(c.width, c.height, c.canvas, [&](int top, int rows) {
      EXPECT_LE(rows * c.width, 1280 * 720);
      return ImageView{c.width, rows, all.bytesPerRow, all.row(top)};
    });
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::memcmp(frame->data, expected.data, 1280 * 720 * 4), 0)
        << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace fenwright::x11
