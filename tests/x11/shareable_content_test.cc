// What the backend lists, on the shared server (no window manager there):
// the root's mapped children and the windows WM_STATE marks. Other tests'
// windows may be listed too; each test looks at its own.

#include <gtest/gtest.h>

#include "capture_helpers.h"
#include "platform/x11/x11_screen_capture.h"
#include "test_window_process.h"
#include "x_server.h"

namespace fenwright::testing {
namespace {

class ShareableContentTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScreenCapture> capture = makeX11ScreenCapture(sharedDisplay());
};

TEST_F(ShareableContentTest, ListsAWindowWithItsIdAndUtf8Title) {
  auto window = TestWindowProcess::start(
      sharedDisplay(), {"--title", "Fenwright ✓ ünïcode", "--wm-name", "legacy name"});
  ASSERT_TRUE(window);
  auto content = queryContent(*capture);
  ASSERT_TRUE(content) << content.error().localizedDescription;
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  ASSERT_TRUE(listed->title.has_value());
  EXPECT_EQ(*listed->title, "Fenwright ✓ ünïcode");  // _NET_WM_NAME wins over WM_NAME
  EXPECT_TRUE(listed->isOnScreen);

  auto onScreen = queryContent(*capture, false, true);
  ASSERT_TRUE(onScreen);
  EXPECT_NE(findWindow(onScreen.value(), window->id()), nullptr);
}

TEST_F(ShareableContentTest, FallsBackToLatin1WmName) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--wm-name", "café"});
  ASSERT_TRUE(window);
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->title, std::optional<std::string>("café"));
}

TEST_F(ShareableContentTest, UntitledWindowHasNoTitle) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  EXPECT_FALSE(listed->title.has_value());
}

TEST_F(ShareableContentTest, TitleChangesShowAtTheNextQuery) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--title", "before"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->command("title after it changed"));
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->title, std::optional<std::string>("after it changed"));
}

TEST_F(ShareableContentTest, HiddenWindowIsListedButNotOnScreen) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--title", "hidden one"});
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->command("hidden"));
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  EXPECT_FALSE(listed->isOnScreen);

  auto onScreen = queryContent(*capture, false, true);
  ASSERT_TRUE(onScreen);
  EXPECT_EQ(findWindow(onScreen.value(), window->id()), nullptr);
  for (const auto& w : onScreen.value().windows) EXPECT_TRUE(w.isOnScreen);
}

// An unmapped window is listed when WM_STATE marks it (minimised, here with
// no manager to do it), beside the mapped windows that carry none.
TEST_F(ShareableContentTest, AnUnmappedWindowIsListedOffScreenOnlyWithWmState) {
  auto shown = TestWindowProcess::start(sharedDisplay());
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(shown && window);
  ASSERT_TRUE(window->command("unmap"));
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  EXPECT_EQ(findWindow(content.value(), window->id()), nullptr);

  ASSERT_EQ(runOnDisplay(sharedDisplay(), {"xprop", "-id", std::to_string(window->id()), "-f",
                                           "WM_STATE", "32c", "-set", "WM_STATE", "3,0"}),
            0);
  content = queryContent(*capture);
  ASSERT_TRUE(content);
  const CaptureWindow* listed = findWindow(content.value(), window->id());
  ASSERT_NE(listed, nullptr);
  EXPECT_FALSE(listed->isOnScreen);
  EXPECT_NE(findWindow(content.value(), shown->id()), nullptr);
}

TEST_F(ShareableContentTest, DesktopWindowsAreExcludedOnlyWhenAsked) {
  auto window = TestWindowProcess::start(sharedDisplay(), {"--desktop-type"});
  ASSERT_TRUE(window);
  auto all = queryContent(*capture, false, false);
  ASSERT_TRUE(all);
  EXPECT_NE(findWindow(all.value(), window->id()), nullptr);
  auto withoutDesktop = queryContent(*capture, true, false);
  ASSERT_TRUE(withoutDesktop);
  EXPECT_EQ(findWindow(withoutDesktop.value(), window->id()), nullptr);
}

TEST_F(ShareableContentTest, DestroyedWindowIsGone) {
  auto window = TestWindowProcess::start(sharedDisplay());
  ASSERT_TRUE(window);
  auto before = queryContent(*capture);
  ASSERT_TRUE(before);
  ASSERT_NE(findWindow(before.value(), window->id()), nullptr);
  ASSERT_TRUE(window->command("destroy"));
  auto after = queryContent(*capture);
  ASSERT_TRUE(after);
  EXPECT_EQ(findWindow(after.value(), window->id()), nullptr);
}

TEST_F(ShareableContentTest, ListsTheScreenAsADisplayAndNamesTheMainOne) {
  auto content = queryContent(*capture);
  ASSERT_TRUE(content);
  ASSERT_FALSE(content.value().displays.empty());
  std::uint32_t main = capture->mainDisplayID();
  bool found = false;
  for (const auto& display : content.value().displays) {
    EXPECT_NE(display.displayID, 0u);
    EXPECT_GT(display.width, 0);
    EXPECT_GT(display.height, 0);
    found = found || display.displayID == main;
  }
  EXPECT_TRUE(found) << "main display " << main << " not listed";
}

TEST(ShareableContentWithoutServer, QueriesFailWithAClearError) {
  auto capture = makeX11ScreenCapture(":4711");
  auto content = queryContent(*capture);
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().localizedDescription, "cannot connect to the X server at \":4711\"");
  EXPECT_EQ(capture->mainDisplayID(), 0u);
}

TEST(ShareableContentWithoutServer, StreamsFailToStartWithAClearError) {
  auto capture = makeX11ScreenCapture(":4711");
  auto stream = capture->makeStream(ContentFilter::desktopIndependentWindow(windowWithId(42)),
                                    serviceConfiguration(), {});
  auto started = startStream(*stream);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().localizedDescription, "cannot connect to the X server at \":4711\"");
  EXPECT_TRUE(stopStream(*stream));
}

TEST(ShareableContentWithoutServer, AMalformedDisplayNameIsReported) {
  auto capture = makeX11ScreenCapture("not a display");
  auto content = queryContent(*capture);
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().localizedDescription,
            "the X display name \"not a display\" is not valid");
}

}  // namespace
}  // namespace fenwright::testing
