// Window streams on the shared server: what the frames show, when they come,
// and how the stream ends.

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_text.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// fenwright_test_window's default quadrants.
constexpr std::array<std::uint32_t, 4> kQuadrants{0xD02020, 0x20B040, 0x2040D0, 0xE0C020};

std::string describe(std::uint32_t pixel) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", pixel);
  return text;
}

// The content rectangle holds the four quadrants and everything around it
// is transparent black.
void expectQuadrants(const RecordedFrame& frame, int left, int top, int width, int height,
                     const std::array<std::uint32_t, 4>& colors = kQuadrants) {
  ASSERT_GE(frame.width, left + width);
  ASSERT_GE(frame.height, top + height);
  const int qx[2] = {left + width / 4, left + 3 * width / 4};
  const int qy[2] = {top + height / 4, top + 3 * height / 4};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(describe(frame.at(qx[i % 2], qy[i / 2])), describe(opaque(colors[i])))
        << "quadrant " << i;
  if (left > 0) {
    EXPECT_EQ(frame.at(left - 1, top + height / 2), 0u);
    EXPECT_EQ(frame.at(left + width, top + height / 2), 0u);
  }
}

// Where a frame of the window's own size changes quadrant, exactly.
void expectSplitAtCentre(const RecordedFrame& frame) {
  const int w = frame.width, h = frame.height;
  EXPECT_EQ(frame.at(0, 0), opaque(kQuadrants[0]));
  EXPECT_EQ(frame.at(w / 2 - 1, h / 2 - 1), opaque(kQuadrants[0]));
  EXPECT_EQ(frame.at(w / 2, h / 2 - 1), opaque(kQuadrants[1]));
  EXPECT_EQ(frame.at(w / 2 - 1, h / 2), opaque(kQuadrants[2]));
  EXPECT_EQ(frame.at(w - 1, h - 1), opaque(kQuadrants[3]));
}

bool centreIs(const RecordedFrame& frame, std::uint32_t rgb) {
  return frame.centre() == opaque(rgb);
}

class WindowStreamTest : public ::testing::Test {
 protected:
  CaptureSession session{sharedDisplay()};
};

// Partly off the screen, partly under another window, with the pointer over
// it: every pixel of the frame is the window's own.
TEST_F(WindowStreamTest, ACoveredWindowPartlyOffTheScreenIsCapturedWholeWithoutTheCursor) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--pos", "-300,-200"});
  auto cover = TestWindowProcess::start(sharedDisplay(), {"--pos", "0,0", "--size", "200x100",
                                                         "--colors", "808080,808080,808080,808080"});
  ASSERT_TRUE(window && cover);
  ASSERT_TRUE(cover->command("raise"));
  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xdotool", "mousemove", "100", "130"}), 0);
  auto started = session.startWindow(window->id(), serviceConfiguration(/*showsCursor=*/true));
  ASSERT_TRUE(started) << started.error().localizedDescription;
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));  // complete
  // Smaller than the frame: delivered as it is, to be scaled only once.
  ASSERT_EQ(frame->width, 640);
  ASSERT_EQ(frame->height, 360);
  for (int y = 0; y < 360; ++y)
    for (int x = 0; x < 640; ++x)
      ASSERT_EQ(frame->at(x, y), opaque(kQuadrants[(y >= 180) * 2 + (x >= 320)])) << x << "," << y;

  // A repaint under the cover shows too.
  ASSERT_TRUE(window->command("colors 112233,445566,778899,AABBCC"));
  auto repainted = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0x112233); });
  ASSERT_TRUE(repainted);
  expectQuadrants(*repainted, 0, 0, 640, 360, {0x112233, 0x445566, 0x778899, 0xAABBCC});

  auto audio = session.stream().addStreamOutput(std::make_shared<StreamRecorder>(session.queue()),
                                                StreamOutputType::audio, session.queue());
  EXPECT_TRUE(audio.has_value());
  auto again = startStream(session.stream());
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().localizedDescription, "the stream is already capturing");
}

// The frame's own size arrives pixel for pixel, a smaller window as it is,
// a larger one shrunk to fit and centred.
TEST_F(WindowStreamTest, EachSizeArrivesAsItIsOrShrunkToFit) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--size", "1280x720"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto same = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(same);
  ASSERT_EQ(same->width, 1280);
  expectSplitAtCentre(*same);

  ASSERT_TRUE(window->command("resize 300 500"));
  auto tall = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.width == 300 && f.height == 500; });
  ASSERT_TRUE(tall);
  expectQuadrants(*tall, 0, 0, 300, 500);

  // Exactly half: every frame pixel averages 2x2 pixels of one quadrant.
  ASSERT_TRUE(window->command("resize 2560 1440"));
  auto half = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.width == 1280 && f.height == 720; }, 10s,
      tall->sequence);
  ASSERT_TRUE(half);
  expectSplitAtCentre(*half);

  // Shrunk by 0.72 to 1152x720, centred.
  ASSERT_TRUE(window->command("resize 1600 1000"));
  auto wide = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.width == 1280 && f.at(640, 0) && !f.at(10, 360); },
      10s, half->sequence);
  ASSERT_TRUE(wide);
  expectQuadrants(*wide, 64, 0, 1152, 720);
  EXPECT_EQ(wide->at(62, 360), 0u);
  EXPECT_EQ(wide->at(1217, 360), 0u);
}

TEST_F(WindowStreamTest, AWindowWithAlphaKeepsIt) {
  // Premultiplied: half-transparent red, opaque green, quarter blue, clear.
  auto window = TestWindowProcess::start(
      sharedDisplay(), {"--depth", "32", "--colors", "80400000,FF00FF00,40000040,00000000"});
  ASSERT_TRUE(window);
  auto started = session.startWindow(window->id());
  ASSERT_TRUE(started) << started.error().localizedDescription;
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(describe(frame->at(160, 90)), describe(0x80400000));
  EXPECT_EQ(describe(frame->at(480, 90)), describe(0xFF00FF00));
  EXPECT_EQ(describe(frame->at(160, 270)), describe(0x40000040));
  EXPECT_EQ(describe(frame->at(480, 270)), describe(0x00000000));
}

// Unmapped, the window gives no frames and the stream waits; destroyed, the
// stream stops by itself, once.
TEST_F(WindowStreamTest, AnUnmappedWindowPausesTheStreamAndADestroyedOneStopsItOnce) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(session.recorder().waitForAnyFrame());
  ASSERT_TRUE(window->command("unmap"));
  ASSERT_TRUE(window->command("fill 00FF00"));
  std::size_t count = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);  // a window for frames that must not come
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_TRUE(session.recorder().stopErrors().empty());
  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0x00FF00); }, 5s, count));

  ASSERT_TRUE(window->command("destroy"));
  ASSERT_TRUE(session.recorder().waitForStop());
  count = session.recorder().frameCount();
  std::this_thread::sleep_for(200ms);  // a window for a second stop or late frames
  auto errors = session.recorder().stopErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "window " + x11::hexId(window->id()) + " was destroyed");
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_TRUE(stopStream(session.stream()));
}

TEST_F(WindowStreamTest, AFilterUpdateSwitchesWindowsWithoutStopping) {
  auto red = TestWindowProcess::start(sharedDisplay(), {"--colors", "FF0000,FF0000,FF0000,FF0000"});
  auto green =
      TestWindowProcess::start(sharedDisplay(), {"--colors", "00FF00,00FF00,00FF00,00FF00"});
  auto gone = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(red && green && gone);
  const std::uint32_t goneId = gone->id();
  ASSERT_TRUE(gone->command("destroy"));
  const std::string goneError = "window " + x11::hexId(goneId) + " does not exist";

  auto refused = session.startWindow(goneId);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().localizedDescription, goneError);

  ASSERT_TRUE(session.startWindow(red->id()));
  ASSERT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0xFF0000); }));
  auto switched = updateFilter(session.stream(),
                               ContentFilter::desktopIndependentWindow(windowWithId(green->id())));
  ASSERT_TRUE(switched) << switched.error().localizedDescription;
  auto greenFrame =
      session.recorder().waitForFrame([](const RecordedFrame& f) { return centreIs(f, 0x00FF00); });
  ASSERT_TRUE(greenFrame);

  auto failed =
      updateFilter(session.stream(), ContentFilter::desktopIndependentWindow(windowWithId(goneId)));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().localizedDescription, goneError);

  // Still on the green window, which still streams; the red one is let go.
  ASSERT_TRUE(red->command("fill FFFFFF"));
  ASSERT_TRUE(green->command("fill 0000FF"));
  auto blue = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0x0000FF) || centreIs(f, 0xFFFFFF); }, 5s,
      greenFrame->sequence);
  ASSERT_TRUE(blue);
  EXPECT_TRUE(centreIs(*blue, 0x0000FF));
  EXPECT_TRUE(session.recorder().stopErrors().empty());
}

// Stopping waits for the sample in flight; a stream dropped while running
// lets its window go for the next one.
TEST_F(WindowStreamTest, StopCompletesAfterTheLastSampleAndADroppedStreamLetsGo) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  session.recorder().setCallbackDelay(40ms);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(
      session.recorder().waitForFrame([](const RecordedFrame& f) { return f.sequence >= 3; }));
  ASSERT_TRUE(stopStream(session.stream()));
  std::size_t atStop = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);  // a window for samples after the stop
  EXPECT_EQ(session.recorder().frameCount(), atStop);
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  CaptureSession second(sharedDisplay());
  ASSERT_TRUE(second.startWindow(window->id()));
  ASSERT_TRUE(second.recorder().waitForAnyFrame());
  second.dropStream();
  CaptureSession third(sharedDisplay());
  ASSERT_TRUE(third.startWindow(window->id()));
  EXPECT_TRUE(third.recorder().waitForAnyFrame());
}

}  // namespace
}  // namespace fenwright::testing
