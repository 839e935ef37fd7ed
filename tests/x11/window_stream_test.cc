// Window streams on the shared server: what the frames show, when they come,
// and how the stream ends.

#include <array>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_text.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;
using Colors = std::array<std::uint32_t, 4>;

// fenwright_test_window's default quadrants.
constexpr Colors kQuadrants{opaque(0xD02020), opaque(0x20B040), opaque(0x2040D0),
                            opaque(0xE0C020)};

// The content rectangle holds the four quadrants (ARGB) and the pixels
// left and right of it are transparent black.
void expectQuadrants(const RecordedFrame& frame, int left, int top, int width, int height,
                     const Colors& colors = kQuadrants) {
  ASSERT_GE(frame.width, left + width);
  ASSERT_GE(frame.height, top + height);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(frame.at(left + (1 + i % 2 * 2) * width / 4, top + (1 + i / 2 * 2) * height / 4),
              colors[i])
        << "quadrant " << i;
  if (left > 0) {
    EXPECT_EQ(frame.at(left - 1, top + height / 2), 0u);
    EXPECT_EQ(frame.at(left + width, top + height / 2), 0u);
  }
}

// Where a frame of the window's own size changes quadrant, exactly.
void expectSplitAtCentre(const RecordedFrame& f) {
  const int w = f.width, h = f.height;
  EXPECT_EQ(f.at(0, 0), kQuadrants[0]);
  EXPECT_EQ(f.at(w / 2 - 1, h / 2 - 1), kQuadrants[0]);
  EXPECT_EQ(f.at(w / 2, h / 2 - 1), kQuadrants[1]);
  EXPECT_EQ(f.at(w / 2 - 1, h / 2), kQuadrants[2]);
  EXPECT_EQ(f.at(w - 1, h - 1), kQuadrants[3]);
}

auto centreIs(std::uint32_t rgb) {
  return [rgb](const RecordedFrame& frame) { return frame.centre() == opaque(rgb); };
}

class WindowStreamTest : public ::testing::Test {
 protected:
  // A test window on the shared server, streamed, its first frame come.
  std::unique_ptr<TestWindowProcess> streamed(std::vector<std::string> arguments = {}) {
    auto window = TestWindowProcess::start(sharedDisplay(), std::move(arguments));
    EXPECT_TRUE(window);
    if (!window) return window;
    auto started = session.startWindow(window->id());
    EXPECT_TRUE(started) << started.error().localizedDescription;
    EXPECT_TRUE(session.recorder().waitForFrame());
    return window;
  }

  CaptureSession session{sharedDisplay()};
};

// Partly off the screen, partly under another window, with the pointer over
// it: every pixel of the frame is the window's own.
TEST_F(WindowStreamTest, ACoveredWindowPartlyOffTheScreenIsCapturedWholeWithoutTheCursor) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--pos", "-300,-200"});
  auto cover = TestWindowProcess::start(
      sharedDisplay(), {"--pos", "0,0", "--size", "200x100", "--colors", "808080,808080,808080,808080"});
  ASSERT_TRUE(window && cover);
  ASSERT_TRUE(cover->command("raise"));
  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xdotool", "mousemove", "100", "130"}), 0);
  auto started = session.startWindow(window->id(), serviceConfiguration(/*showsCursor=*/true));
  ASSERT_TRUE(started) << started.error().localizedDescription;
  // The first frame comes at once; what was covered, with the repaint.
  auto frame = session.recorder().waitForFrame([](const RecordedFrame& f) {
    return f.at(400, 250) == kQuadrants[3] && f.at(0, 0) == kQuadrants[0];
  });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));  // complete
  // Smaller than the frame: delivered as it is, to be scaled only once.
  ASSERT_EQ(frame->width, 640);
  ASSERT_EQ(frame->height, 360);
  for (int y = 0; y < 360; ++y)
    for (int x = 0; x < 640; ++x)
      ASSERT_EQ(frame->at(x, y), kQuadrants[(y >= 180) * 2 + (x >= 320)]) << x << "," << y;

  // A repaint under the cover shows too.
  ASSERT_TRUE(window->command("colors 112233,445566,778899,AABBCC"));
  auto repainted = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0x112233); });
  ASSERT_TRUE(repainted);
  expectQuadrants(*repainted, 0, 0, 640, 360,
                  {opaque(0x112233), opaque(0x445566), opaque(0x778899), opaque(0xAABBCC)});

  auto audio = session.stream().addStreamOutput(std::make_shared<StreamRecorder>(session.queue()),
                                                StreamOutputType::audio, session.queue());
  EXPECT_TRUE(audio.has_value());
  auto again = startStream(session.stream());
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().localizedDescription, "the stream is already capturing");
}

// The frame's own size arrives pixel for pixel, a smaller window as it is,
// a larger one too, with the place in the frame it is to be shrunk into.
TEST_F(WindowStreamTest, EachSizeArrivesAsItIsOrShrunkToFit) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--size", "1280x720"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(session.startWindow(window->id()));
  auto same = session.recorder().waitForFrame();
  ASSERT_TRUE(same);
  ASSERT_EQ(same->width, 1280);
  expectSplitAtCentre(*same);

  ASSERT_TRUE(window->command("resize 300 500"));
  // A resized window comes at once; its repaint right after.
  auto repainted = [](int w, int h) {
    return [w, h](const RecordedFrame& f) {
      return f.width == w && f.height == h && f.at(w / 4, h / 4) == kQuadrants[0] &&
             f.at(3 * w / 4, h / 4) == kQuadrants[1] && f.at(3 * w / 4, 3 * h / 4) == kQuadrants[3];
    };
  };
  auto tall = session.recorder().waitForFrame(repainted(300, 500));
  ASSERT_TRUE(tall);
  expectQuadrants(*tall, 0, 0, 300, 500);

  // Exactly half: the whole frame.
  ASSERT_TRUE(window->command("resize 2560 1440"));
  auto half = session.recorder().waitForFrame(repainted(2560, 1440), 10s, tall->sequence);
  ASSERT_TRUE(half && half->geometry);
  expectSplitAtCentre(*half);
  EXPECT_EQ(half->geometry->frameWidth, 1280);
  EXPECT_DOUBLE_EQ(half->geometry->width, 1280);
  EXPECT_DOUBLE_EQ(half->geometry->height, 720);

  // Shrunk by 0.72 to 1152x720, centred.
  ASSERT_TRUE(window->command("resize 1600 1000"));
  auto wide = session.recorder().waitForFrame(repainted(1600, 1000), 10s, half->sequence);
  ASSERT_TRUE(wide && wide->geometry);
  expectQuadrants(*wide, 0, 0, 1600, 1000);
  EXPECT_EQ(wide->geometry->frameHeight, 720);
  EXPECT_DOUBLE_EQ(wide->geometry->x, 64);
  EXPECT_DOUBLE_EQ(wide->geometry->width, 1152);
}

TEST_F(WindowStreamTest, AWindowWithAlphaKeepsIt) {
  // Premultiplied: half-transparent red, opaque green, quarter blue, clear.
  const Colors colors{0x80400000, 0xFF00FF00, 0x40000040, 0x00000000};
  auto window = streamed({"--depth", "32", "--colors", "80400000,FF00FF00,40000040,00000000"});
  ASSERT_TRUE(window);
  auto frame = session.recorder().waitForFrame();
  ASSERT_TRUE(frame);
  expectQuadrants(*frame, 0, 0, 640, 360, colors);
}

TEST_F(WindowStreamTest, AnUnmappedWindowGivesNoFramesUntilItIsMappedAgain) {
  auto window = streamed();
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->command("unmap"));
  ASSERT_TRUE(window->command("fill 00FF00"));
  std::size_t count = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);  // a window for frames that must not come
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(session.recorder().waitForFrame(centreIs(0x00FF00), 5s, count));
}

TEST_F(WindowStreamTest, ADestroyedWindowStopsTheStreamByItselfOnce) {
  auto window = streamed();
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->command("destroy"));
  ASSERT_TRUE(session.recorder().waitForStop());
  std::size_t count = session.recorder().frameCount();
  std::this_thread::sleep_for(200ms);  // a window for a second stop or late frames
  EXPECT_EQ(session.recorder().stopErrors(),
            std::vector<std::string>{"window " + x11::hexId(window->id()) + " was destroyed"});
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_TRUE(stopStream(session.stream()));
}

TEST_F(WindowStreamTest, AFilterUpdateSwitchesWindowsWithoutStopping) {
  auto green =
      TestWindowProcess::start(sharedDisplay(), {"--colors", "00FF00,00FF00,00FF00,00FF00"});
  auto gone = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(green && gone);
  const std::uint32_t goneId = gone->id();
  ASSERT_TRUE(gone->command("destroy"));
  const std::string goneError = "window " + x11::hexId(goneId) + " does not exist";
  auto refused = session.startWindow(goneId);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().localizedDescription, goneError);

  auto red = streamed({"--colors", "FF0000,FF0000,FF0000,FF0000"});
  ASSERT_TRUE(red);
  auto switched = updateFilter(session.stream(), windowFilter(green->id()));
  ASSERT_TRUE(switched) << switched.error().localizedDescription;
  auto greenFrame = session.recorder().waitForFrame(centreIs(0x00FF00));
  ASSERT_TRUE(greenFrame);
  auto failed = updateFilter(session.stream(), windowFilter(goneId));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().localizedDescription, goneError);

  // Still on the green window, which still streams; the red one is let go.
  ASSERT_TRUE(red->command("fill FFFFFF"));
  ASSERT_TRUE(green->command("fill 0000FF"));
  auto blue = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return centreIs(0x0000FF)(f) || centreIs(0xFFFFFF)(f); }, 5s,
      greenFrame->sequence);
  ASSERT_TRUE(blue);
  EXPECT_TRUE(centreIs(0x0000FF)(*blue));
  EXPECT_TRUE(session.recorder().stopErrors().empty());
}

TEST_F(WindowStreamTest, StopCompletesOnlyAfterTheLastSample) {
  auto window = streamed();
  ASSERT_TRUE(window);
  session.recorder().setCallbackDelay(40ms);
  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(
      session.recorder().waitForFrame([](const RecordedFrame& f) { return f.sequence >= 3; }));
  ASSERT_TRUE(stopStream(session.stream()));
  std::size_t atStop = session.recorder().frameCount();
  std::this_thread::sleep_for(300ms);  // a window for samples after the stop
  EXPECT_EQ(session.recorder().frameCount(), atStop);
  EXPECT_TRUE(session.recorder().stopErrors().empty());
}

TEST_F(WindowStreamTest, DroppingARunningStreamLetsTheWindowGo) {
  auto window = streamed();
  ASSERT_TRUE(window);
  session.dropStream();
  CaptureSession second(sharedDisplay());
  ASSERT_TRUE(second.startWindow(window->id()));
  EXPECT_TRUE(second.recorder().waitForFrame());
}

}  // namespace
}  // namespace fenwright::testing
