// The X server killed under a streaming helper and started again on the
// same display. The helper keeps its client and the last picture; its
// queries reconnect by themselves, and the next pick starts a fresh
// capture stream in place of the one that ended with the old server.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/dialled_helper.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr Quadrants kColorsA{{0xD02020, 0x20B040, 0x2040D0, 0xE0C020}};
constexpr Quadrants kColorsB{{0x30C0C0, 0xC030C0, 0xF08030, 0x808080}};
constexpr Placement kPlacement{80, 0, 480, 360};  // a 1200x900 window

TEST(Soak, XServerRestartedOnTheSameDisplayUnderAStreamingHelper) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  const std::string display = server->display();
  auto windowA = TestWindowProcess::start(display,
                                          {"--size", "1200x900", "--colors", kColorsA.argument()});
  ASSERT_TRUE(windowA);
  const std::uint32_t idA = windowA->id();
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, windowSentinel(idA)), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start(display));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  auto showsA = [](const Frame& f) { return showsQuadrants(f, kPlacement, kColorsA); };
  auto showsB = [](const Frame& f) { return showsQuadrants(f, kPlacement, kColorsB); };
  ASSERT_TRUE(waitForFrame(surface, showsA).matched) << helper.log();

  server->kill();
  windowA.reset();
  ASSERT_TRUE(helper.waitForLogContaining("stopped with error: the X connection was lost"))
      << helper.log();
  server = XServer::startOn(display);
  ASSERT_TRUE(server) << "Xvfb did not come back on " << display;
  ASSERT_EQ(server->display(), display);

  // Window ids start again from the same base on a fresh server: make sure
  // the new pick is a different number, or the helper sees no change.
  std::unique_ptr<TestWindowProcess> spare;
  auto windowB = TestWindowProcess::start(display,
                                          {"--size", "1200x900", "--colors", kColorsB.argument()});
  ASSERT_TRUE(windowB);
  if (windowB->id() == idA) {
    spare = std::move(windowB);
    windowB = TestWindowProcess::start(display,
                                       {"--size", "1200x900", "--colors", kColorsB.argument()});
    ASSERT_TRUE(windowB);
  }

  // Still serving its client, with the last picture.
  ASSERT_TRUE(helper.process().running()) << helper.log();
  auto again = dialled.client().fetchSurface();
  ASSERT_TRUE(again && again->has_value()) << again.error() << "\n" << helper.log();
  auto frozen = copyFrame(**again);
  ASSERT_TRUE(frozen);
  EXPECT_TRUE(showsA(*frozen)) << describeQuadrants(*frozen, kPlacement);

  // Picking B: the queries reconnect to the new server and find B; the
  // stream that died with the old server takes no new window, so a fresh
  // one starts for B.
  ASSERT_EQ(writeSentinel(home, windowSentinel(windowB->id())), "");
  EXPECT_TRUE(helper.waitForLogContaining("SCStream started — window id=" +
                                          std::to_string(windowB->id())))
      << helper.log();
  EXPECT_TRUE(helper.waitForLogContaining("x11: connected to " + display, 5s, 2)) << helper.log();
  EXPECT_GE(helper.countContaining("lost — reconnecting at next use"), 1u) << helper.log();
  // Repainting: the helper paused when A was no longer found, and a still
  // window sends nothing once the next check lifts the pause.
  EXPECT_TRUE(waitForFrame(surface, [&](const Frame& f) {
                if (showsB(f)) return true;
                windowB->command("repaint");
                return false;
              }).matched)
      << helper.log();
  EXPECT_EQ(helper.countContaining("updateContentFilter failed"), 0u) << helper.log();

  ASSERT_TRUE(helper.process().running()) << helper.log();
  dialled.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
