// fenwright-view's live window against the ipc test server (which exits 0
// once its one client goes): the window is kept above, titled with the
// frame rate, shows the surface, and every way of quitting closes the
// connection.

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "platform/c_deleter.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "x11/x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

template <class T>
using Reply = fenwright::MallocPtr<T>;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

void sendTo(xcb_connection_t* c, xcb_window_t window, const void* event) {
  xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, static_cast<const char*>(event));
  xcb_flush(c);
}

class ViewLiveTest : public ::testing::Test {
 protected:
  // A fresh server for each viewer, then the viewer on it, up to its
  // "window <id>" line. Cases that quit it pass a time past the suite's
  // timeout, so a missed quit fails.
  std::optional<xcb_window_t> startView(double exitAfter) {
    ::chmod(runtime_.path().c_str(), 0700);
    // The last server exited without taking its socket file along.
    auto socket = runtime_.path() / "Q2WXR7TZ4M.com.quenfield.app.pipmode";
    std::filesystem::remove(socket);
    ChildProcess::Options options;
    options.argv = {FENWRIGHT_IPC_TEST_SERVER};
    options.environment = {{"XDG_RUNTIME_DIR", runtime_.path().string()}};
    options.quiet = true;
    server_ = ChildProcess::spawn(options);
    if (!server_ || !eventually([&] { return std::filesystem::exists(socket); }, 10s)) return {};
    options.argv = {FENWRIGHT_VIEW, "--exit-after", std::to_string(exitAfter)};
    options.environment.push_back({"DISPLAY", display_});
    options.quiet = false;
    options.pipeStdout = true;
    view_ = ChildProcess::spawn(options);
    auto line = view_ ? view_->readLine(10s) : std::nullopt;
    if (!line || !line->starts_with("window ")) return std::nullopt;
    return static_cast<xcb_window_t>(std::stoul(line->substr(7)));
  }

  // The viewer exits (0 unless killed) and, with its connection gone, so
  // does the server.
  void expectBothEnd(bool killed = false) {
    EXPECT_TRUE(view_->wait() == 0 || killed);
    EXPECT_EQ(server_->wait(), 0);
  }

  TempDir runtime_;
  std::string display_ = sharedDisplay();
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> view_;
};

// After its time, on q, or killed: the viewer takes the helper with it.
TEST_F(ViewLiveTest, ExitAfterQOrASignalEndsTheViewerAndTheHelper) {
  ASSERT_TRUE(startView(1));
  expectBothEnd();
  auto window = startView(600);
  ASSERT_TRUE(window);
  EXPECT_EQ(runOnDisplay(display_, {"xdotool", "key", "--window", std::to_string(*window), "q"}),
            0);
  expectBothEnd();
  ASSERT_TRUE(startView(600));
  view_->signal(SIGTERM);
  expectBothEnd(true);
}

// What the screen shows: the server's surface scaled into the 480x270
// window. Every pixel must be one of the source pixels nearest its
// position (the pattern's neighbours all differ), in B, G, R order.
TEST_F(ViewLiveTest, WindowIsAboveTitledShowsTheSurfaceScaledAndClosesOnDelete) {
  // A private server: nothing of another test may cover the window.
  auto own = XServer::start("800x600");
  ASSERT_TRUE(own);
  display_ = own->display();
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(
      xcb_connect(display_.c_str(), nullptr), &xcb_disconnect);
  ASSERT_EQ(xcb_connection_has_error(x.get()), 0);
  xcb_connection_t* c = x.get();
  auto window = startView(600);
  ASSERT_TRUE(window);
  const std::string id = std::to_string(*window);
  EXPECT_NE(propertyLine(display_, id, "_NET_WM_STATE").find("_NET_WM_STATE_ABOVE"),
            std::string::npos);
  EXPECT_NE(propertyLine(display_, id, "WM_PROTOCOLS").find("WM_DELETE_WINDOW"), std::string::npos);
  // The status line: the rate, then live or paused.
  const std::string prefix = "_NET_WM_NAME = \"Fenwright \xE2\x80\x94 ";
  std::string title;
  EXPECT_TRUE(eventually([&] {
    title = propertyLine(display_, id, "_NET_WM_NAME");
    return title.starts_with(prefix);
  }, 10s)) << title;
  EXPECT_NE(title.find(" fps \xE2\x80\x94 "), std::string::npos) << title;
  EXPECT_TRUE(title.ends_with("live\"") || title.ends_with("paused\"")) << title;

  constexpr int kWidth = 480, kHeight = 270, kSourceWidth = 640, kSourceHeight = 360;
  auto nearSource = [&](const std::uint8_t* pixel, int x, int y) {
    const int sx = (2 * x + 1) * kSourceWidth / (2 * kWidth);
    const int sy = (2 * y + 1) * kSourceHeight / (2 * kHeight);
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const std::size_t i = (static_cast<std::size_t>(std::clamp(sy + dy, 0, kSourceHeight - 1)) *
                                   kSourceWidth + std::clamp(sx + dx, 0, kSourceWidth - 1)) * 4;
        if (pixel[0] == (i * 7) % 251 && pixel[1] == (i * 7 + 7) % 251 &&
            pixel[2] == (i * 7 + 14) % 251)
          return true;
      }
    }
    return false;
  };
  int mismatches = -1;
  eventually(
      [&] {
        Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, *window, 0, 0, kWidth, kHeight, ~0u),
            nullptr));
        if (!image || xcb_get_image_data_length(image.get()) != kWidth * kHeight * 4) return false;
        const std::uint8_t* data = xcb_get_image_data(image.get());
        mismatches = 0;
        for (int y = 0; y < kHeight; ++y)
          for (int x = 0; x < kWidth; ++x)
            mismatches += !nearSource(data + (static_cast<std::size_t>(y) * kWidth + x) * 4, x, y);
        return mismatches == 0;
      },
      10s, 50ms);
  EXPECT_EQ(mismatches, 0) << "of " << kWidth * kHeight << " pixels";

  xcb_client_message_event_t close{};
  close.response_type = XCB_CLIENT_MESSAGE;
  close.format = 32;
  close.window = *window;
  close.type = atom(c, "WM_PROTOCOLS");
  close.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
  close.data.data32[1] = XCB_CURRENT_TIME;
  sendTo(c, *window, &close);
  expectBothEnd();
}

}  // namespace
}  // namespace fenwright::testing
