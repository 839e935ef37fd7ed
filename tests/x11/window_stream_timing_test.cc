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

bool centreIs(const RecordedFrame& frame, std::uint32_t rgb) {
  return frame.centre() == opaque(rgb);
}

class WindowStreamTimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = XServer::start("1280x720");
    ASSERT_TRUE(server);
    session = std::make_unique<CaptureSession>(server->display());
  }
  void TearDown() override { session.reset(); }

  std::unique_ptr<XServer> server;
  std::unique_ptr<CaptureSession> session;
};

TEST_F(WindowStreamTimingTest, ARepaintGivesACompleteFrameWithinTwoFrameIntervals) {
  const auto interval = 250ms;
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session->startWindow(window->id(), serviceConfiguration(false, {1, 4})));
  auto first = session->recorder().waitForAnyFrame();
  ASSERT_TRUE(first);

  ASSERT_TRUE(window->command("fill 00FFFF"));
  auto painted = std::chrono::steady_clock::now();
  auto frame = session->recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0x00FFFF); }, 5s, first->sequence);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));
  EXPECT_LE(frame->arrival - painted, 2 * interval);
}

TEST_F(WindowStreamTimingTest, NoRepaintGivesNoFurtherFrame) {
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session->startWindow(window->id(), serviceConfiguration(false, {1, 20})));
  ASSERT_TRUE(session->recorder().waitForAnyFrame());
  // Redirection asks the client to repaint; on a busy machine that repaint
  // can come after the first frame and rightly give a second one.
  ASSERT_TRUE(window->command("sync"));
  std::this_thread::sleep_for(150ms);
  const std::size_t settled = session->recorder().frameCount();
  EXPECT_LE(settled, 2u);
  // Ten frame intervals of stillness.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(session->recorder().frameCount(), settled);

  ASSERT_TRUE(window->command("repaint"));
  EXPECT_TRUE(session->recorder().waitForAnyFrame(5s, settled));
}

TEST_F(WindowStreamTimingTest, FramesComeNoFasterThanTheMinimumInterval) {
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session->startWindow(window->id(), serviceConfiguration(false, {1, 10})));
  auto first = session->recorder().waitForAnyFrame();
  ASSERT_TRUE(first);
  ASSERT_TRUE(window->command("animate 60"));
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(window->command("animate 0"));
  auto arrivals = session->recorder().arrivals();
  std::size_t within = 0;
  for (auto at : arrivals)
    if (at > first->arrival && at <= first->arrival + 1500ms) ++within;
  // At 10 per second: 15 in 1.5 s at most; a 60 Hz window keeps it busy.
  EXPECT_LE(within, 15u);
  EXPECT_GE(within, 4u);
}

}  // namespace
}  // namespace fenwright::testing
