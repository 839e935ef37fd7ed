// What the backend lists: on the shared server (no window manager there)
// the root's mapped children and the windows WM_STATE marks, and with a
// window manager the clients it manages; titles as valid UTF-8. Other
// tests' windows may be listed too; each test looks at its own.

#include <chrono>

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_text.h"
#include "support/eventually.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

using namespace std::chrono_literals;

// The backend's entry for `window`, if it lists it.
std::optional<CaptureWindow> listed(ScreenCapture& capture, const TestWindowProcess& window,
                                    bool excludingDesktop = false, bool onScreenOnly = false) {
  auto content = queryContent(capture, excludingDesktop, onScreenOnly);
  EXPECT_TRUE(content) << content.error().localizedDescription;
  for (const auto& w : content ? content.value().windows : std::vector<CaptureWindow>{})
    if (w.windowID == window.id()) return w;
  return std::nullopt;
}

// _NET_WM_NAME (UTF-8) wins over WM_NAME (Latin-1), read afresh each time.
// Hidden: listed, not on screen. Unmapped: listed (off screen) only while
// WM_STATE marks it, as a manager does for a minimised window. Desktop
// windows: left out on request. Destroyed: gone.
TEST(ShareableContent, TitlesAreCurrentUtf8AndOnlyLiveWindowsAreListed) {
  const std::string& display = sharedDisplay();
  auto both = TestWindowProcess::start(display, {"--title", "Fenwright ✓ ünï", "--wm-name", "old"});
  auto legacy = TestWindowProcess::start(display, {"--wm-name", "caf\xE9"});
  auto renamed = TestWindowProcess::start(display, {"--title", "before"});
  auto hidden = TestWindowProcess::start(display);
  auto unmapped = TestWindowProcess::start(display);
  auto desktop = TestWindowProcess::start(display, {"--desktop-type"});
  auto destroyed = TestWindowProcess::start(display);
  ASSERT_TRUE(both && legacy && renamed && hidden && unmapped && desktop && destroyed);
  ASSERT_TRUE(renamed->command("title after it changed"));
  ASSERT_TRUE(hidden->command("hidden"));
  ASSERT_TRUE(unmapped->command("unmap"));
  ASSERT_TRUE(destroyed->command("destroy"));

  auto capture = makeX11ScreenCapture(display);
  auto entry = [&](auto&&... arguments) { return listed(*capture, arguments...); };
  const std::pair<TestWindowProcess*, std::optional<std::string>> titled[] = {
      {both.get(), "Fenwright ✓ ünï"},
      {legacy.get(), "café"},
      {renamed.get(), "after it changed"},
      {hidden.get(), std::nullopt}};
  for (const auto& [window, title] : titled) {
    auto listed = entry(*window);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->title, title);
    EXPECT_EQ(listed->isOnScreen, window != hidden.get());
    EXPECT_EQ(entry(*window, false, true).has_value(), window != hidden.get());
  }
  EXPECT_FALSE(entry(*unmapped));
  EXPECT_TRUE(entry(*desktop));
  EXPECT_FALSE(entry(*desktop, true));
  EXPECT_FALSE(entry(*destroyed));

  ASSERT_EQ(runOnDisplay(display, {"xprop", "-id", std::to_string(unmapped->id()), "-f",
                                   "WM_STATE", "32c", "-set", "WM_STATE", "3,0"}),
            0);
  auto marked = entry(*unmapped);
  ASSERT_TRUE(marked);
  EXPECT_FALSE(marked->isOnScreen);
}

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

// Titles become valid UTF-8; ids show as eight hex digits.
TEST(X11Text, TitlesBecomeValidUtf8AndIdsEightHexDigits) {
  using namespace x11;
  EXPECT_EQ(latin1ToUtf8("caf\xE9 \xBD"), "café ½");
  EXPECT_EQ(sanitizeUtf8("Fenwright ✓ ünï 𝄞"), "Fenwright ✓ ünï 𝄞");
  EXPECT_EQ(sanitizeUtf8("a\xFF" "b"), "a" + kBad + "b");
  // Cut in the middle of a three-byte sequence (a title cut at its limit).
  EXPECT_EQ(sanitizeUtf8("x\xE2\x9C"), "x" + kBad + kBad);
  // Overlong slash and a UTF-16 surrogate.
  EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), kBad + kBad);
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), kBad + kBad + kBad);
  // Other encodings keep their ASCII.
  EXPECT_EQ(asciiOnly("ab\x1B$B\x80"), "ab\x1B$B" + kBad);
  EXPECT_EQ(hexId(0xC00003), "0x00c00003");
  EXPECT_EQ(hexId(0xFFFFFFFF), "0xffffffff");
}

// With a window manager (openbox on a private server), which reparents
// what it manages and acts on its own time: listed while managed, off
// screen while minimised or on another desktop, gone once destroyed; its
// stream pauses while minimised and shows the new look once it is back.
TEST(WindowManager, AManagedWindowIsListedStreamedAndPausedWhileMinimised) {
  auto server = XServer::start("1280x720");
  ASSERT_TRUE(server && server->startWindowManager());
  auto capture = makeX11ScreenCapture(server->display());
  auto window = TestWindowProcess::start(server->display(), {"--title", "managed ✓"});
  ASSERT_TRUE(window);
  // Absent: null; else whether it is on screen (and its title), once the
  // manager has acted.
  std::optional<CaptureWindow> entry;
  auto shows = [&](std::optional<bool> onScreen) {
    return eventually(
        [&] {
          entry = listed(*capture, *window);
          return onScreen ? entry && entry->isOnScreen == *onScreen : !entry;
        },
        10s, 50ms);
  };
  ASSERT_TRUE(shows(true));
  EXPECT_EQ(entry->title, std::optional<std::string>("managed ✓"));
  CaptureSession session(server->display());
  ASSERT_TRUE(session.startWindow(window->id()));
  auto first = session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.at(160, 90) == opaque(0xD02020); });
  ASSERT_TRUE(first);

  ASSERT_TRUE(window->command("iconify"));
  EXPECT_TRUE(shows(false));
  ASSERT_TRUE(window->command("fill 00FF00"));
  ASSERT_TRUE(window->command("map"));
  EXPECT_TRUE(shows(true));
  EXPECT_TRUE(session.recorder().waitForFrame(
      [](const RecordedFrame& f) { return f.centre() == opaque(0x00FF00); }, first->sequence));
  EXPECT_TRUE(session.recorder().stopErrors().empty());

  ASSERT_TRUE(window->command("desktop 1"));
  EXPECT_TRUE(shows(false));
  session.dropStream();
  ASSERT_TRUE(window->command("destroy"));
  EXPECT_TRUE(shows(std::nullopt));
}

}  // namespace
}  // namespace fenwright::testing
