#include "platform/x11/frame_fitter.h"

#include <cstring>
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

TEST(FrameFitter, PictureOfFrameSizeIsPassedThroughWithoutCopy) {
  FrameFitter fitter(1280, 720);
  Picture picture(1280, 720, 0xFF112233);
  ImageView frame = fitter.fit(picture.view());
  EXPECT_EQ(frame.data, picture.view().data);
  EXPECT_EQ(frame.width, 1280);
  EXPECT_EQ(frame.height, 720);
  EXPECT_EQ(frame.bytesPerRow, 1280 * 4);
}

TEST(FrameFitter, SmallerPictureKeepsItsSizeCentredOnTransparentBlack) {
  FrameFitter fitter(1280, 720);
  Picture picture(641, 361, 0xFF00FF00);
  picture.pixels[0] = 0xFFFF0000;  // marks the top-left corner
  ImageView frame = fitter.fit(picture.view());
  ASSERT_EQ(frame.width, 1280);
  ASSERT_EQ(frame.height, 720);
  // Whole-pixel offsets, rounded down: (1280-641)/2 = 319, (720-361)/2 = 179.
  EXPECT_EQ(pixelAt(frame, 319, 179), 0xFFFF0000u);
  EXPECT_EQ(pixelAt(frame, 320, 179), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 319 + 640, 179 + 360), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(frame, 318, 179), 0u);
  EXPECT_EQ(pixelAt(frame, 319, 178), 0u);
  EXPECT_EQ(pixelAt(frame, 319 + 641, 200), 0u);
  EXPECT_EQ(pixelAt(frame, 400, 179 + 361), 0u);
  EXPECT_EQ(pixelAt(frame, 0, 0), 0u);
  EXPECT_EQ(pixelAt(frame, 1279, 719), 0u);
}

TEST(FrameFitter, ANewPlacementClearsWhatTheOldOneLeft) {
  FrameFitter fitter(1280, 720);
  Picture large(800, 600, 0xFF0000FF);
  Picture small(200, 100, 0xFFFFFFFF);
  fitter.fit(large.view());
  ImageView frame = fitter.fit(small.view());
  EXPECT_EQ(pixelAt(frame, 240, 60), 0u);  // was the large picture's corner
  EXPECT_EQ(pixelAt(frame, 640, 360), 0xFFFFFFFFu);
}

TEST(FrameFitter, SamePlacementReusesTheFrame) {
  FrameFitter fitter(1280, 720);
  Picture first(640, 360, 0xFF101010);
  Picture second(640, 360, 0xFF202020);
  const std::uint8_t* before = fitter.fit(first.view()).data;
  ImageView frame = fitter.fit(second.view());
  EXPECT_EQ(frame.data, before);
  EXPECT_EQ(pixelAt(frame, 640, 360), 0xFF202020u);
  EXPECT_EQ(pixelAt(frame, 0, 0), 0u);
}

TEST(FrameFitter, LargerPictureOfTheSameAspectFillsTheFrame) {
  FrameFitter fitter(1280, 720);
  Picture picture(2560, 1440, 0xFF336699);
  ImageView frame = fitter.fit(picture.view());
  ASSERT_EQ(frame.width, 1280);
  ASSERT_EQ(frame.height, 720);
  for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {640, 360}})
    EXPECT_EQ(pixelAt(frame, x, y), 0xFF336699u) << x << "," << y;
}

TEST(FrameFitter, LargerPictureOfAnotherAspectIsFittedAndCentred) {
  FrameFitter fitter(1280, 720);
  // Height decides: 720/1000 = 0.72, so 1152 wide, 64 columns each side.
  Picture picture(1600, 1000, 0xFFC08040);
  ImageView frame = fitter.fit(picture.view());
  EXPECT_EQ(pixelAt(frame, 62, 360), 0u);
  EXPECT_EQ(pixelAt(frame, 65, 360), 0xFFC08040u);
  EXPECT_EQ(pixelAt(frame, 640, 0), 0xFFC08040u);
  EXPECT_EQ(pixelAt(frame, 640, 719), 0xFFC08040u);
  EXPECT_EQ(pixelAt(frame, 1214, 360), 0xFFC08040u);
  EXPECT_EQ(pixelAt(frame, 1217, 360), 0u);
}

TEST(FrameFitter, PictureWiderThanTheFrameButNotTallerIsShrunk) {
  FrameFitter fitter(1280, 720);
  // Width decides: 1280/2560 = 0.5, so 200 tall, 260 rows each side.
  Picture picture(2560, 400, 0xFF808080);
  ImageView frame = fitter.fit(picture.view());
  EXPECT_EQ(pixelAt(frame, 640, 259), 0u);
  EXPECT_EQ(pixelAt(frame, 640, 260), 0xFF808080u);
  EXPECT_EQ(pixelAt(frame, 640, 459), 0xFF808080u);
  EXPECT_EQ(pixelAt(frame, 640, 460), 0u);
}

}  // namespace
}  // namespace fenwright::x11
