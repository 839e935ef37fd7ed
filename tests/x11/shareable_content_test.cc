// What the backend lists, on the shared server (no window manager there):
// the root's mapped children and the windows WM_STATE marks. Other tests'
// windows may be listed too; each test looks at its own.

#include <gtest/gtest.h>

#include "capture_session.h"
#include "platform/x11/x11_screen_capture.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

class ShareableContentTest : public ::testing::Test {
 protected:
  // The window's entry in a fresh answer, or nothing when not listed.
  std::optional<CaptureWindow> entry(std::uint32_t id, bool excludingDesktopWindows = false,
                                     bool onScreenWindowsOnly = false) {
    auto content = queryContent(*capture, excludingDesktopWindows, onScreenWindowsOnly);
    EXPECT_TRUE(content) << content.error().localizedDescription;
    if (!content) return std::nullopt;
    for (const auto& w : content.value().windows) EXPECT_TRUE(w.isOnScreen || !onScreenWindowsOnly);
    const CaptureWindow* window = findWindow(content.value(), id);
    return window ? std::optional<CaptureWindow>(*window) : std::nullopt;
  }

  std::shared_ptr<ScreenCapture> capture = makeX11ScreenCapture(sharedDisplay());
};

// _NET_WM_NAME (UTF-8) wins over WM_NAME (Latin-1), read afresh each time.
TEST_F(ShareableContentTest, TitlesAreUtf8FromEitherPropertyAndCurrent) {
  auto both = TestWindowProcess::start(
      sharedDisplay(), {"--title", "Fenwright ✓ ünïcode", "--wm-name", "legacy name"});
  auto legacy = TestWindowProcess::start(sharedDisplay(), {"--wm-name", "caf\xE9"});
  auto untitled = TestWindowProcess::start(sharedDisplay());
  auto renamed = TestWindowProcess::start(sharedDisplay(), {"--title", "before"});
  ASSERT_TRUE(both && legacy && untitled && renamed);
  ASSERT_TRUE(renamed->command("title after it changed"));

  // Listed among on-screen windows only, where every entry is on screen.
  EXPECT_TRUE(entry(both->id(), false, true));
  for (auto [window, title] : {std::pair{both.get(), std::optional<std::string>("Fenwright ✓ ünïcode")},
                               std::pair{legacy.get(), std::optional<std::string>("café")},
                               std::pair{untitled.get(), std::optional<std::string>()},
                               std::pair{renamed.get(), std::optional<std::string>("after it changed")}}) {
    auto listed = entry(window->id());
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->title, title);
  }
}

// Hidden: listed, not on screen. Unmapped: listed (off screen) only while
// WM_STATE marks it, as a manager does for a minimised window. Desktop
// windows: left out on request. Destroyed: gone.
TEST_F(ShareableContentTest, WhatIsListedAndWhatCountsAsOnScreen) {
  auto hidden = TestWindowProcess::start(sharedDisplay(), {"--title", "hidden one"});
  auto unmapped = TestWindowProcess::start(sharedDisplay());
  auto desktop = TestWindowProcess::start(sharedDisplay(), {"--desktop-type"});
  auto destroyed = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(hidden && unmapped && desktop && destroyed);
  ASSERT_TRUE(entry(destroyed->id()));
  ASSERT_TRUE(hidden->command("hidden"));
  ASSERT_TRUE(unmapped->command("unmap"));
  ASSERT_TRUE(destroyed->command("destroy"));

  ASSERT_TRUE(entry(hidden->id()));
  EXPECT_FALSE(entry(hidden->id())->isOnScreen);
  EXPECT_FALSE(entry(hidden->id(), false, true));
  EXPECT_FALSE(entry(unmapped->id()));
  EXPECT_TRUE(entry(desktop->id()));
  EXPECT_FALSE(entry(desktop->id(), true, false));
  EXPECT_FALSE(entry(destroyed->id()));

  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xprop", "-id", std::to_string(unmapped->id()), "-f",
                                           "WM_STATE", "32c", "-set", "WM_STATE", "3,0"}),
            0);
  auto marked = entry(unmapped->id());
  ASSERT_TRUE(marked);
  EXPECT_FALSE(marked->isOnScreen);
}

TEST(ShareableContentWithoutServer, QueriesAndStreamsFailWithAClearError) {
  auto capture = makeX11ScreenCapture(":4711");
  auto content = queryContent(*capture);
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().localizedDescription, "cannot connect to the X server at \":4711\"");
  EXPECT_EQ(capture->mainDisplayID(), 0u);
  auto stream = capture->makeStream(windowFilter(42),
                                    serviceConfiguration(), {});
  auto started = startStream(*stream);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().localizedDescription, "cannot connect to the X server at \":4711\"");
  EXPECT_TRUE(stopStream(*stream));

  auto malformed = queryContent(*makeX11ScreenCapture("not a display"));
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error().localizedDescription,
            "the X display name \"not a display\" is not valid");
}

}  // namespace
}  // namespace fenwright::testing
