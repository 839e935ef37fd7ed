// fenwright-view against a listener in this process serving a pattern
// surface: the snapshot it writes, and its live window, kept above, titled
// with the frame rate and showing the surface; every way of quitting
// closes the connection, as the extension going away does.

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spng.h>
#include <xcb/xcb.h>

#include "platform/c_deleter.h"
#include "tests/ipc/ipc_test_support.h"
#include "tools/client/png_writer.h"
#include "x11/x_server.h"

namespace fenwright::testing {
namespace {

constexpr const char* kView = FENWRIGHT_VIEW;

// The PNG at `path` as RGBA, and its header; nothing unless 8-bit RGBA.
std::vector<std::uint8_t> readPng(const std::filesystem::path& path, spng_ihdr& header) {
  const std::string bytes = readFile(path);
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), &spng_ctx_free);
  std::size_t size = 0;
  if (bytes.empty() || spng_set_png_buffer(context.get(), bytes.data(), bytes.size()) != 0 ||
      spng_get_ihdr(context.get(), &header) != 0 || header.bit_depth != 8 ||
      header.color_type != SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0)
    return {};
  std::vector<std::uint8_t> rgba(size);
  if (spng_decode_image(context.get(), rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) return {};
  return rgba;
}

int run(const std::string& arguments) {
  int status = std::system((std::string(kView) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class T>
using Reply = fenwright::MallocPtr<T>;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

class ViewTest : public ListenerTest {
 protected:
  std::string socket() const { return "--socket " + runtime_.socketPath().string(); }

  // The viewer on `display_`, up to its "window <id>" line. Cases that quit
  // it pass a time past the suite's timeout, so a missed quit fails.
  std::optional<xcb_window_t> startView(double exitAfter) {
    view_ = TestWindowProcess::start(display_, {"--exit-after", std::to_string(exitAfter)}, kView);
    return view_ ? std::optional<xcb_window_t>(view_->id()) : std::nullopt;
  }

  // The viewer exits (0 unless killed), its connection gone.
  void expectItEnds(bool killed = false) {
    EXPECT_TRUE(view_->process().wait() == 0 || killed);
    EXPECT_TRUE(service_->waitForInvalidations(++ended_));
  }

  TempDir out_;
  std::string display_ = sharedDisplay();
  std::unique_ptr<TestWindowProcess> view_;
  int ended_ = 0;
};

// Exactly the surface, in RGBA, and it goes away afterwards as the
// extension does. (A series of them: the headless demo, tests/scripts.)
// No helper, no surface, bad arguments, pixels that do not fit or nowhere
// to write: an error, and no file left behind.
TEST_F(ViewTest, SnapshotIsTheSurfaceAsAPngOrAnErrorLeavingNothingBehind) {
  auto png = out_.path() / "out.png";
  ASSERT_EQ(run(socket() + " --snapshot " + png.string()), 0);
  spng_ihdr header{};
  auto rgba = readPng(png, header);
  EXPECT_EQ(header.width, 640u);
  EXPECT_EQ(header.height, 360u);
  ASSERT_EQ(rgba.size(), surface_.allocationSize());
  int off = 0;  // red and blue trade places
  for (std::size_t i = 0; i < rgba.size(); ++i)
    off += rgba[i] != surface_.baseAddress()[i % 2 ? i : i ^ 2];
  EXPECT_EQ(off, 0);
  EXPECT_TRUE(service_->waitForInvalidations(1));
  EXPECT_EQ(service_->fetches, 1);
  std::filesystem::remove(png);

  const std::string snapshot = " --snapshot " + (out_.path() / "x.png").string();
  EXPECT_EQ(run("--socket " + (out_.path() / "none").string() + snapshot), 1);
  service_->nil = true;
  EXPECT_EQ(run(socket() + snapshot), 1);
  EXPECT_NE(run(snapshot + " --interval 5"), 0);
  std::vector<std::uint8_t> tooFew(10), enough(32);
  EXPECT_FALSE(client::writePngFromBGRA(out_.path() / "x.png", 3, 2, 16, tooFew));
  EXPECT_FALSE(client::writePngFromBGRA(out_.path() / "missing" / "x.png", 3, 2, 16, enough));
  EXPECT_TRUE(std::filesystem::is_empty(out_.path()));
}

// After its time, on q, or killed: the viewer hangs up.
TEST_F(ViewTest, ExitAfterQOrASignalEndsTheViewerAndItsConnection) {
  ASSERT_TRUE(startView(1));
  expectItEnds();
  auto window = startView(600);
  ASSERT_TRUE(window);
  // Focused first: a key sent to an unfocused window goes through the focus
  // xdotool reads, which another test's window may have left to PointerRoot.
  EXPECT_EQ(runOnDisplay(display_, {"xdotool", "windowfocus", "--sync", std::to_string(*window),
                                    "key", "q"}),
            0);
  expectItEnds();
  ASSERT_TRUE(startView(600));
  view_->process().signal(SIGTERM);
  expectItEnds(true);
}

// What the screen shows: the surface scaled into the 480x270
// window. Every pixel must be one of the source pixels nearest its
// position (the pattern's neighbours all differ), in B, G, R order.
TEST_F(ViewTest, WindowIsAboveTitledShowsTheSurfaceScaledAndClosesOnDelete) {
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
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const std::size_t i = (static_cast<std::size_t>(std::clamp(sy + dy, 0, kSourceHeight - 1)) *
                                   kSourceWidth + std::clamp(sx + dx, 0, kSourceWidth - 1)) * 4;
        if (pixel[0] == (i * 7) % 251 && pixel[1] == (i * 7 + 7) % 251 &&
            pixel[2] == (i * 7 + 14) % 251)
          return true;
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
  xcb_send_event(c, 0, *window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&close));
  xcb_flush(c);
  expectItEnds();
}

}  // namespace
}  // namespace fenwright::testing
