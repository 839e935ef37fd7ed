// The X server dies under a streaming helper: the helper says so, keeps
// the last picture for its client, and keeps following the sentinel.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/dialled_helper.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr Quadrants kColors{{0xD02020, 0x20B040, 0x2040D0, 0xE0C020}};
constexpr Placement kPlacement{80, 0, 480, 360};  // a 1200x900 window

TEST(Soak, XServerKilledUnderAStreamingHelper) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display(),
                                         {"--size", "1200x900", "--colors", kColors.argument()});
  ASSERT_TRUE(window);
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, windowSentinel(window->id())), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start(server->display()));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  ASSERT_TRUE(
      waitForFrame(surface,
                   [](const Frame& frame) { return showsQuadrants(frame, kPlacement, kColors); })
          .matched)
      << helper.log();

  server->kill();
  EXPECT_TRUE(helper.waitForLogContaining("stopped with error: the X connection was lost"))
      << helper.log();
  // Past the next visibility check (every 2 s), which meets the dead server.
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(helper.process().running()) << helper.log();

  // The client still gets answers, and the last picture.
  auto again = dialled.client().fetchSurface();
  ASSERT_TRUE(again && again->has_value()) << again.error() << "\n" << helper.log();
  auto last = copyFrame(**again);
  ASSERT_TRUE(last);
  EXPECT_TRUE(showsQuadrants(*last, kPlacement, kColors)) << describeQuadrants(*last, kPlacement);

  // Not wedged: it still follows the sentinel, to the pattern ...
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  auto pattern = waitForFrame(surface, [](const Frame& frame) {
    return !frame.near(10, 180, 0, 0) && !frame.near(630, 180, 0, 0);
  });
  EXPECT_TRUE(pattern.matched) << helper.log();
  // ... to a window on a server that is gone (the pattern stays) ...
  ASSERT_EQ(writeSentinel(home, windowSentinel(window->id())), "");
  EXPECT_TRUE(helper.waitForLogContaining("sentinel changed", 5s, 2)) << helper.log();
  EXPECT_TRUE(waitForFrame(surface,
                           [&](const Frame& frame) {
                             return !frame.samePixels(*pattern.last) && !frame.near(10, 180, 0, 0);
                           })
                  .matched)
      << helper.log();
  // ... and off.
  ASSERT_EQ(writeSentinel(home, R"({"enabled": false})"), "");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
