// Picked windows that keep going away under a streaming helper: each loss
// is logged, the last picture stays until the application picks again, and
// the helper neither leaks descriptors nor grows.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
constexpr const char* kPatternStarted = "test-pattern render timer started";

std::string destroyedLine(std::uint32_t id) {
  return fmt::format("window {:#010x} was destroyed", id);
}

struct Churn {
  HelperProcess& helper;
  const client::MappedSurface& surface;
  const std::string& display;

  std::unique_ptr<TestWindowProcess> open(int cycle) {
    const Quadrants& colors = cycle % 2 ? kColorsB : kColorsA;
    return TestWindowProcess::start(display, {"--size", "1200x900", "--colors", colors.argument()});
  }
  bool shows(int cycle, std::chrono::milliseconds timeout = 5s) const {
    const Quadrants& colors = cycle % 2 ? kColorsB : kColorsA;
    return waitForFrame(
               surface,
               [&](const Frame& frame) { return showsQuadrants(frame, kPlacement, colors); },
               timeout)
        .matched;
  }
  // A visibility check that lands between a destroy and the next pick
  // pauses the helper: it then drops the new window's frames until its
  // next check sees that window, and a static window draws nothing new
  // after that. A real window repaints; this one is asked to.
  bool showsAfterPick(int cycle, TestWindowProcess& window) const {
    if (shows(cycle)) return true;
    if (helper.pauseBalance() <= 0 && helper.countContaining("→ resume") == 0) return false;
    if (!eventually([&] { return helper.pauseBalance() <= 0; }, 5s)) return false;
    return window.command("repaint") && shows(cycle);
  }
};

// Cycles: 20 by default, more for a longer soak.
int churnCycles() { return std::max(20, static_cast<int>(soakDuration(0).count()) * 4); }

// The application picks a window, the window is closed, the application
// clears its pick (the pattern), and picks the next one.
TEST(Soak, PickedWindowsDestroyedOneAfterAnother) {
  const std::string& display = sharedDisplay();
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start(display));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  ASSERT_TRUE(helper.waitForLogContaining(kPatternStarted)) << helper.log();
  Churn churn{helper, surface, display};

  const int cycles = churnCycles();
  const int warmUp = 3;
  ProcessFootprint before;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(fmt::format("cycle {}", cycle));
    auto window = churn.open(cycle);
    ASSERT_TRUE(window);
    const std::uint32_t id = window->id();
    ASSERT_EQ(writeSentinel(home, windowSentinel(id)), "");
    ASSERT_TRUE(churn.showsAfterPick(cycle, *window)) << helper.log().substr(0, 20000);
    // Taken while a window streams, as at the end.
    if (cycle == warmUp) before = processFootprint(helper.process().pid());

    ASSERT_TRUE(window->command("destroy"));
    ASSERT_TRUE(helper.waitForLogContaining(destroyedLine(id))) << helper.log().substr(0, 20000);
    // What it falls back to: the window's last picture, not the pattern.
    auto frozen = copyFrame(surface);
    ASSERT_TRUE(frozen);
    EXPECT_TRUE(showsQuadrants(*frozen, kPlacement, cycle % 2 ? kColorsB : kColorsA))
        << describeQuadrants(*frozen, kPlacement);
    window.reset();

    ASSERT_EQ(writeSentinel(home, patternSentinel()), "");
    ASSERT_TRUE(helper.waitForLogContaining(kPatternStarted, 5s, cycle + 2))
        << helper.log().substr(0, 20000);
  }

  // The last window stays and is shown.
  auto last = churn.open(cycles);
  ASSERT_TRUE(last);
  ASSERT_EQ(writeSentinel(home, windowSentinel(last->id())), "");
  EXPECT_TRUE(churn.showsAfterPick(cycles, *last)) << helper.log().substr(0, 20000);
  ASSERT_TRUE(helper.process().running()) << helper.log().substr(0, 20000);
  const ProcessFootprint after = processFootprint(helper.process().pid());

  std::printf("soak: %d picked windows destroyed; helper fds %ld -> %ld, VmRSS %ld -> %ld KiB\n",
              cycles, before.fds, after.fds, before.rssKiB, after.rssKiB);
  EXPECT_EQ(helper.countContaining("was destroyed"), static_cast<std::size_t>(cycles));
  // Each loss is one <error> line, and nothing else is.
  EXPECT_EQ(helper.errorLines(), static_cast<std::size_t>(cycles))
      << helper.log().substr(0, 20000);
  ASSERT_GT(before.fds, 0);
  EXPECT_LE(after.fds, before.fds + 2);
#ifndef __SANITIZE_ADDRESS__
  // ASan's quarantine keeps freed memory resident; its leak check stands in.
  EXPECT_LE(after.rssKiB, before.rssKiB + 16 * 1024);
#endif

  dialled.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log().substr(0, 20000);
}

}  // namespace
}  // namespace fenwright::testing
