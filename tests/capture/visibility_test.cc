#include <gtest/gtest.h>

#include "capture/visibility.h"
#include "capture/window_lookup.h"
#include "support/capture_fixtures.h"

namespace fenwright {
namespace {

const std::vector<CaptureWindow> kWindows = sampleContent().windows;

TEST(WindowLookup, FindsTheFirstListedWindowWithTheId) {
  EXPECT_EQ(findWindow(kWindows, 42), &kWindows[0]);
  EXPECT_EQ(findWindow(kWindows, 44), &kWindows[2]);
  EXPECT_EQ(findWindow(kWindows, 7), nullptr);
  EXPECT_EQ(findWindow({}, 42), nullptr);
}

TEST(Visibility, OnlyAListedOnScreenWindowIsVisible) {
  EXPECT_TRUE(isWindowVisible(kWindows, 42));
  EXPECT_FALSE(isWindowVisible(kWindows, 44));
  EXPECT_FALSE(isWindowVisible(kWindows, 77));
}

TEST(Visibility, PausedChangesOnlyOnATransition) {
  EXPECT_EQ(pauseChange(false, false), PauseChange::pause);
  EXPECT_EQ(pauseChange(false, true), PauseChange::none);
  EXPECT_EQ(pauseChange(true, true), PauseChange::resume);
  EXPECT_EQ(pauseChange(true, false), PauseChange::none);
}

}  // namespace
}  // namespace fenwright
