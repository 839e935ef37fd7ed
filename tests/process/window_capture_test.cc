// The helper capturing real X windows, checked through the surface a
// client maps. Most cases use the shared server ($DISPLAY); the window
// manager case starts its own.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/dialled_helper.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// 4:3 and smaller than a captured frame: fills the height all the same,
// 480x360 with 80-pixel bars left and right.
constexpr const char* kWideSize = "800x600";
constexpr Placement kWidePlacement = kFourByThree;
// Square: 360x360 with 140-pixel bars.
constexpr const char* kSquareSize = "720x720";
constexpr Placement kSquarePlacement{140, 0, 360, 360};

constexpr Quadrants kFirstColors = kQuadrantsA;
constexpr Quadrants kSecondColors = kQuadrantsB;

constexpr const char* kStreamStarted = "started — window id=";

std::unique_ptr<TestWindowProcess> openWindow(const std::string& display, const char* size,
                                              const Quadrants& colors) {
  return TestWindowProcess::start(display, {"--size", size, "--colors", colors.argument()});
}

bool blackAt(const Frame& frame, int x, int y) { return frame.near(x, y, 0x000000, 0); }

bool showsFirst(const Frame& frame) { return showsQuadrants(frame, kWidePlacement, kFirstColors); }

class WindowCapture : public ::testing::Test {
 protected:
  // The helper picks an 800x600 window in the first colours, and the
  // surface shows it.
  void startOnWideWindow(const std::string& display, std::vector<std::string> argvPrefix = {}) {
    window = openWindow(display, kWideSize, kFirstColors);
    ASSERT_TRUE(window);
    ASSERT_EQ(home.write(windowSentinel(window->id())), "");
    ASSERT_NO_FATAL_FAILURE(dialled.start(display, std::move(argvPrefix)));
    shown = waitForFrame(dialled.surface(), showsFirst);
    ASSERT_TRUE(shown.matched) << describeQuadrants(*shown.last, kWidePlacement) << "\n"
                               << dialled.helper.log();
  }

  FrameWait shown;
  std::unique_ptr<TestWindowProcess> window;
  SentinelHome home;
  DialledHelper dialled{home};
  HelperProcess& helper = dialled.helper;
};

TEST_F(WindowCapture, ShowsTheWindowFittedAndCentredOnBlack) {
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow(sharedDisplay()));
  const Frame& frame = *shown.last;
  EXPECT_TRUE(opaqueEverywhere(frame));
  // The bars, up to 8 pixels from the picture's edge, are black.
  for (int y : {0, 90, 180, 359}) {
    for (int x : {0, 40, 71, 568, 600, 639}) {
      EXPECT_TRUE(blackAt(frame, x, y)) << "(" << x << "," << y << ") " << frame.at(x, y).text();
    }
  }
  // The picture reaches 8 pixels into each side.
  EXPECT_TRUE(frame.near(88, 20, kFirstColors.colors[0]));
  EXPECT_TRUE(frame.near(551, 339, kFirstColors.colors[3]));
  EXPECT_EQ(helper.countContaining(kStreamStarted), 1u) << helper.log();
  // The main thread and the executor's few, whatever the queues.
  auto tasks = std::filesystem::directory_iterator(
      "/proc/" + std::to_string(helper.process().pid()) + "/task");
  EXPECT_LE(std::distance(begin(tasks), end(tasks)), 4);
}

TEST_F(WindowCapture, ASecondWindowIsSwappedInWithoutRestartingTheStreamAndClearedToThePattern) {
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow(sharedDisplay()));
  auto second = openWindow(sharedDisplay(), kSquareSize, kSecondColors);
  ASSERT_TRUE(second);
  const client::MappedSurface& surface = dialled.surface();
  ASSERT_EQ(home.write(windowSentinel(second->id())), "");
  auto after = waitForFrame(surface, [](const Frame& frame) {
    return showsQuadrants(frame, kSquarePlacement, kSecondColors) && blackAt(frame, 100, 180) &&
           blackAt(frame, 540, 180);
  });
  EXPECT_TRUE(after.matched) << describeQuadrants(*after.last, kSquarePlacement) << "\n"
                             << helper.log();
  EXPECT_TRUE(helper.waitForLog("in-place filter swap → window id=" + std::to_string(second->id())))
      << helper.log();
  EXPECT_EQ(helper.countContaining(kStreamStarted), 1u) << helper.log();
  EXPECT_EQ(helper.countContaining("stopped"), 0u) << helper.log();

  // Cleared: the pattern, with no black bars, moving.
  ASSERT_EQ(home.write(patternSentinel()), "");
  auto pattern = waitForFrame(surface, [](const Frame& frame) {
    return !blackAt(frame, 10, 180) && !blackAt(frame, 630, 180);
  });
  ASSERT_TRUE(pattern.matched) << helper.log();
  EXPECT_TRUE(waitForFrame(surface, [&](const Frame& frame) {
                return !frame.samePixels(*pattern.last);
              }).matched);
  EXPECT_TRUE(helper.process().running());
}

TEST_F(WindowCapture, AWindowPickedAfterThePickedOneClosedIsShown) {
  const std::string& display = sharedDisplay();
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow(display));
  // Opened first: a closed window's id would be handed out again.
  auto second = openWindow(display, kSquareSize, kSecondColors);
  ASSERT_TRUE(second);
  window.reset();
  ASSERT_TRUE(helper.waitForLogContaining("SCStream stopped with error")) << helper.log();
  ASSERT_EQ(home.write(windowSentinel(second->id())), "");
  auto shown = waitAfterPick(
      dialled.surface(), helper,
      [](const Frame& frame) { return showsQuadrants(frame, kSquarePlacement, kSecondColors); },
      [&] { return second->command("repaint"); });
  EXPECT_TRUE(shown.matched) << describeQuadrants(*shown.last, kSquarePlacement) << "\n"
                             << helper.log();
}

// Memory does not grow with the window: one grown far beyond the screen
// still streams, whole, within 256 MiB of address space (it would need 192
// MiB of its own if read at once).
TEST_F(WindowCapture, AHugeWindowStreamsUnderATightMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
  ASSERT_NO_FATAL_FAILURE(
      startOnWideWindow(sharedDisplay(), {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\""}));
  ASSERT_TRUE(window->command("resize 8000 6000"));
  ASSERT_TRUE(window->command("colors " + kSecondColors.argument()));
  auto grown = waitForFrame(dialled.surface(), [](const Frame& frame) {
    return showsQuadrants(frame, kWidePlacement, kSecondColors);
  });
  EXPECT_TRUE(grown.matched) << describeQuadrants(*grown.last, kWidePlacement) << "\n"
                             << helper.log();
  EXPECT_EQ(helper.errorLines(), 0u) << helper.log();
}

// Pausing freezes the picture although the window keeps drawing: hidden
// by its _NET_WM_STATE, the window stays mapped and capturable.
TEST_F(WindowCapture, AHiddenWindowFreezesThePictureUntilItReturns) {
  const std::string& display = sharedDisplay();
  ASSERT_NO_FATAL_FAILURE(startOnWideWindow(display));
  const client::MappedSurface& surface = dialled.surface();

  ASSERT_TRUE(window->command("hidden"));
  const std::string visibility = "visibility: window " + std::to_string(window->id());
  ASSERT_TRUE(helper.waitForLog(visibility + " hidden/minimized → pause (freeze last frame)", 8s))
      << helper.log();
  ASSERT_TRUE(window->command("colors " + kSecondColors.argument()));
  // Long enough for a few dozen frames at 30 per second.
  std::this_thread::sleep_for(1s);
  auto frozen = copyFrame(surface);
  ASSERT_TRUE(frozen);
  EXPECT_TRUE(showsQuadrants(*frozen, kWidePlacement, kFirstColors))
      << describeQuadrants(*frozen, kWidePlacement);

  char id[16];
  std::snprintf(id, sizeof(id), "0x%x", window->id());
  ASSERT_EQ(runOnDisplay(display, {"xprop", "-id", id, "-remove", "_NET_WM_STATE"}), 0);
  ASSERT_TRUE(helper.waitForLog(visibility + " returned → resume", 8s)) << helper.log();
  // The window stays still: its present picture comes with the resume.
  auto resumed = waitForFrame(surface, [](const Frame& frame) {
    return showsQuadrants(frame, kWidePlacement, kSecondColors);
  });
  EXPECT_TRUE(resumed.matched) << describeQuadrants(*resumed.last, kWidePlacement);
}

}  // namespace
}  // namespace fenwright::testing
