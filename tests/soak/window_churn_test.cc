// A helper allowed only 32 descriptors (a tight `ulimit -n` in the session
// that starts it; it needs about 20 while it captures a window and serves
// one client) streams an animated window for the soak duration, then sees
// its picked windows go away one after another. It works as usual: each
// loss is logged once, the last picture stays until the next pick, which is
// shown; its memory and descriptors stay where they were after warm-up.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
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

// The "Max open files" line of /proc/PID/limits.
std::string openFilesLimit(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(in, line) && line.rfind("Max open files", 0) != 0) {
  }
  return line;
}

TEST(Soak, UnderThirtyTwoDescriptorsWindowsStreamAndComeAndGoWithoutGrowth) {
  const std::string& display = sharedDisplay();
  auto colorsOf = [](int cycle) { return cycle % 2 ? kQuadrantsB : kQuadrantsA; };
  auto openWindow = [&](int cycle) {
    return TestWindowProcess::start(display,
                                    {"--size", "1200x900", "--colors", colorsOf(cycle).argument()});
  };
  auto window = openWindow(0);
  ASSERT_TRUE(window);
  SentinelHome home;
  ASSERT_EQ(home.write(windowSentinel(window->id())), "");
  DialledHelper dialled(home);
  // sh sets soft and hard limit alike; exec keeps the pid ours to watch.
  ASSERT_NO_FATAL_FAILURE(dialled.start(display, {"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\""}));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  const int pid = helper.process().pid();
  EXPECT_NE(openFilesLimit(pid).find(" 32 "), std::string::npos) << openFilesLimit(pid);
  EXPECT_TRUE(waitForFrame(surface, [](const Frame& f) {
                return showsQuadrants(f, kFourByThree, kQuadrantsA);
              }).matched)
      << helper.log();

  // Warm-up: buffers, X resources and the allocator settle over 60 frames.
  ASSERT_TRUE(window->command("animate 30"));
  const std::uint32_t seedWarm = surface.seed();
  ASSERT_TRUE(eventually([&] { return surface.seed() - seedWarm >= 120; }, 20s));
  const ProcessFootprint before = processFootprint(pid);
  const std::uint32_t seedBefore = surface.seed();
  const auto end = std::chrono::steady_clock::now() + soakDuration(6);
  long peakFds = before.fds;
  int fetches = 0;
  bool answering = true;
  for (; std::chrono::steady_clock::now() < end; ++fetches) {
    std::this_thread::sleep_for(250ms);
    // Each fetch briefly opens two descriptors of its own.
    auto again = dialled.client().fetchSurface();
    answering = answering && again && again->has_value();
    peakFds = std::max(peakFds, processFootprint(pid).fds);
  }
  const ProcessFootprint streamed = processFootprint(pid);
  const std::uint32_t frames = (surface.seed() - seedBefore) / 2;
  std::printf("soak: animated window streamed under ulimit -n 32: %u frames; fds %ld -> %ld "
              "(peak %ld); VmRSS %ld -> %ld KiB\n",
              frames, before.fds, streamed.fds, peakFds, before.rssKiB, streamed.rssKiB);
  ASSERT_TRUE(helper.process().running()) << helper.log();
  EXPECT_TRUE(answering) << helper.log();
  EXPECT_GT(frames, 0u) << "the picture never changed";
  ASSERT_GT(before.fds, 0);
  EXPECT_LE(peakFds, 32);
  EXPECT_LE(streamed.fds, before.fds + 2);
  EXPECT_LE(streamed.rssKiB, before.rssKiB + 8 * 1024);
  EXPECT_LT(helper.messages().size(), 20u + 2u * static_cast<std::size_t>(fetches))
      << helper.log().substr(0, 20000);

  const int cycles = std::max(20, static_cast<int>(soakDuration(0).count()) * 4);
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    SCOPED_TRACE(fmt::format("cycle {}", cycle));
    // Opened while the last one's client lives, so its id is a new one.
    auto next = openWindow(cycle);
    ASSERT_TRUE(next);
    ASSERT_EQ(home.write(windowSentinel(next->id())), "");
    const Quadrants colors = colorsOf(cycle);
    ASSERT_TRUE(waitAfterPick(
                    surface, helper,
                    [&](const Frame& f) { return showsQuadrants(f, kFourByThree, colors); },
                    [&] { return next->command("repaint"); })
                    .matched)
        << helper.log().substr(0, 20000);
    window = std::move(next);
    ASSERT_TRUE(window->command("destroy"));
    // Counted, not by id: a client gone two cycles ago may lend its ids again.
    ASSERT_TRUE(helper.waitForLogContaining("was destroyed", 5s, cycle))
        << helper.log().substr(0, 20000);
    // What it falls back to: the window's last picture, not the pattern.
    auto frozen = copyFrame(surface);
    ASSERT_TRUE(frozen);
    EXPECT_TRUE(showsQuadrants(*frozen, kFourByThree, colors))
        << describeQuadrants(*frozen, kFourByThree);
  }

  ASSERT_TRUE(helper.process().running()) << helper.log().substr(0, 20000);
  const ProcessFootprint after = processFootprint(pid);
  std::printf("soak: %d picked windows destroyed; helper fds %ld -> %ld, VmRSS %ld -> %ld KiB\n",
              cycles, streamed.fds, after.fds, streamed.rssKiB, after.rssKiB);
  // Each loss is one <error> line, and nothing else is.
  EXPECT_EQ(helper.countContaining("was destroyed"), static_cast<std::size_t>(cycles));
  EXPECT_EQ(helper.errorLines(), static_cast<std::size_t>(cycles)) << helper.log().substr(0, 20000);
  EXPECT_EQ(helper.countContaining("Too many open files"), 0u) << helper.log().substr(0, 20000);
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
