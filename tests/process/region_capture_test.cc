// The helper capturing a region of a display, on a private server split
// into two monitors, checked through the surface a client maps.

#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

// The main display is the right half, 960x1080 at (960,0); a 320x180 window
// sits in its bottom-right corner, at (640,900) on it.
TEST(RegionCapture, FillsTheSurfaceKeepsItsPlaceOffItsDisplayAndStopsWithIt) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "left", "960/254x1080/286+0+0", "screen"}), 0);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "*right", "960/254x1080/286+960+0", "none"}), 0);
  // In the test window's own colours, kQuadrantsA.
  auto window = TestWindowProcess::start(server->display(), {"--pos", "1600,900", "--size", "320x180"});
  ASSERT_TRUE(window);
  SentinelHome home;
  HelperProcess helper{home};
  ASSERT_EQ(home.write(regionSentinel(640, 900, 320, 180)), "");
  ASSERT_NO_FATAL_FAILURE(helper.startDialled(server->display()));
  auto filled = waitForFrame(helper.surface(), [](const Frame& frame) {
    return showsQuadrants(frame, {0, 0, 640, 360}, kQuadrantsA) &&
           frame.near(2, 2, kQuadrantsA.colors[0]) && frame.near(637, 357, kQuadrantsA.colors[3]);
  });
  EXPECT_TRUE(filled.matched) << describeQuadrants(*filled.last, {0, 0, 640, 360}) << "\n"
                              << helper.log();

  // 640x360 from the same corner: three quarters of it lie off the display.
  ASSERT_EQ(home.write(regionSentinel(640, 900, 640, 360)), "");
  auto placed = waitForFrame(helper.surface(), [](const Frame& frame) {
    return showsQuadrants(frame, {0, 0, 320, 180}, kQuadrantsA) && frame.near(480, 90, 0, 0) &&
           frame.near(160, 270, 0, 0) && frame.near(480, 270, 0, 0);
  });
  EXPECT_TRUE(placed.matched) << describeQuadrants(*placed.last, {0, 0, 320, 180}) << "\n"
                              << helper.log();
  EXPECT_TRUE(opaqueEverywhere(*placed.last));

  ASSERT_EQ(server->run({"xrandr", "--delmonitor", "right"}), 0);
  EXPECT_TRUE(helper.waitForLog("SCStream stopped with error: the screen is gone")) << helper.log();
  EXPECT_TRUE(helper.process().running());
}

}  // namespace
}  // namespace fenwright::testing
