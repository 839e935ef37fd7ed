// The command-line tools run as real binaries. fenwright-view against a
// listener in this process serving a pattern surface: the snapshot it
// writes, and its live window, kept above, titled with the frame rate and
// showing the surface; every way of quitting closes the connection, as the
// extension going away does. fenwright-ctl's sentinel subcommands against
// a private data home; what they write is read back with the helper's
// parser.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spng.h>
#include <xcb/xcb.h>

#include "config/pip_sentinel_reader.h"
#include "platform/c_deleter.h"
#include "support/capture_fixtures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
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

template <class T>
using Reply = fenwright::MallocPtr<T>;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

class ViewTest : public ListenerTest {
 protected:
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
  const std::string socket = runtime_.socketPath(), png = out_.path() / "out.png";
  ASSERT_EQ(runProgram({kView, "--socket", socket, "--snapshot", png}), 0);
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

  const std::string x = out_.path() / "x.png";
  EXPECT_EQ(runProgram({kView, "--socket", out_.path() / "none", "--snapshot", x}), 1);
  service_->nil = true;
  EXPECT_EQ(runProgram({kView, "--socket", socket, "--snapshot", x}), 1);
  EXPECT_NE(runProgram({kView, "--snapshot", x, "--interval", "5"}), 0);
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

struct CtlRun {
  int status = -1;
  std::string out, err;
};

class CtlTest : public ::testing::Test {
 protected:
  // `display`: DISPLAY for the run; none means a display that cannot exist,
  // so anything that touches X fails.
  CtlRun ctl(std::vector<std::string> arguments, std::optional<std::string> display = std::nullopt) {
    ChildProcess::Options options;
    options.argv = {FENWRIGHT_CTL};
    for (auto& argument : arguments) options.argv.push_back(std::move(argument));
    options.environment = {{"XDG_DATA_HOME", home_.dataHome().string()},
                           {"DISPLAY", display.value_or(":65000")}};
    options.stdoutFile = output_.path() / "out";
    options.stderrFile = output_.path() / "err";
    auto child = ChildProcess::spawn(options);
    CtlRun run;
    if (!child) return run;
    run.status = child->waitFor(std::chrono::seconds(20)).value_or(-1);
    run.out = readFile(output_.path() / "out");
    run.err = readFile(output_.path() / "err");
    return run;
  }

  std::filesystem::path sentinel() const { return home_.sentinelPath(); }
  PiPSentinelConfig written() const { return parsePiPSentinel(readFile(sentinel())); }

  SentinelHome home_;
  TempDir output_;
};

// Ids and regions need no X server. Each run writes the whole file (the
// first creates its directory) and shows what it wrote and where.
TEST_F(CtlTest, EachRequestWritesTheWholeFile) {
  const std::pair<std::vector<std::string>, PiPSentinelConfig> cases[] = {
      {{"window", "31457284"}, windowConfig(31457284u)},
      {{"window", "0x1e00004"}, windowConfig(0x1e00004u)},
      {{"window", "0XFFFFFFFF"}, windowConfig(0xFFFFFFFFu)},
      {{"region", "-10", "20", "800", "600", "--display", "66"},
       regionConfig(-10, 20, 800, 600, 66)},
      {{"region", "-10", "20", "800", "600"}, regionConfig(-10, 20, 800, 600, 0)},
      {{"off"}, PiPSentinelConfig{}},
  };
  std::filesystem::remove(sentinel().parent_path());
  for (const auto& [arguments, expected] : cases) {
    CtlRun run = ctl(arguments);
    SCOPED_TRACE(arguments[0] + " " + arguments.back());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(written(), expected);
    EXPECT_NE(run.out.find(readFile(sentinel())), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(sentinel().string()), std::string::npos) << run.out;
  }
  EXPECT_NE(readFile(sentinel()).find("\"enabled\":false"), std::string::npos);
}

TEST_F(CtlTest, BadArgumentsExitTwoAndLeaveTheFileAlone) {
  const std::string existing = R"({"enabled":true,"window_id":7})";
  ASSERT_EQ(home_.write(existing), "");  // failing runs must leave it as it is
  const std::vector<std::vector<std::string>> bad = {
      {"window", "abc"}, {"window", "12abc"}, {"window", "0x"}, {"window", "0"},
      {"window", "-5"}, {"window", "0x100000000"}, {"window"}, {"window", "5", "--title", "x"},
      {"region", "0", "0", "-800", "600"}, {"region", "0", "0", "800", "0"},
      {"region", "0", "0", "800"}, {"region", "a", "0", "800", "600"},
      {"region", "0", "0", "800", "600", "--display", "-1"}, {"off", "now"}, {},
  };
  for (const auto& arguments : bad) {
    const std::string shown = arguments.empty() ? "" : arguments[0] + " " + arguments.back();
    CtlRun run = ctl(arguments);
    EXPECT_EQ(run.status, 2) << shown << run.err;
    EXPECT_FALSE(run.err.empty()) << shown;
    EXPECT_EQ(readFile(sentinel()), existing) << shown;
  }
}

// The first capturable window whose title contains the text; none, or no X
// server, is an error (1), not a usage error, and writes nothing.
TEST_F(CtlTest, WindowByTitlePicksTheMatchingWindowOrWritesNothing) {
  const std::string display = sharedDisplay();
  const std::string existing = R"({"enabled":false})";
  ASSERT_EQ(home_.write(existing), "");  // failing runs must leave it as it is
  CtlRun missing = ctl(
      {"window", "--title", "no window is called this " + std::to_string(::getpid())}, display);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no capturable window"), std::string::npos) << missing.err;
  EXPECT_EQ(ctl({"window", "--title", "x"}).status, 1);
  EXPECT_EQ(readFile(sentinel()), existing);

  const std::string title = "ctl title test " + std::to_string(::getpid()) + " \xC3\xA9t\xC3\xA9";
  auto window = TestWindowProcess::start(display, {"--title", title, "--size", "64x48"});
  ASSERT_TRUE(window);
  CtlRun run = ctl({"window", "--title", "title test " + std::to_string(::getpid())}, display);
  ASSERT_EQ(run.status, 0) << run.err;
  auto config = written();
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.source, "window");
  EXPECT_EQ(config.windowID, std::optional<std::uint32_t>(window->id()));
  EXPECT_EQ(config.windowTitle, std::optional<std::string>(title));
}

}  // namespace
}  // namespace fenwright::testing
