// An animated window streamed for the soak duration by a helper allowed only
// 32 descriptors (a tight `ulimit -n` in the session that starts it; it
// needs about 20 while it captures a window and serves one client): it works
// as usual, and its memory and descriptors stay where they were after
// warm-up.

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
  while (std::getline(in, line))
    if (line.rfind("Max open files", 0) == 0) return line;
  return {};
}

TEST(Soak, AnimatedWindowStreamedUnderThirtyTwoDescriptorsWithoutGrowth) {
  const std::string& display = sharedDisplay();
  auto window = TestWindowProcess::start(display, {"--size", "1200x900"});
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
  ASSERT_TRUE(window->command("animate 30"));

  // Warm-up: buffers, X resources and the allocator settle.
  std::this_thread::sleep_for(2s);
  const ProcessFootprint before = processFootprint(pid);
  const std::uint32_t seedBefore = surface.seed();
  const auto duration = soakDuration(6);
  const auto end = std::chrono::steady_clock::now() + duration;
  long peakRss = before.rssKiB, peakFds = before.fds;
  int fetches = 0;
  bool answering = true;
  for (; std::chrono::steady_clock::now() < end; ++fetches) {
    std::this_thread::sleep_for(250ms);
    // Each fetch briefly opens two descriptors of its own.
    auto again = dialled.client().fetchSurface();
    answering = answering && again && again->has_value();
    const ProcessFootprint now = processFootprint(pid);
    peakRss = std::max(peakRss, now.rssKiB);
    peakFds = std::max(peakFds, now.fds);
  }
  const ProcessFootprint after = processFootprint(pid);
  const std::uint32_t frames = (surface.seed() - seedBefore) / 2;
  std::printf(
      "soak: animated window streamed %lld s under ulimit -n 32: %u frames; fds %ld -> %ld "
      "(peak %ld); VmRSS %ld -> %ld KiB (peak %ld)\n",
      static_cast<long long>(duration.count()), frames, before.fds, after.fds, peakFds,
      before.rssKiB, after.rssKiB, peakRss);

  ASSERT_TRUE(helper.process().running()) << helper.log();
  EXPECT_TRUE(answering) << helper.log();
  EXPECT_GT(frames, 0u) << "the picture never changed";
  ASSERT_GT(before.fds, 0);
  EXPECT_LE(peakFds, 32);
  EXPECT_LE(after.fds, before.fds + 2);
  EXPECT_LE(after.rssKiB, before.rssKiB + 8 * 1024);
  EXPECT_EQ(helper.countContaining("Too many open files"), 0u) << helper.log();
  EXPECT_LT(helper.messages().size(), 20u + 2u * static_cast<std::size_t>(fetches))
      << helper.log().substr(0, 20000);

  dialled.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
