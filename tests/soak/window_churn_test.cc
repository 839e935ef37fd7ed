// Picked windows that keep going away under a streaming helper: each loss
// is logged, the last picture stays until the application picks again, and
// the helper neither leaks descriptors nor grows.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "support/dialled_helper.h"
#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPatternStarted = "test-pattern render timer started";

// The application picks a window, the window is closed, the application
// clears its pick (the pattern), and picks the next one: 20 cycles, more
// for a longer soak.
TEST(Soak, PickedWindowsDestroyedOneAfterAnother) {
  const std::string& display = sharedDisplay();
  SentinelHome home;
  ASSERT_EQ(home.write(patternSentinel()), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start(display));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  ASSERT_TRUE(helper.waitForLogContaining(kPatternStarted)) << helper.log();

  // Picks a fresh window in cycle's colours and waits until it shows.
  auto colorsOf = [](int cycle) { return cycle % 2 ? kQuadrantsB : kQuadrantsA; };
  auto pick = [&](int cycle) {
    const Quadrants colors = colorsOf(cycle);
    auto window =
        TestWindowProcess::start(display, {"--size", "1200x900", "--colors", colors.argument()});
    EXPECT_TRUE(window);
    if (!window) return window;
    EXPECT_EQ(home.write(windowSentinel(window->id())), "");
    EXPECT_TRUE(waitAfterPick(
                    surface, helper,
                    [&](const Frame& f) { return showsQuadrants(f, kFourByThree, colors); },
                    [&] { return window->command("repaint"); })
                    .matched)
        << helper.log().substr(0, 20000);
    return window;
  };

  const int cycles = std::max(20, static_cast<int>(soakDuration(0).count()) * 4);
  ProcessFootprint before;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(fmt::format("cycle {}", cycle));
    auto window = pick(cycle);
    ASSERT_TRUE(window && !::testing::Test::HasFailure());
    // After a warm-up, taken while a window streams, as at the end.
    if (cycle == 3) before = processFootprint(helper.process().pid());

    ASSERT_TRUE(window->command("destroy"));
    const std::string destroyed = fmt::format("window {:#010x} was destroyed", window->id());
    ASSERT_TRUE(helper.waitForLogContaining(destroyed)) << helper.log().substr(0, 20000);
    // What it falls back to: the window's last picture, not the pattern.
    auto frozen = copyFrame(surface);
    ASSERT_TRUE(frozen);
    EXPECT_TRUE(showsQuadrants(*frozen, kFourByThree, colorsOf(cycle)))
        << describeQuadrants(*frozen, kFourByThree);
    window.reset();

    ASSERT_EQ(home.write(patternSentinel()), "");
    ASSERT_TRUE(helper.waitForLogContaining(kPatternStarted, 5s, cycle + 2))
        << helper.log().substr(0, 20000);
  }

  // The last window stays and is shown.
  auto last = pick(cycles);
  ASSERT_TRUE(last);
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
