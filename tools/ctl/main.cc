// fenwright-ctl: lists what the capture backend sees, so a user can pick a
// window or a display for the sentinel.
//
// Each subcommand is one add...Command() function: it declares its options
// and the function that runs it. main() only parses and reports the status.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/capture/screen_capture.h"
#include "platform/log/logger.h"
#include "platform/x11/x11_screen_capture.h"

namespace {

using fenwright::CaptureResult;
using fenwright::ShareableContent;

constexpr auto kQueryTimeout = std::chrono::seconds(10);

// What the subcommand that ran reports as the exit status.
struct Outcome {
  int status = 0;
};

void fail(const std::string& message) {
  std::fprintf(stderr, "fenwright-ctl: %s\n", message.c_str());
}

std::optional<ShareableContent> queryContent(fenwright::ScreenCapture& capture,
                                             bool excludingDesktopWindows,
                                             bool onScreenWindowsOnly) {
  auto promise = std::make_shared<std::promise<CaptureResult<ShareableContent>>>();
  auto answer = promise->get_future();
  capture.getShareableContent(
      excludingDesktopWindows, onScreenWindowsOnly,
      [promise](CaptureResult<ShareableContent> result) { promise->set_value(std::move(result)); });
  if (answer.wait_for(kQueryTimeout) != std::future_status::ready) {
    fail("the X server did not answer");
    return std::nullopt;
  }
  auto result = answer.get();
  if (!result) {
    fail(result.error().localizedDescription);
    return std::nullopt;
  }
  return std::move(result.value());
}

// fenwright-ctl windows [--on-screen] [--no-desktop]
void addWindowsCommand(CLI::App& app, Outcome& outcome) {
  struct Options {
    bool onScreenOnly = false;
    bool excludeDesktop = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand(
      "windows", "List the windows that can be captured: id (decimal and hex), on screen, title");
  command->add_flag("--on-screen", options->onScreenOnly,
                    "Only windows on screen now (not minimised, hidden or on another desktop)");
  command->add_flag("--no-desktop", options->excludeDesktop, "Leave out desktop windows");
  command->callback([options, &outcome] {
    auto capture = fenwright::makeX11ScreenCapture();
    auto content = queryContent(*capture, options->excludeDesktop, options->onScreenOnly);
    if (!content) {
      outcome.status = 1;
      return;
    }
    std::printf("%-10s  %-10s  %-9s  %s\n", "ID", "XID", "ON-SCREEN", "TITLE");
    for (const auto& window : content->windows) {
      // One line per window, whatever a title holds.
      std::string title = window.title.value_or("<untitled>");
      for (char& c : title)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
      std::printf("%-10u  0x%08x  %-9s  %s\n", window.windowID, window.windowID,
                  window.isOnScreen ? "yes" : "no", title.c_str());
    }
  });
}

// fenwright-ctl displays
void addDisplaysCommand(CLI::App& app, Outcome& outcome) {
  CLI::App* command = app.add_subcommand(
      "displays", "List the displays (RandR monitors): id, geometry, the main one marked *");
  command->callback([&outcome] {
    auto capture = fenwright::makeX11ScreenCapture();
    auto content = queryContent(*capture, false, false);
    if (!content) {
      outcome.status = 1;
      return;
    }
    const std::uint32_t main = capture->mainDisplayID();
    std::printf("%-10s  %-20s  %s\n", "ID", "GEOMETRY", "MAIN");
    for (const auto& display : content->displays) {
      std::string geometry = std::to_string(display.width) + "x" + std::to_string(display.height) +
                             (display.x < 0 ? "" : "+") + std::to_string(display.x) +
                             (display.y < 0 ? "" : "+") + std::to_string(display.y);
      std::printf("%-10u  %-20s  %s\n", display.displayID, geometry.c_str(),
                  display.displayID == main ? "*" : "");
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  // The backend's progress lines are for the helper's log, not for a user
  // reading a list; its failures come back as the errors printed here.
  fenwright::log::helperLogger().set_level(spdlog::level::off);

  CLI::App app{"Lists what Fenwright can capture, for picking a window or a display."};
  app.require_subcommand(1);
  Outcome outcome;
  addWindowsCommand(app, outcome);
  addDisplaysCommand(app, outcome);
  CLI11_PARSE(app, argc, argv);
  return outcome.status;
}
