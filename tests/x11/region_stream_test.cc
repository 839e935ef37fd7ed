// The cursor drawn into a picture, and region streams and monitors on a
// private server: the test moves the pointer, defines monitors and needs a
// known screen. (Forcing alpha opaque: every depth-24 window in
// WindowStream, whose pixels are compared whole.)

#include <algorithm>
#include <cstdlib>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/pixel_ops.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

// A window at (100,100), 800x600: quadrants split at x = 500, y = 400.
std::uint32_t expectedScreen(int x, int y) {
  return opaque(y < 400 ? (x < 500 ? 0xD02020 : 0x20B040) : (x < 500 ? 0x2040D0 : 0xE0C020));
}

// Frame pixels of a 400x300 region at screen (300,250) that differ from
// the screen under them, as offsets from `pointer` (in screen pixels).
std::set<std::pair<int, int>> differences(const RecordedFrame& frame, std::pair<int, int> pointer) {
  std::set<std::pair<int, int>> differing;
  for (int ry = 0; ry < 300; ++ry)
    for (int rx = 0; rx < 400; ++rx)
      if (frame.at(rx, ry) != expectedScreen(300 + rx, 250 + ry))
        differing.insert({300 + rx - pointer.first, 250 + ry - pointer.second});
  return differing;
}

// Exactly that part of the screen, with the cursor drawn where the pointer
// is, moved with it, nothing left behind. (The helper always asks for the
// cursor in a region.) Two monitors are two displays, the primary the main
// one; what of a region lies on the display next to its own is black, and
// the rest follows the window's changes. (A region in its display's
// coordinates, and off the screen: the real helper, tests/process.)
TEST(RegionStream, ARegionShowsItsPartOfTheScreenWithTheCursorAndEndsAtItsDisplaysEdge) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display(), {"--pos", "100,100", "--size", "800x600"});
  ASSERT_TRUE(window);
  CaptureSession session(server->display());
  auto displays = [&] {
    auto content = queryContent(session.capture());
    EXPECT_TRUE(content) << content.error().localizedDescription;
    return content ? content.value().displays : std::vector<CaptureDisplay>{};
  };
  auto startRegion = [&](const CaptureDisplay& display, SourceRect rect) {
    auto configuration = serviceConfiguration(true);
    configuration.setSourceRect(rect);
    return session.start(ContentFilter::display(display), configuration);
  };
  ASSERT_EQ(server->run({"xdotool", "mousemove", "450", "350"}), 0);
  ASSERT_TRUE(startRegion(displays().at(0), {300, 250, 400, 300}));
  auto first = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return !differences(f, {450, 350}).empty(); });
  ASSERT_TRUE(first);
  auto shape = differences(*first, {450, 350});
  EXPECT_GE(shape.size(), 10u);
  for (auto [dx, dy] : shape) EXPECT_TRUE(std::abs(dx) < 32 && std::abs(dy) < 32) << dx << "," << dy;
  ASSERT_EQ(server->run({"xdotool", "mousemove", "560", "430"}), 0);
  auto moved = session.recorder().waitForFrame(
      [&](const RecordedFrame& f) { return differences(f, {560, 430}) == shape; },
      first->sequence);
  ASSERT_TRUE(moved);
  ASSERT_EQ(std::pair(moved->width, moved->height), std::pair(400, 300));
  ASSERT_TRUE(stopStream(session.stream()));
  const std::size_t stopped = session.recorder().frameCount();

  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "left", "960/254x1080/286+0+0", "screen"}), 0);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "*right", "960/254x1080/286+960+0", "none"}), 0);
  const auto listed = displays();
  ASSERT_EQ(listed.size(), 2u);
  const CaptureDisplay left = listed[0].x == 0 ? listed[0] : listed[1];
  const CaptureDisplay right = listed[0].x == 0 ? listed[1] : listed[0];
  EXPECT_EQ(std::tuple(left.y, left.width, left.height), std::tuple(0, 960, 1080));
  EXPECT_EQ(std::tuple(right.x, right.y, right.width), std::tuple(960, 0, 960));
  EXPECT_TRUE(left.displayID != right.displayID && left.displayID && right.displayID);
  EXPECT_EQ(session.capture().mainDisplayID(), right.displayID);

  // Across the left display's edge: black where the right one begins.
  ASSERT_TRUE(startRegion(left, {800, 100, 400, 300}));
  auto frame = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(99, 150) == expectedScreen(899, 250); }, stopped);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->at(160, 150), 0u);
  EXPECT_EQ(frame->at(399, 0), 0u);
  ASSERT_TRUE(window->command("fill 00FFFF"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(99, 150) == opaque(0x00FFFF); }, frame->sequence));

  // Making the other one primary moves the main display with it.
  ASSERT_EQ(server->run({"xrandr", "--delmonitor", "left"}), 0);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "*left", "960/254x1080/286+0+0", "screen"}), 0);
  EXPECT_EQ(session.capture().mainDisplayID(), left.displayID);
}

// Premultiplied source-over, as the cursor must look.
std::uint32_t over(std::uint32_t s, std::uint32_t d) {
  std::uint32_t a = s >> 24, result = 0;
  for (int c = 0; c < 4; ++c) {
    std::uint32_t sc = (s >> (8 * c)) & 0xFF, dc = (d >> (8 * c)) & 0xFF;
    result |= std::min<std::uint32_t>(sc + (dc * (255 - a) + 127) / 255, 255) << (8 * c);
  }
  return result;
}

// A cursor of opaque, transparent and half-transparent pixels, placed
// inside, across each edge and wholly outside a picture with padded rows:
// every pixel under it blended, every other pixel and the padding as before.
TEST(PixelOps, DrawCursorBlendsPremultipliedAndClipsAtEveryEdge) {
  const std::uint32_t background = 0xFF204060;
  const std::uint32_t cursor[9] = {0xFF000000, 0x00000000, 0x80808080, 0xFF010203, 0x00000000,
                                   0x80808080, 0xFFFFFFFF, 0x40404040, 0xFFFFFFFF};
  for (auto [left, top] : {std::pair{1, 0}, {-1, 1}, {2, -1}, {-2, -2}, {3, 2}, {-3, 0}, {4, 0},
                           {0, -3}, {0, 3}}) {
    std::vector<std::uint32_t> picture(5 * 3, background);  // 4 x 3 and a padding column
    x11::drawCursor(reinterpret_cast<std::uint8_t*>(picture.data()), 4, 3, 20, {cursor, 3, 3}, left, top);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const int cx = x - left, cy = y - top;
        const bool under = x < 4 && cx >= 0 && cx < 3 && cy >= 0 && cy < 3;
        EXPECT_EQ(picture[5 * y + x], under ? over(cursor[3 * cy + cx], background) : background)
            << "cursor at " << left << "," << top << ", pixel " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace fenwright::testing
