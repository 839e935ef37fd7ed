// What the backend lists, on the shared server (no window manager there):
// the root's mapped children and the windows WM_STATE marks. Other tests'
// windows may be listed too; the test looks at its own.

#include <gtest/gtest.h>

#include "capture_session.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

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
  auto entry = [&](const TestWindowProcess& window, bool excludingDesktop = false,
                   bool onScreenOnly = false) -> std::optional<CaptureWindow> {
    auto content = queryContent(*capture, excludingDesktop, onScreenOnly);
    EXPECT_TRUE(content) << content.error().localizedDescription;
    for (const auto& w : content ? content.value().windows : std::vector<CaptureWindow>{})
      if (w.windowID == window.id()) return w;
    return std::nullopt;
  };
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

}  // namespace
}  // namespace fenwright::testing
