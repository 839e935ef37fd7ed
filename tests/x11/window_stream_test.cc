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
  }
  if (top > 0) {
    EXPECT_EQ(frame.at(left + width / 2, top - 1), 0u);
  }
  if (left + width < frame.width) {
    EXPECT_EQ(frame.at(left + width, top + height / 2), 0u);
  }
  if (top + height < frame.height) {
    EXPECT_EQ(frame.at(left + width / 2, top + height), 0u);
  }
}

bool centreIs(const RecordedFrame& frame, std::uint32_t rgb) {
  return frame.centre() == opaque(rgb);
}

class WindowStreamTest : public ::testing::Test {
 protected:
  CaptureSession session{sharedDisplay()};
};

TEST_F(WindowStreamTest, FramesShowWhatTheWindowPainted) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--size", "640x360", "--pos", "40,30"});
  ASSERT_TRUE(window);
  auto started = session.startWindow(window->id());
  ASSERT_TRUE(started) << started.error().localizedDescription;
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));  // complete
  // Smaller than the frame: delivered as it is, to be scaled only once.
  ASSERT_EQ(frame->width, 640);
  ASSERT_EQ(frame->height, 360);
  expectQuadrants(*frame, 0, 0, 640, 360);
  EXPECT_EQ(frame->at(0, 0), opaque(kQuadrants[0]));
  EXPECT_EQ(frame->at(639, 359), opaque(kQuadrants[3]));
}

TEST_F(WindowStreamTest, ACoveredWindowIsCapturedWhole) {
  auto covered = TestWindowProcess::start(sharedDisplay(), {"--pos", "100,100"});
  ASSERT_TRUE(covered);
  auto cover = TestWindowProcess::start(
      sharedDisplay(), {"--pos", "100,100", "--colors", "808080,808080,808080,808080"});
  ASSERT_TRUE(cover);
  ASSERT_TRUE(cover->command("raise"));
  ASSERT_TRUE(session.startWindow(covered->id()));
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  expectQuadrants(*frame, 0, 0, 640, 360);

  // A repaint under the cover shows too.
  ASSERT_TRUE(covered->command("colors 112233,445566,778899,AABBCC"));
  auto repainted = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0x112233); });
  ASSERT_TRUE(repainted);
  expectQuadrants(*repainted, 0, 0, 640, 360, {0x112233, 0x445566, 0x778899, 0xAABBCC});
}

TEST_F(WindowStreamTest, AWindowPartlyOffTheScreenIsCapturedWhole) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--pos", "-300,-200"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  expectQuadrants(*frame, 0, 0, 640, 360);
}

TEST_F(WindowStreamTest, AResizedWindowKeepsStreamingAtItsNewAspect) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(session.recorder().waitForAnyFrame());

  ASSERT_TRUE(window->command("resize 300 500"));
  auto tall = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.width == 300 && f.height == 500; });
  ASSERT_TRUE(tall);
  expectQuadrants(*tall, 0, 0, 300, 500);

  ASSERT_TRUE(window->command("resize 1600 1000"));
  // Larger than the frame: shrunk by 0.72 to 1152x720, centred.
  auto wide = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.width == 1280 && f.at(640, 0) && f.at(100, 360); });
  ASSERT_TRUE(wide);
  expectQuadrants(*wide, 64, 0, 1152, 720);
  EXPECT_EQ(wide->at(62, 360), 0u);
  EXPECT_EQ(wide->at(1217, 360), 0u);
}

TEST_F(WindowStreamTest, AWindowOfTheFrameSizeArrivesPixelForPixel) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--size", "1280x720"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->at(0, 0), opaque(kQuadrants[0]));
  EXPECT_EQ(frame->at(639, 359), opaque(kQuadrants[0]));
  EXPECT_EQ(frame->at(640, 359), opaque(kQuadrants[1]));
  EXPECT_EQ(frame->at(639, 360), opaque(kQuadrants[2]));
  EXPECT_EQ(frame->at(640, 360), opaque(kQuadrants[3]));
  EXPECT_EQ(frame->at(1279, 719), opaque(kQuadrants[3]));
}

TEST_F(WindowStreamTest, AWindowLargerThanTheFrameIsShrunkToFit) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--size", "2560x1440"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  // Exactly half: every frame pixel averages 2x2 pixels of one quadrant.
  EXPECT_EQ(frame->at(0, 0), opaque(kQuadrants[0]));
  EXPECT_EQ(frame->at(639, 359), opaque(kQuadrants[0]));
  EXPECT_EQ(frame->at(640, 359), opaque(kQuadrants[1]));
  EXPECT_EQ(frame->at(639, 360), opaque(kQuadrants[2]));
  EXPECT_EQ(frame->at(1279, 719), opaque(kQuadrants[3]));
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

TEST_F(WindowStreamTest, AnUnmappedWindowGivesNoFramesUntilItIsMappedAgain) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(session.recorder().waitForAnyFrame());
  ASSERT_TRUE(window->command("unmap"));
  ASSERT_TRUE(window->command("fill 00FF00"));
  std::size_t count = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0x00FF00); }, 5s, count));
}

TEST_F(WindowStreamTest, ADestroyedWindowStopsTheStreamByItselfOnce) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(session.recorder().waitForAnyFrame());
  ASSERT_TRUE(window->command("destroy"));
  ASSERT_TRUE(session.recorder().waitForStop());
  std::size_t count = session.recorder().frameCount();
  std::this_thread::sleep_for(200ms);
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
  EXPECT_EQ(failed.error().localizedDescription,
            "window " + x11::hexId(goneId) + " does not exist");

  // Still on the green window, which still streams.
  ASSERT_TRUE(green->command("fill 0000FF"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0x0000FF); }, 5s, greenFrame->sequence));
  // The red window is no longer followed.
  ASSERT_TRUE(red->command("fill FFFFFF"));
  EXPECT_FALSE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(f, 0xFFFFFF); }, 300ms, greenFrame->sequence));
  EXPECT_TRUE(session.recorder().stopErrors().empty());
}

TEST_F(WindowStreamTest, StopCompletesOnlyAfterTheLastSample) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  session.recorder().setCallbackDelay(40ms);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(
      session.recorder().waitForFrame([](const RecordedFrame& f) { return f.sequence >= 3; }));
  ASSERT_TRUE(stopStream(session.stream()));
  std::size_t atStop = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(session.recorder().frameCount(), atStop);
  EXPECT_TRUE(session.recorder().stopErrors().empty());
}

TEST_F(WindowStreamTest, TheCursorIsNeverDrawnIntoAWindow) {
  auto window = TestWindowProcess::start(
      sharedDisplay(), {"--pos", "100,100", "--colors", "336699,336699,336699,336699"});
  ASSERT_TRUE(window);
  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xdotool", "mousemove", "420", "280"}), 0);
  ASSERT_TRUE(session.startWindow(window->id(), serviceConfiguration(/*showsCursor=*/true)));
  auto frame = session.recorder().waitForAnyFrame();
  ASSERT_TRUE(frame);
  for (int y = 0; y < frame->height; ++y)
    for (int x = 0; x < frame->width; ++x)
      ASSERT_EQ(frame->at(x, y), opaque(0x336699)) << x << "," << y;
}

TEST_F(WindowStreamTest, StartFailsForAWindowThatDoesNotExist) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  const std::uint32_t id = window->id();
  ASSERT_TRUE(window->command("destroy"));
  auto started = session.startWindow(id);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().localizedDescription, "window " + x11::hexId(id) + " does not exist");
}

TEST_F(WindowStreamTest, TheStreamRefusesAudioAndASecondStart) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto audio = session.stream().addStreamOutput(std::make_shared<StreamRecorder>(session.queue()),
                                                StreamOutputType::audio, session.queue());
  EXPECT_TRUE(audio.has_value());
  auto again = startStream(session.stream());
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().localizedDescription, "the stream is already capturing");
}

TEST_F(WindowStreamTest, DroppingARunningStreamLetsTheWindowGo) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  ASSERT_TRUE(session.recorder().waitForAnyFrame());
  session.dropStream();
  // The window is still there for a new stream.
  CaptureSession second(sharedDisplay());
  ASSERT_TRUE(second.startWindow(window->id()));
  EXPECT_TRUE(second.recorder().waitForAnyFrame());
}

}  // namespace
}  // namespace fenwright::testing
