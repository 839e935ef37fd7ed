// The X server killed under a streaming helper and started again on the
// same display. The helper keeps its client and the last picture; its
// queries reconnect by themselves, but the capture stream that ended with
// the old server is not replaced until the pick changes in a way that
// restarts it (here: the pattern, then the new window).

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

  // Picking B straight away: the queries reconnect to the new server and
  // find B, but the swap is tried on the stream that died with the old
  // server, so the old picture stays.
  ASSERT_EQ(writeSentinel(home, windowSentinel(windowB->id())), "");
  EXPECT_TRUE(helper.waitForLogContaining("updateContentFilter failed: the stream has stopped"))
      << helper.log();
  EXPECT_TRUE(helper.waitForLogContaining("x11: connected to " + display, 5s, 2)) << helper.log();
  EXPECT_GE(helper.countContaining("lost — reconnecting at next use"), 1u) << helper.log();
  auto stale = copyFrame(surface);
  ASSERT_TRUE(stale);
  EXPECT_TRUE(showsA(*stale)) << describeQuadrants(*stale, kPlacement);

  // The pattern, then B again: a fresh stream on the new server.
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  ASSERT_TRUE(helper.waitForLogContaining("test-pattern render timer started", 5s, 1))
      << helper.log();
  ASSERT_EQ(writeSentinel(home, windowSentinel(windowB->id())), "");
  EXPECT_TRUE(helper.waitForLogContaining("SCStream started — window id=" +
                                          std::to_string(windowB->id())))
      << helper.log();
  EXPECT_TRUE(waitForFrame(surface, showsB).matched) << helper.log();

  ASSERT_TRUE(helper.process().running()) << helper.log();
  dialled.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
