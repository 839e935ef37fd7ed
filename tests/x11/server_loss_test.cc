// The server going away, or lacking extensions, on private servers.

#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// Window and region streams alike end once, with the reason; the backend
// carries on, and reconnects once a server is back.
TEST(ServerLoss, AKilledServerEndsEveryStreamOnceAndQueriesReconnectWhenItIsBack) {
  // A number of its own: in a parallel run another test's server would take
  // a freed low number at once.
  const std::string display = ":" + std::to_string(300 + getpid() % 600);
  auto server = XServer::start("1280x720", {}, display);
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(display);
  ASSERT_TRUE(window);
  CaptureSession windowSession(display);
  ASSERT_TRUE(windowSession.startWindow(window->id()));
  CaptureSession regionSession(display);
  auto content = queryContent(regionSession.capture());
  ASSERT_TRUE(content);
  ASSERT_FALSE(content.value().displays.empty());
  ASSERT_TRUE(regionSession.start(ContentFilter::display(content.value().displays[0]),
                                  serviceConfiguration(true)));
  ASSERT_TRUE(windowSession.recorder().waitForFrame());
  ASSERT_TRUE(regionSession.recorder().waitForFrame());

  server->kill();
  for (CaptureSession* session : {&windowSession, &regionSession}) {
    ASSERT_TRUE(session->recorder().waitForStop());
    EXPECT_EQ(session->recorder().stopErrors(),
              std::vector<std::string>{"the X connection was lost"});
    EXPECT_TRUE(stopStream(session->stream()));
  }
  content = queryContent(windowSession.capture());
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().localizedDescription,
            "cannot connect to the X server at \"" + display + "\"");
  EXPECT_EQ(windowSession.capture().mainDisplayID(), 0u);

  auto replacement = XServer::start("1280x720", {}, display);
  ASSERT_TRUE(replacement);
  content = queryContent(windowSession.capture());
  ASSERT_TRUE(content) << content.error().localizedDescription;
  ASSERT_FALSE(content.value().displays.empty());
  EXPECT_EQ(content.value().displays[0].width, 1280);
}

TEST(ReducedServer, WindowsStreamWithoutSharedMemoryOrDamage) {
  auto server = XServer::start("1280x720", {"-extension", "MIT-SHM", "-extension", "DAMAGE"});
  ASSERT_TRUE(server);
  // Larger than the frame: read whole through the socket and handed on.
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
  // Without Damage the stream polls at the frame interval.
  ASSERT_TRUE(window->command("fill 00FF00"));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }));
}

TEST(ReducedServer, WindowsCannotBeCapturedWithoutComposite) {
  auto server = XServer::start("1280x720", {"-extension", "Composite"});
  ASSERT_TRUE(server);
  auto window = TestWindowProcess::start(server->display());
  ASSERT_TRUE(window);
  CaptureSession session(server->display());
  auto started = session.startWindow(window->id());
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().localizedDescription,
            "the X server at " + server->display() +
                " has no Composite extension (0.2 or later), which window capture needs");
}

}  // namespace
}  // namespace fenwright::testing
