// When window frames come, on a private server: on the shared one other
// tests' windows come and go, and their clients' repaints are real changes.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// Frames follow repaints, never closer than the minimum interval (a bound a
// busy machine can only widen), and stop while the window is still.
TEST(WindowStreamTiming, FramesFollowRepaintsAtMostOncePerInterval) {
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  CaptureSession session(server->display());
  ASSERT_TRUE(session.startWindow(window->id(), serviceConfiguration(false, {1, 10})));
  auto first = session.recorder().waitForFrame();
  ASSERT_TRUE(first);

  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(session.recorder().waitForFrame(
      [&](const RecordedFrame& f) { return f.sequence >= first->sequence + 8; }));
  ASSERT_TRUE(window->command("animate 0"));
  // One interval of slack, for a delivery that came late.
  auto arrivals = session.recorder().arrivals();
  const auto frames = static_cast<int>(arrivals.size() - first->sequence);
  EXPECT_GE(arrivals.back() - arrivals[first->sequence], (frames - 2) * 100ms) << frames;

  // Still: whatever the last repaints gave has come once the window says
  // it is done and a trailing grab had its time; then ten frame intervals
  // bring nothing.
  ASSERT_TRUE(window->command("sync"));
  std::this_thread::sleep_for(200ms);
  const std::size_t settled = session.recorder().frameCount();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(session.recorder().frameCount(), settled);

  ASSERT_TRUE(window->command("fill 00FFFF"));
  auto frame = session.recorder().waitForFrame(nullptr, 5s, settled);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->centre(), opaque(0x00FFFF));
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));
}

}  // namespace
}  // namespace fenwright::testing
