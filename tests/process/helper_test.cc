// The real helper binary from the outside: its log, its surface as a client
// maps it, and its exit status, started by hand or by socket activation;
// capturing real X windows on the shared server, and a region of a private
// one split into two monitors.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClientGone =
    "connection invalidated — extension disconnected; shutting down";
constexpr const char* kPatternStarted =
    "test-pattern render timer started @ 30Hz (no window picked)";

// Without a sentinel it serves the surface and draws nothing; the client
// leaving ends it with status 0. (Leaving with the client while the
// pattern runs: SocketActivation, and the soak, SevenHundredClients.)
TEST(Lifecycle, WithoutASentinelServesOneClientDrawingNothingAndExitsZeroWhenItGoes) {
  SentinelHome home;
  HelperProcess helper{home};
  ASSERT_NO_FATAL_FAILURE(helper.startDialled());
  const client::MappedSurface& surface = helper.surface();
  EXPECT_EQ(std::tuple(surface.width(), surface.height(), surface.bytesPerRow()),
            std::tuple(640u, 360u, 2560u));
  EXPECT_TRUE(copyFrame(surface));
  EXPECT_TRUE(helper.waitForLog(
      "sentinel disabled — listener-only mode to drain pending dial then exit"));
  helper.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
  EXPECT_EQ(helper.count(kClientGone), 1u) << helper.log();
  EXPECT_EQ(helper.count(kPatternStarted), 0u) << helper.log();
  EXPECT_EQ(helper.count("shutdown — invalidating listener + exit"), 1u) << helper.log();
}

// Enabled with no window: a moving opaque pattern. Switched off, deleted
// or broken while it runs, with its client still connected: the helper
// ends on its own, because of the file.
TEST(Lifecycle, DrawsAMovingPatternUntilTheSentinelIsSwitchedOffDeletedOrBrokenThenExitsZero) {
  for (const char* sentinel : {R"({"enabled": false, "window_id": 7})", "", "{\"enabled\": tru"}) {
    SCOPED_TRACE(*sentinel ? sentinel : "deleted");
    SentinelHome home;
    ASSERT_EQ(home.write(patternSentinel()), "");
    HelperProcess helper{home};
    ASSERT_NO_FATAL_FAILURE(helper.startDialled());
    ASSERT_TRUE(helper.waitForLog(kPatternStarted));
    auto drawn = waitForFrame(helper.surface(), [](const Frame& f) { return opaqueEverywhere(f); });
    ASSERT_TRUE(drawn.matched) << helper.log();
    EXPECT_TRUE(waitForFrame(helper.surface(), [&](const Frame& f) {
                  return !f.samePixels(*drawn.last) && opaqueEverywhere(f);
                }).matched) << "the pattern did not move";
    if (*sentinel) {
      ASSERT_EQ(home.write(sentinel), "");
    } else {
      home.remove();
    }
    EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
    EXPECT_EQ(helper.count("sentinel flipped to disabled — shutting down"), 1u) << helper.log();
    EXPECT_EQ(helper.count(kClientGone), 0u) << helper.log();
    EXPECT_EQ(helper.count(kPatternStarted), 1u) << helper.log();
  }
}

// Started by systemd socket activation: the launcher holds the socket and
// starts the helper on the first dial.
TEST(SocketActivation, ServesThroughThePassedSocket) {
  constexpr const char* kLauncher = "/usr/bin/systemd-socket-activate";
  if (::access(kLauncher, X_OK) != 0) GTEST_SKIP() << kLauncher << " is not installed";
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  HelperProcess helper(home);
  // A path of its own, so a helper binding its usual socket would not be
  // found here.
  const std::filesystem::path activated = helper.socketPath().parent_path() / "activated.sock";
  // The launcher hands its children only the variables named here.
  ASSERT_TRUE(helper.start({kLauncher, "-l", activated.string(), "--seqpacket", "-E",
                            "XDG_DATA_HOME", "-E", "XDG_RUNTIME_DIR"}));
  // The launcher binds before it listens: a dial in between is refused.
  Expected<client::FenwrightClient> client = unexpected("not dialled");
  eventually([&] { return bool(client = client::FenwrightClient::connect(activated)); }, 10s);
  ASSERT_TRUE(client) << client.error() << "\n" << helper.log();
  auto surface = client->fetchSurface(10s);
  ASSERT_TRUE(surface && surface->has_value()) << surface.error() << "\n" << helper.log();
  EXPECT_TRUE(helper.waitForLog("listener: using " + activated.string() + " passed by systemd"));
  EXPECT_FALSE(std::filesystem::exists(helper.socketPath()));

  client = unexpected("closed");
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

// Square: 360x360 with 140-pixel bars.
constexpr Placement kSquare{140, 0, 360, 360};

bool blackAt(const Frame& frame, int x, int y) { return frame.near(x, y, 0x000000, 0); }

class WindowCapture : public ::testing::Test {
 protected:
  // The helper picks an 800x600 window (4:3, smaller than a captured frame:
  // it fills the height all the same) in the first colours, and shows it.
  void startOnWideWindow(std::vector<std::string> argvPrefix = {}) {
    window = TestWindowProcess::start(sharedDisplay(),
                                      {"--size", "800x600", "--colors", kQuadrantsA.argument()});
    ASSERT_TRUE(window);
    ASSERT_EQ(home.write(windowSentinel(window->id())), "");
    ASSERT_NO_FATAL_FAILURE(helper.startDialled(sharedDisplay(), std::move(argvPrefix)));
    shown = waitForFrame(helper.surface(), showing(kFourByThree, kQuadrantsA));
    ASSERT_TRUE(shown.matched) << describeQuadrants(*shown.last, kFourByThree) << "\n"
                               << helper.log();
  }

  FrameWait shown;
  std::unique_ptr<TestWindowProcess> window;
  SentinelHome home;
  HelperProcess helper{home};
};

// Fitted and centred on black, by the main thread and the executor's few;
// frozen while hidden by its _NET_WM_STATE though it keeps drawing (it stays
// mapped and capturable); swapped for a second window without restarting
// the stream; cleared to the moving pattern.
TEST_F(WindowCapture, ShowsThePickFittedFreezesItWhileHiddenAndSwapsInPlace) {
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow());
  const Frame& frame = *shown.last;
  EXPECT_TRUE(opaqueEverywhere(frame));
  // The bars, up to 8 pixels from the picture's edge, are black; the
  // picture reaches 8 pixels into each side.
  for (int y : {0, 90, 180, 359})
    for (int x : {0, 40, 71, 568, 600, 639})
      EXPECT_TRUE(blackAt(frame, x, y)) << "(" << x << "," << y << ") " << frame.at(x, y).text();
  EXPECT_TRUE(frame.near(88, 20, kQuadrantsA.colors[0]));
  EXPECT_TRUE(frame.near(551, 339, kQuadrantsA.colors[3]));
  auto tasks = std::filesystem::directory_iterator(
      "/proc/" + std::to_string(helper.process().pid()) + "/task");
  EXPECT_LE(std::distance(begin(tasks), end(tasks)), 4);

  const client::MappedSurface& surface = helper.surface();
  const std::string visibility = "visibility: window " + std::to_string(window->id());
  ASSERT_TRUE(window->command("hidden"));
  ASSERT_TRUE(helper.waitForLog(visibility + " hidden/minimized → pause (freeze last frame)", 8s));
  ASSERT_TRUE(window->command("colors " + kQuadrantsB.argument()));
  std::this_thread::sleep_for(500ms);  // some fifteen frames that must not be drawn
  auto frozen = copyFrame(surface);
  ASSERT_TRUE(frozen);
  EXPECT_TRUE(showsQuadrants(*frozen, kFourByThree, kQuadrantsA))
      << describeQuadrants(*frozen, kFourByThree);
  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xprop", "-id", std::to_string(window->id()),
                                           "-remove", "_NET_WM_STATE"}),
            0);
  ASSERT_TRUE(helper.waitForLog(visibility + " returned → resume", 8s));
  // The window stays still: its present picture comes with the resume.
  auto resumed = waitForFrame(surface, showing(kFourByThree, kQuadrantsB));
  EXPECT_TRUE(resumed.matched) << describeQuadrants(*resumed.last, kFourByThree);

  auto second = TestWindowProcess::start(sharedDisplay(),
                                         {"--size", "720x720", "--colors", kQuadrantsA.argument()});
  ASSERT_TRUE(second);
  ASSERT_EQ(home.write(windowSentinel(second->id())), "");
  auto after = waitForFrame(surface, [](const Frame& f) {
    return showsQuadrants(f, kSquare, kQuadrantsA) && blackAt(f, 100, 180) && blackAt(f, 540, 180);
  });
  EXPECT_TRUE(after.matched) << describeQuadrants(*after.last, kSquare) << "\n" << helper.log();
  EXPECT_TRUE(helper.waitForLog("in-place filter swap → window id=" + std::to_string(second->id())));
  EXPECT_EQ(helper.count("started — window id="), 1u) << helper.log();

  // Cleared: the pattern, with no black bars, moving.
  ASSERT_EQ(home.write(patternSentinel()), "");
  auto pattern = waitForFrame(
      surface, [](const Frame& f) { return !blackAt(f, 10, 180) && !blackAt(f, 630, 180); });
  ASSERT_TRUE(pattern.matched) << helper.log();
  EXPECT_TRUE(
      waitForFrame(surface, [&](const Frame& f) { return !f.samePixels(*pattern.last); }).matched);
}

// Memory does not grow with the window: one grown far beyond the screen
// still streams, whole, within 256 MiB of address space (it would need 192
// MiB of its own if read at once).
TEST_F(WindowCapture, AHugeWindowStreamsUnderATightMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow({"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\""}));
  ASSERT_TRUE(window->command("resize 8000 6000"));
  ASSERT_TRUE(window->command("colors " + kQuadrantsB.argument()));
  auto grown = waitForFrame(helper.surface(), showing(kFourByThree, kQuadrantsB));
  EXPECT_TRUE(grown.matched) << describeQuadrants(*grown.last, kFourByThree) << "\n"
                             << helper.log();
  EXPECT_EQ(helper.count(" <error> "), 0u) << helper.log();
}

// The main display is the right half, 960x1080 at (960,0); a 320x180 window
// sits in its bottom-right corner, at (640,900) on it, the pointer over its
// top-left quadrant and drawn in.
TEST(RegionCapture, FillsTheSurfaceWithTheCursorKeepsItsPlaceOffItsDisplayAndStopsWithIt) {
  auto server = XServer::start("1920x1080");
  ASSERT_TRUE(server);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "left", "960/254x1080/286+0+0", "screen"}), 0);
  ASSERT_EQ(server->run({"xrandr", "--setmonitor", "*right", "960/254x1080/286+960+0", "none"}), 0);
  // In the test window's own colours, kQuadrantsA.
  auto window = TestWindowProcess::start(server->display(), {"--pos", "1600,900", "--size", "320x180"});
  ASSERT_TRUE(window);
  ASSERT_EQ(server->run({"xdotool", "mousemove", "1700", "950"}), 0);
  SentinelHome home;
  HelperProcess helper{home};
  ASSERT_EQ(home.write(regionSentinel(640, 900, 320, 180)), "");
  ASSERT_NO_FATAL_FAILURE(helper.startDialled(server->display()));
  auto filled = waitForFrame(helper.surface(), [](const Frame& frame) {
    bool cursor = false;  // within 16 pixels of the pointer at (100,50), doubled
    for (int y = 68; y < 132; ++y)
      for (int x = 168; x < 232; ++x) cursor |= !frame.near(x, y, kQuadrantsA.colors[0]);
    return cursor && showsQuadrants(frame, {0, 0, 640, 360}, kQuadrantsA) &&
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
  EXPECT_TRUE(helper.waitForLog("SCStream stopped with error: the screen is gone"));
  EXPECT_TRUE(helper.process().running());
}

}  // namespace
}  // namespace fenwright::testing
