// fenwright-ctl: lists what the capture backend sees, so a user can pick a
// window or a display, and writes the sentinel that tells the helper which.
//
// Each subcommand is one add...Command() function: it declares its options
// and the function that runs it. main() only parses and reports the status.

#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/capture/screen_capture.h"
#include "platform/log/logger.h"
#include "platform/x11/x11_screen_capture.h"
#include "tools/ctl/sentinel_command.h"

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

// "31457284" or "0x1e00004". Our own parser: strtoul's base 0 would read a
// leading zero as octal.
std::optional<std::uint32_t> parseWindowID(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0)
    return std::nullopt;
  return value;
}

const CLI::Validator kWindowID(
    [](std::string& text) -> std::string {
      if (parseWindowID(text)) return {};
      return "not a window id: " + text + " (a decimal or 0x hex X window id, not 0)";
    },
    "XID", "WindowID");

// Writes the sentinel and shows what went where.
void commit(const fenwright::ctl::SentinelRequest& request, Outcome& outcome) {
  std::filesystem::path path;
  if (std::string failure = fenwright::ctl::writeSentinel(request, &path); !failure.empty()) {
    fail(failure);
    outcome.status = 1;
    return;
  }
  std::printf("%s\nwritten to %s\n", fenwright::ctl::sentinelJson(request).c_str(),
              path.c_str());
}

// fenwright-ctl window <id> | window --title <text>
void addWindowCommand(CLI::App& app, Outcome& outcome) {
  struct Options {
    std::string id;
    std::string title;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command =
      app.add_subcommand("window", "Follow one window, by id or by (part of) its title");
  auto* idOption = command->add_option("id", options->id, "X window id, decimal or 0x hex")
                       ->check(kWindowID);
  auto* titleOption =
      command
          ->add_option("--title", options->title,
                       "the first capturable window whose title contains this text "
                       "(case-sensitive)")
          ->check(CLI::Validator(
              [](std::string& text) {
                return text.empty() ? std::string("the title text is empty") : std::string();
              },
              "TEXT"));
  idOption->excludes(titleOption);
  command->callback([options, idOption, titleOption, &outcome] {
    fenwright::ctl::SentinelRequest request;
    request.source = "window";
    if (idOption->count() > 0) {
      // An id needs no X server: the helper checks it when it starts.
      request.windowID = parseWindowID(options->id);
      commit(request, outcome);
      return;
    }
    if (titleOption->count() == 0) throw CLI::ValidationError("window", "give an <id> or --title");
    auto capture = fenwright::makeX11ScreenCapture();
    auto content = queryContent(*capture, /*excludingDesktopWindows=*/true,
                                /*onScreenWindowsOnly=*/false);
    if (!content) {
      outcome.status = 1;
      return;
    }
    for (const auto& window : content->windows) {
      if (window.title && window.title->find(options->title) != std::string::npos) {
        request.windowID = window.windowID;
        request.windowTitle = window.title;
        commit(request, outcome);
        return;
      }
    }
    fail("no capturable window has a title containing \"" + options->title +
         "\" (see: fenwright-ctl windows)");
    outcome.status = 1;
  });
}

// fenwright-ctl region <x> <y> <w> <h> [--display <id>]
void addRegionCommand(CLI::App& app, Outcome& outcome) {
  struct Options {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    std::uint32_t display = 0;
  };
  constexpr std::int64_t kCoordinate = std::numeric_limits<std::int32_t>::max();
  auto options = std::make_shared<Options>();
  CLI::App* command =
      app.add_subcommand("region", "Follow a rectangle of a display (coordinates on that display)");
  command->add_option("x", options->x, "left edge")->required()->check(
      CLI::Range(-kCoordinate, kCoordinate));
  command->add_option("y", options->y, "top edge")->required()->check(
      CLI::Range(-kCoordinate, kCoordinate));
  command->add_option("w", options->width, "width in pixels")->required()->check(
      CLI::Range(std::int64_t{1}, kCoordinate));
  command->add_option("h", options->height, "height in pixels")->required()->check(
      CLI::Range(std::int64_t{1}, kCoordinate));
  auto* displayOption =
      command
          ->add_option("--display", options->display,
                       "RandR output id (see: fenwright-ctl displays; default: the main display)")
          ->check(CLI::Range(std::uint32_t{0}, std::numeric_limits<std::uint32_t>::max()));
  command->callback([options, displayOption, &outcome] {
    fenwright::ctl::SentinelRequest request;
    request.source = "region";
    request.regionX = options->x;
    request.regionY = options->y;
    request.regionWidth = options->width;
    request.regionHeight = options->height;
    if (displayOption->count() > 0) request.regionDisplayID = options->display;
    commit(request, outcome);
  });
}

// fenwright-ctl off
void addOffCommand(CLI::App& app, Outcome& outcome) {
  CLI::App* command = app.add_subcommand("off", "Switch capturing off; a running helper exits");
  command->callback([&outcome] {
    fenwright::ctl::SentinelRequest request;
    request.enabled = false;
    commit(request, outcome);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // The backend's progress lines are for the helper's log, not for a user
  // reading a list; its failures come back as the errors printed here.
  fenwright::log::helperLogger().set_level(spdlog::level::off);

  CLI::App app{"Lists what Fenwright can capture and picks what it follows."};
  app.require_subcommand(1);
  Outcome outcome;
  addWindowsCommand(app, outcome);
  addDisplaysCommand(app, outcome);
  addWindowCommand(app, outcome);
  addRegionCommand(app, outcome);
  addOffCommand(app, outcome);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Usage errors exit 2, as shells and scripts expect; --help exits 0.
    int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }
  return outcome.status;
}
