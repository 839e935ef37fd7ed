// An animated window streamed for the soak duration: the helper's memory
// and descriptors stay where they were after warm-up.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

TEST(Soak, AnimatedWindowStreamedWithoutGrowth) {
  const std::string& display = sharedDisplay();
  auto window = TestWindowProcess::start(display, {"--size", "1280x720"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->command("animate 30"));
  SentinelHome home;
  ASSERT_EQ(writeSentinel(home, windowSentinel(window->id())), "");
  DialledHelper dialled(home);
  ASSERT_NO_FATAL_FAILURE(dialled.start(display));
  HelperProcess& helper = dialled.helper;
  const client::MappedSurface& surface = dialled.surface();
  ASSERT_TRUE(helper.waitForLogContaining("SCStream started")) << helper.log();

  // Warm-up: buffers, X resources and the allocator settle.
  std::this_thread::sleep_for(2s);
  const int pid = helper.process().pid();
  const ProcessFootprint before = processFootprint(pid);
  const std::uint32_t seedBefore = surface.seed();
  const auto duration = soakDuration(6);
  const auto end = std::chrono::steady_clock::now() + duration;
  long peakRss = before.rssKiB;
  int fetches = 0;
  bool answering = true;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(500ms);
    auto again = dialled.client().fetchSurface();
    answering = answering && again && again->has_value();
    ++fetches;
    peakRss = std::max(peakRss, processFootprint(pid).rssKiB);
  }
  const ProcessFootprint after = processFootprint(pid);
  const std::uint32_t frames = (surface.seed() - seedBefore) / 2;
  std::printf(
      "soak: animated window streamed %lld s: %u frames; fds %ld -> %ld; VmRSS %ld -> %ld KiB "
      "(peak %ld)\n",
      static_cast<long long>(duration.count()), frames, before.fds, after.fds, before.rssKiB,
      after.rssKiB, peakRss);

  ASSERT_TRUE(helper.process().running()) << helper.log();
  EXPECT_TRUE(answering) << helper.log();
  EXPECT_GT(frames, 0u) << "the picture never changed";
  ASSERT_GT(before.fds, 0);
  // Fetches come and go, each holding two descriptors for a moment.
  EXPECT_LE(after.fds, before.fds + 2);
  EXPECT_LE(after.rssKiB, before.rssKiB + 8 * 1024);
  EXPECT_LT(helper.messages().size(), 20u + 2u * static_cast<std::size_t>(fetches))
      << helper.log().substr(0, 20000);

  dialled.hangUp();
  EXPECT_EQ(helper.waitForExit(10s), std::optional<int>(0)) << helper.log();
}

}  // namespace
}  // namespace fenwright::testing
