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
#include "platform/wayland/portal_pick.h"
#include "platform/wayland/portal_session.h"
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

// Opens the portal's dialog and waits for the user's pick (up to five
// minutes). The session ends with this program; the pick's token lives on.
std::optional<std::unique_ptr<fenwright::wayland::PortalSession>> pickInPortal(
    fenwright::wayland::PortalSource source) {
  fenwright::wayland::PortalRequest request;
  request.source = source;
  request.timeout = std::chrono::minutes(5);
  std::fprintf(stderr, "fenwright-ctl: pick the %s in the dialog\n",
               source == fenwright::wayland::PortalSource::window ? "window" : "screen");
  auto session = fenwright::wayland::PortalSession::open(request);
  if (!session) {
    fail(session.error());
    return std::nullopt;
  }
  if (session.value()->restoreToken().empty()) {
    fail("the portal keeps no pick (no restore token): it cannot be opened again");
    return std::nullopt;
  }
  return std::move(session.value());
}

// fenwright-ctl window <id> | window --title <text> | window --pick
void addWindowCommand(CLI::App& app, Outcome& outcome) {
  struct Options {
    std::string id;
    std::string title;
    bool pick = false;
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
  auto* pickOption = command->add_flag(
      "--pick", options->pick, "Wayland: pick the window in the desktop portal's dialog");
  idOption->excludes(titleOption);
  pickOption->excludes(idOption)->excludes(titleOption);
  command->callback([options, idOption, titleOption, pickOption, &outcome] {
    fenwright::ctl::SentinelRequest request;
    request.source = "window";
    if (pickOption->count() > 0) {
      auto picked = pickInPortal(fenwright::wayland::PortalSource::window);
      if (!picked) {
        outcome.status = 1;
        return;
      }
      const std::string& token = (*picked)->restoreToken();
      request.windowID = fenwright::wayland::portalPickID(token);
      request.portalRestoreToken = token;
      commit(request, outcome);
      return;
    }
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

// fenwright-ctl region <x> <y> <w> <h> [--display <id>] | region --pick [<x> <y> <w> <h>]
void addRegionCommand(CLI::App& app, Outcome& outcome) {
  struct Options {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
    std::uint32_t display = 0;
    bool pick = false;
  };
  constexpr std::int64_t kCoordinate = std::numeric_limits<std::int32_t>::max();
  auto options = std::make_shared<Options>();
  CLI::App* command =
      app.add_subcommand("region", "Follow a rectangle of a display (coordinates on that display)");
  auto* xOption = command->add_option("x", options->x, "left edge")->check(
      CLI::Range(-kCoordinate, kCoordinate));
  auto* yOption = command->add_option("y", options->y, "top edge")->check(
      CLI::Range(-kCoordinate, kCoordinate));
  auto* wOption = command->add_option("w", options->width, "width in pixels")->check(
      CLI::Range(std::int64_t{1}, kCoordinate));
  auto* hOption = command->add_option("h", options->height, "height in pixels")->check(
      CLI::Range(std::int64_t{1}, kCoordinate));
  auto* displayOption =
      command
          ->add_option("--display", options->display,
                       "RandR output id (see: fenwright-ctl displays; default: the main display)")
          ->check(CLI::Range(std::uint32_t{0}, std::numeric_limits<std::uint32_t>::max()));
  auto* pickOption = command->add_flag(
      "--pick", options->pick,
      "Wayland: pick the screen in the desktop portal's dialog (all of it, or x y w h)");
  pickOption->excludes(displayOption);
  command->callback([options, displayOption, pickOption, xOption, yOption, wOption, hOption,
                     &outcome] {
    const std::size_t given =
        xOption->count() + yOption->count() + wOption->count() + hOption->count();
    const bool pick = pickOption->count() > 0;
    if (given != 4 && !(pick && given == 0))
      throw CLI::ValidationError("region", pick ? "give all of x y w h, or none"
                                                : "give x y w h (or --pick)");
    fenwright::ctl::SentinelRequest request;
    request.source = "region";
    request.regionX = options->x;
    request.regionY = options->y;
    request.regionWidth = options->width;
    request.regionHeight = options->height;
    if (displayOption->count() > 0) request.regionDisplayID = options->display;
    if (pick) {
      auto picked = pickInPortal(fenwright::wayland::PortalSource::monitor);
      if (!picked) {
        outcome.status = 1;
        return;
      }
      const std::string& token = (*picked)->restoreToken();
      request.regionDisplayID = fenwright::wayland::portalPickID(token);
      request.portalRestoreToken = token;
      if (given == 0) {
        if ((*picked)->width() < 1 || (*picked)->height() < 1) {
          fail("the portal did not say the screen's size: give x y w h");
          outcome.status = 1;
          return;
        }
        request.regionX = request.regionY = 0;
        request.regionWidth = (*picked)->width();
        request.regionHeight = (*picked)->height();
      }
    }
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
