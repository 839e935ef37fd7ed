#include "platform/x11/frame_fitter.h"

#include <cstring>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/scale/test_image.h"

namespace fenwright::x11 {
namespace {

using testing::TestImage;

// One fitter through a run of pictures and canvases: what fits comes out
// at its own size (untouched when it is its whole canvas), larger ones are
// shrunk to fit, centred; the picture shows exactly where it lies, the
// rest is transparent black, with nothing left of the frame before.
TEST(FrameFitter, PicturesLandWhereTheyLieOnTheirCanvasAndNowhereElse) {
  FrameFitter fitter(1280, 720);
  struct Case {
    int width, height;
    FrameCanvas canvas;
    int frameWidth, frameHeight, x0, y0, x1, y1;  // the picture's place in the frame
    bool passedThrough;
  };
  for (const Case& c : {
           Case{1280, 720, {1280, 720, 0, 0}, 1280, 720, 0, 0, 1280, 720, true},
           Case{641, 361, {641, 361, 0, 0}, 641, 361, 0, 0, 641, 361, true},
           Case{1, 1, {1, 1, 0, 0}, 1, 1, 0, 0, 1, 1, true},
           Case{160, 90, {640, 360, 0, 0}, 640, 360, 0, 0, 160, 90, false},
           Case{160, 90, {640, 360, 480, 270}, 640, 360, 480, 270, 640, 360, false},
           // Half size, the lower right quarter of its canvas.
           Case{1280, 720, {2560, 1440, 1280, 720}, 1280, 720, 640, 360, 1280, 720, false},
           // Height decides: 0.72, 64 columns each side.
           Case{1600, 1000, {1600, 1000, 0, 0}, 1280, 720, 64, 0, 1216, 720, false},
           // Width decides: 0.5, 260 rows above and below.
           Case{2560, 400, {2560, 400, 0, 0}, 1280, 720, 0, 260, 1280, 460, false},
           // Nothing of it on the display.
           Case{0, 0, {2560, 1440, 0, 0}, 1280, 720, 0, 0, 0, 0, false}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " +
                 std::to_string(c.canvas.x) + "," + std::to_string(c.canvas.y));
    const TestImage picture = TestImage::uniform(c.width, c.height, 0xFF336699);
    const ImageView frame = fitter.fit(picture.view(), c.canvas);
    EXPECT_EQ(frame.data == picture.view().data, c.passedThrough);
    ASSERT_EQ(frame.width, c.frameWidth);
    ASSERT_EQ(frame.height, c.frameHeight);
    int off = 0;
    for (int y = 0; y < frame.height; ++y)
      for (int x = 0; x < frame.width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, frame.row(y) + 4 * x, 4);
        off += pixel != (x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1 ? 0xFF336699u : 0u);
      }
    EXPECT_EQ(off, 0);
  }
}

// Read in bands, as a window beyond 4K is, a shrunk picture comes out byte
// for byte as it does read whole, and no band holds more than a frame's
// pixels. Up to 4K it is read whole and handed on as it is.
TEST(FrameFitter, APictureReadInBandsIsFittedExactlyAsWhole) {
  FrameFitter whole(1280, 720), banded(1280, 720, /*largestWholePicture=*/0);
  for (auto [width, height, canvas] :
       {std::tuple{2560, 1440, FrameCanvas{2560, 1440, 0, 0}}, {3840, 2160, {3840, 2160, 0, 0}},
        {2999, 1501, {2999, 1501, 0, 0}}, {2000, 900, {3000, 1700, 700, 401}}}) {
    const TestImage picture = TestImage::textLike(width, height, width);
    const ImageView all = picture.view(), expected = whole.fit(all, canvas);
    auto frame = banded.fitBands(width, height, canvas, [&](int top, int rows) {
      EXPECT_LE(rows * width, 1280 * 720);
      return ImageView{width, rows, all.bytesPerRow, all.row(top)};
    });
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::memcmp(frame->image.data, expected.data, 1280 * 720 * 4), 0) << width << "x" << height;
    auto handedOn = whole.fitBands(width, height, canvas, [&](int, int) { return all; });
    ASSERT_TRUE(handedOn && handedOn->geometry);
    EXPECT_EQ(handedOn->image.data, all.data);
  }
}

}  // namespace
}  // namespace fenwright::x11
