// Window streams: what the frames show, when they come, and how the stream
// ends; and streams without a server, with one that goes away, or one
// lacking extensions, on private servers.

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_text.h"
#include "support/fails_with.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;
using Colors = std::array<std::uint32_t, 4>;

// fenwright_test_window's default quadrants.
constexpr Colors kQuadrants{opaque(0xD02020), opaque(0x20B040), opaque(0x2040D0),
                            opaque(0xE0C020)};
constexpr Colors kRecoloured{opaque(0x112233), opaque(0x445566), opaque(0x778899),
                             opaque(0xAABBCC)};
constexpr const char* kRecolour = "colors 112233,445566,778899,AABBCC";

// Pixels that are not the quadrants `colors`, split at the frame's centre.
int offPixels(const RecordedFrame& f, const Colors& colors = kQuadrants) {
  int off = 0;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x)
      off += f.at(x, y) != colors[(y >= f.height / 2) * 2 + (x >= f.width / 2)];
  return off;
}

auto showing(const Colors& colors) {
  return [colors](const RecordedFrame& f) { return offPixels(f, colors) == 0; };
}

// Partly off the screen, under another window, with the pointer over it and
// the cursor asked for: every pixel is the window's own, at its own size;
// nothing while it is unmapped, its new look once it is back. (Larger
// windows are handed on whole with the frame they are to fill: FrameFitter,
// and the real helper's huge window, tests/process.) A filter update moves the stream to another window (one of depth 32 keeps
// its alpha); one to a window that is gone fails and changes nothing; a
// destroyed window ends the stream once.
TEST(WindowStream, CoveredWindowsArriveWholeAndFilterUpdatesSwitchWindows) {
  const std::string& display = sharedDisplay();
  auto window = TestWindowProcess::start(display, {"--pos", "-300,-200"});
  auto cover = TestWindowProcess::start(
      display, {"--size", "200x100", "--colors", "808080,808080,808080,808080"});
  const Colors alpha{0x80400000, 0xFF00FF00, 0x40000040, 0x00000000};  // premultiplied
  auto translucent =
      TestWindowProcess::start(display, {"--depth", "32", "--colors", "80400000,FF00FF00,40000040,0"});
  auto gone = TestWindowProcess::start(display);
  ASSERT_TRUE(window && cover && translucent && gone);
  ASSERT_TRUE(cover->command("raise"));
  ASSERT_TRUE(gone->command("destroy"));
  ASSERT_EQ(runOnDisplay(display, {"xdotool", "mousemove", "100", "130"}), 0);
  const std::string goneError = "window " + x11::hexId(gone->id()) + " does not exist";
  CaptureSession session(display);
  EXPECT_TRUE(failsWith(session.startWindow(gone->id()), goneError));

  auto started = session.startWindow(window->id(), serviceConfiguration(/*showsCursor=*/true));
  ASSERT_TRUE(started) << started.error().localizedDescription;
  // The first frame comes at once; what was covered, with the repaint.
  auto frame = session.recorder().waitForFrame([](const RecordedFrame& f) {
    return f.at(400, 250) == kQuadrants[3] && f.at(0, 0) == kQuadrants[0];
  });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, std::optional<std::int64_t>(0));  // complete
  EXPECT_EQ(std::pair(frame->width, frame->height), std::pair(640, 360));
  EXPECT_EQ(offPixels(*frame), 0);
  // Nothing while unmapped; the new look once mapped again.
  ASSERT_TRUE(window->command("unmap"));
  std::this_thread::sleep_for(100ms);  // a grab begun before the unmap may still land
  const std::size_t unmapped = session.recorder().frameCount();
  ASSERT_TRUE(window->command(kRecolour));
  std::this_thread::sleep_for(300ms);  // a window for frames that must not come
  EXPECT_EQ(session.recorder().frameCount(), unmapped);
  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(session.recorder().waitForFrame(showing(kRecoloured), unmapped));

  ASSERT_TRUE(updateFilter(session.stream(), windowFilter(translucent->id())));
  auto switched = session.recorder().waitForFrame(showing(alpha));
  ASSERT_TRUE(switched);
  EXPECT_TRUE(failsWith(updateFilter(session.stream(), windowFilter(gone->id())), goneError));
  // Still on the translucent window; the first one is let go.
  ASSERT_TRUE(window->command("fill FFFFFF"));
  ASSERT_TRUE(translucent->command("fill FF0000FF"));
  auto next = session.recorder().waitForFrame(
      [](const RecordedFrame& f) {
        return f.centre() == opaque(0x0000FF) || f.centre() == opaque(0xFFFFFF);
      },
      switched->sequence);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->centre(), opaque(0x0000FF));

  ASSERT_TRUE(translucent->command("destroy"));
  ASSERT_TRUE(session.recorder().waitForStop());
  const std::size_t count = session.recorder().frameCount();
  EXPECT_TRUE(stopStream(session.stream()));
  ASSERT_TRUE(window->command("sync"));
  EXPECT_EQ(session.recorder().frameCount(), count);
  EXPECT_EQ(session.recorder().stopErrors(),
            std::vector<std::string>{"window " + x11::hexId(translucent->id()) + " was destroyed"});
}

// On a private server, where no other client repaints: frames follow
// repaints, never closer than the minimum interval (a bound a busy machine
// can only widen), and stop while the window is still. A stop completes
// only after the last sample; a dropped running stream lets the window go.
TEST(WindowStream, FramesFollowRepaintsAtMostOncePerIntervalAndEndWithTheStop) {
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  auto session = std::make_unique<CaptureSession>(server->display());
  ASSERT_TRUE(session->startWindow(window->id(), serviceConfiguration(false, {1, 10})));
  auto first = session->recorder().waitForFrame();
  ASSERT_TRUE(first);
  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(session->recorder().waitForFrame(
      [&](const RecordedFrame& f) { return f.sequence >= first->sequence + 8; }));
  ASSERT_TRUE(window->command("animate 0"));
  // One interval of slack, for a delivery that came late.
  auto arrivals = session->recorder().arrivals();
  const auto frames = static_cast<int>(arrivals.size() - first->sequence);
  EXPECT_GE(arrivals.back() - arrivals[first->sequence], (frames - 2) * 100ms) << frames;

  // Whatever the last repaints gave has come once the window says it is
  // done and a trailing grab had its time; then five frame intervals bring
  // nothing.
  ASSERT_TRUE(window->command("sync"));
  std::this_thread::sleep_for(200ms);
  const std::size_t settled = session->recorder().frameCount();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(session->recorder().frameCount(), settled);
  ASSERT_TRUE(window->command("fill 00FFFF"));
  auto filled = session->recorder().waitForFrame(nullptr, settled);
  ASSERT_TRUE(filled);
  EXPECT_EQ(filled->centre(), opaque(0x00FFFF));
  // Read through the screen while it shows the window whole; covered while
  // still, then repainted: all its own in every frame, never the cover.
  auto cover = TestWindowProcess::start(server->display(), {"--size", "200x100", "--colors",
                                                            "808080,808080,808080,808080"});
  ASSERT_TRUE(cover && cover->command("raise") && window->command(kRecolour));
  int coverPixels = 0;
  EXPECT_TRUE(session->recorder().waitForFrame([&](const RecordedFrame& f) {
    coverPixels += static_cast<int>(std::count(f.pixels.begin(), f.pixels.end(), opaque(0x808080)));
    return showing(kRecoloured)(f);
  }, filled->sequence));
  EXPECT_EQ(coverPixels, 0);

  session->dropStream();
  session = std::make_unique<CaptureSession>(server->display());
  ASSERT_TRUE(session->startWindow(window->id()));
  ASSERT_TRUE(session->recorder().waitForFrame());
  session->recorder().setCallbackDelay(40ms);
  ASSERT_TRUE(window->command("animate 60"));
  ASSERT_TRUE(
      session->recorder().waitForFrame([](const RecordedFrame& f) { return f.sequence >= 3; }));
  ASSERT_TRUE(stopStream(session->stream()));
  const std::size_t atStop = session->recorder().frameCount();
  std::this_thread::sleep_for(300ms);  // a window for samples after the stop
  EXPECT_EQ(session->recorder().frameCount(), atStop);
  EXPECT_TRUE(session->recorder().stopErrors().empty());
}

// A region stream ends once, with the reason; while the server is gone
// queries fail with a clear error. (A window stream, and reconnecting once
// the server is back, under the real helper: the soak, XServerKilled.)
TEST(ServerLoss, AKilledServerEndsTheStreamOnceAndQueriesFailClearly) {
  EXPECT_TRUE(failsWith(queryContent(*makeX11ScreenCapture("not a display")),
                        "the X display name \"not a display\" is not valid"));
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server);
  CaptureSession session(server->display());
  auto content = queryContent(session.capture());
  ASSERT_TRUE(content && !content.value().displays.empty());
  ASSERT_TRUE(session.start(ContentFilter::display(content.value().displays[0]),
                            serviceConfiguration(true)));
  ASSERT_TRUE(session.recorder().waitForFrame());

  server->kill();
  ASSERT_TRUE(session.recorder().waitForStop());
  EXPECT_TRUE(stopStream(session.stream()));
  EXPECT_EQ(session.recorder().stopErrors(), std::vector<std::string>{"the X connection was lost"});
  EXPECT_TRUE(failsWith(queryContent(session.capture()),
                        "cannot connect to the X server at \"" + server->display() + "\""));
  EXPECT_EQ(session.capture().mainDisplayID(), 0u);
}

// Larger than the frame and without shared memory: read whole through the
// socket and handed on; without Damage the stream polls at the frame interval.
TEST(ReducedServer, WindowsStreamWithoutSharedMemoryOrDamageButNotWithoutComposite) {
  auto server = XServer::start("1280x720", {"-extension", "MIT-SHM", "-extension", "DAMAGE"});
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display(), {"--size", "2000x1125"});
  ASSERT_TRUE(window);
  CaptureSession session(server->display());
  auto started = session.startWindow(window->id());
  ASSERT_TRUE(started) << started.error().localizedDescription;
  // What was off the screen comes with the client's repaint.
  auto frame = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(1500, 843) != opaque(0); });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->at(500, 281), opaque(0xD02020));
  EXPECT_EQ(frame->at(1500, 843), opaque(0xE0C020));
  ASSERT_TRUE(window->command("fill 00FF00"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }));

  auto bare = XServer::start("1280x720", {"-extension", "Composite"});
  ASSERT_TRUE(bare);
  auto uncomposited = TestWindowProcess::start(bare->display());
  ASSERT_TRUE(uncomposited);
  EXPECT_TRUE(failsWith(CaptureSession(bare->display()).startWindow(uncomposited->id()),
                        "the X server at " + bare->display() +
                            " has no Composite extension (0.2 or later), which window capture needs"));
}

}  // namespace
}  // namespace fenwright::testing
