// The X server dies under a streaming helper and comes back on the same
// display. The helper says so, keeps its client and the last picture, and
// keeps following the sentinel; once the server is back its queries
// reconnect by themselves, and the next pick starts a fresh capture stream
// in place of the one that ended with the old server. Then the server is
// stopped, not gone: the next query waits on it for good, which holds up
// the capture, not the helper, which still ends with its client.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<TestWindowProcess> openWindow(const std::string& display, const Quadrants& colors) {
  return TestWindowProcess::start(display, {"--size", "1200x900", "--colors", colors.argument()});
}

TEST(Soak, XServerKilledRestartedAndStoppedUnderAStreamingHelper) {
  // A number of its own (apart from the X11 suite's): in a parallel run
  // another test's server would take a freed low number at once.
  const std::string display = ":" + std::to_string(900 + getpid() % 600);
  auto server = XServer::start("1920x1080", {}, display);
  ASSERT_TRUE(server);
  auto windowA = openWindow(display, kQuadrantsA);
  ASSERT_TRUE(windowA);
  const std::uint32_t idA = windowA->id();
  SentinelHome home;
  ASSERT_EQ(home.write(windowSentinel(idA)), "");
  HelperProcess helper{home};
  ASSERT_NO_FATAL_FAILURE(helper.startDialled(display));
  const client::MappedSurface& surface = helper.surface();
  auto showsA = [](const Frame& f) { return showsQuadrants(f, kFourByThree, kQuadrantsA); };
  auto showsB = [](const Frame& f) { return showsQuadrants(f, kFourByThree, kQuadrantsB); };
  ASSERT_TRUE(waitForFrame(surface, showsA).matched) << helper.log();

  server->kill();
  windowA.reset();
  EXPECT_TRUE(helper.waitForLog("stopped with error: the X connection was lost"));
  // The next visibility check (every 2 s) meets the dead server.
  EXPECT_TRUE(helper.waitForLog("lost — reconnecting at next use"));
  ASSERT_TRUE(helper.process().running()) << helper.log();

  // The client still gets answers, and the last picture.
  auto again = helper.client().fetchSurface();
  ASSERT_TRUE(again && again->has_value()) << again.error() << "\n" << helper.log();
  auto frozen = copyFrame(**again);
  ASSERT_TRUE(frozen);
  EXPECT_TRUE(showsA(*frozen)) << describeQuadrants(*frozen, kFourByThree);

  // Not wedged: it still follows the sentinel, to the pattern ...
  ASSERT_EQ(home.write(patternSentinel()), "");
  auto pattern = waitForFrame(surface, [](const Frame& frame) {
    return !frame.near(10, 180, 0, 0) && !frame.near(630, 180, 0, 0);
  });
  EXPECT_TRUE(pattern.matched) << helper.log();
  // ... and to a window on a server that is gone (the pattern stays).
  ASSERT_EQ(home.write(windowSentinel(idA)), "");
  EXPECT_TRUE(helper.waitForLog("sentinel changed", 5s, 2));
  EXPECT_TRUE(waitForFrame(surface, [&](const Frame& frame) {
                return !frame.samePixels(*pattern.last) && !frame.near(10, 180, 0, 0);
              }).matched)
      << helper.log();

  server = XServer::start("1920x1080", {}, display);
  ASSERT_TRUE(server) << "Xvfb did not come back on " << display;
  // Window ids start again from the same base on a fresh server: a spare
  // takes A's first, or the new pick could be the same number and no change.
  auto spare = openWindow(display, kQuadrantsB), windowB = openWindow(display, kQuadrantsB);
  ASSERT_TRUE(spare && windowB && windowB->id() != idA);
  ASSERT_EQ(home.write(windowSentinel(windowB->id())), "");
  EXPECT_TRUE(helper.waitForLog("SCStream started — window id=" + std::to_string(windowB->id())));
  EXPECT_TRUE(helper.waitForLog("x11: connected to " + display, 5s, 2));
  EXPECT_TRUE(waitRepainting(surface, showsB, [&] { return windowB->command("repaint"); }).matched)
      << helper.log();
  EXPECT_EQ(helper.count("updateContentFilter failed"), 0u) << helper.log();
  EXPECT_EQ(helper.count("stopped with error"), 1u) << helper.log();

  ASSERT_EQ(::kill(server->pid(), SIGSTOP), 0);
  // The visibility check, every 2 s, is the query that waits.
  std::this_thread::sleep_for(2500ms);
  helper.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
  ::kill(server->pid(), SIGCONT);
}

}  // namespace
}  // namespace fenwright::testing
