// fenwright-view: dials the helper, fetches its surface and shows it live in
// a small always-on-top window, or saves frames of it as PNG files. Everything
// happens over one connection: the helper exits when its client disconnects,
// so reconnecting would end it.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "scale/image_view.h"
#include "tools/view/viewer_window.h"
#include "tools/client/fenwright_client.h"
#include "tools/client/png_writer.h"

namespace {

using fenwright::client::FenwrightClient;
using fenwright::client::MappedSurface;

// "out.png" -> "out-3.png".
std::filesystem::path numbered(const std::filesystem::path& path, int index) {
  std::filesystem::path result = path.parent_path();
  result /= fmt::format("{}-{}{}", path.stem().string(), index, path.extension().string());
  return result;
}

int fail(const std::string& message) {
  std::cerr << "fenwright-view: " << message << '\n';
  return 1;
}

using Clock = std::chrono::steady_clock;

// Frames wake the loop at once; X events wait for its next turn, this long
// at most.
constexpr auto kEventTurn = std::chrono::milliseconds(20);
constexpr auto kTitleInterval = std::chrono::milliseconds(250);
constexpr auto kPausedAfter = std::chrono::seconds(1);

// When the last frames arrived, for a rate over the last second. Fixed
// size, far above the helper's 30 frames a second.
class FrameRate {
 public:
  void add(Clock::time_point at) {
    times_[next_] = at;
    next_ = (next_ + 1) % times_.size();
    count_ = std::min(count_ + 1, times_.size());
  }
  double perSecond(Clock::time_point now) const {
    std::size_t inWindow = 0;
    Clock::time_point oldest = now;
    Clock::time_point newest{};
    for (std::size_t i = 0; i < count_; ++i) {
      Clock::time_point t = times_[i];
      if (now - t > std::chrono::seconds(1)) continue;
      ++inWindow;
      oldest = std::min(oldest, t);
      newest = std::max(newest, t);
    }
    if (inWindow < 2) return static_cast<double>(inWindow);
    std::chrono::duration<double> span = newest - oldest;
    return span.count() > 0 ? static_cast<double>(inWindow - 1) / span.count() : 0.0;
  }

 private:
  std::array<Clock::time_point, 512> times_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

// Shows the surface until the user quits or `exitAfter` passes. Sleeps until
// a frame is finished and repaints only then (or when the window needs it).
int runLive(MappedSurface& surface, std::optional<double> exitAfter) {
  auto opened = fenwright::view::ViewerWindow::open(480, 270, "Fenwright");
  if (!opened) return fail(opened.error());
  fenwright::view::ViewerWindow& window = **opened;

  std::vector<std::uint8_t> frame(surface.allocationSize());
  const fenwright::ImageView image{static_cast<int>(surface.width()),
                                   static_cast<int>(surface.height()),
                                   static_cast<int>(surface.bytesPerRow()), frame.data()};
  std::optional<std::uint32_t> shownSeed;
  FrameRate rate;
  Clock::time_point lastFrameAt{};
  std::array<char, 96> title{};
  std::size_t titleLength = 0;

  const auto start = Clock::now();
  std::optional<Clock::time_point> deadline;
  if (exitAfter)
    deadline = start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(*exitAfter));
  auto nextTitleAt = start;

  for (;;) {
    auto events = window.processEvents();
    if (events.lost) return fail("the X connection was lost");
    if (events.mapped) std::cout << "window " << window.id() << std::endl;
    if (events.quit) return 0;
    const auto now = Clock::now();
    if (deadline && now >= *deadline) return 0;
    if (events.needsRepaint && shownSeed) window.present(image);

    if (now >= nextTitleAt) {
      nextTitleAt = now + kTitleInterval;
      const bool live = shownSeed && now - lastFrameAt <= kPausedAfter;
      std::array<char, 96> text{};
      auto written = fmt::format_to_n(text.data(), text.size(), "Fenwright \u2014 {:.1f} fps \u2014 {}",
                                      rate.perSecond(now), live ? "live" : "paused");
      const std::size_t length = std::min(written.size, text.size());
      if (length != titleLength || !std::equal(text.begin(), text.begin() + length, title.begin())) {
        title = text;
        titleLength = length;
        window.setTitle(std::string_view(title.data(), titleLength));
      }
    }

    auto wait = kEventTurn;
    if (deadline)
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(*deadline - now));
    if (!surface.waitForFrame(wait)) continue;
    // A frame finished meanwhile is copied instead; one never finishing
    // just skips a turn.
    if (auto copied = surface.copyFrame(frame); copied && *copied != shownSeed) {
      shownSeed = *copied;
      lastFrameAt = Clock::now();
      rate.add(lastFrameAt);
      window.present(image);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Shows the Fenwright surface live in a small always-on-top window (q or Escape quits), "
      "or saves frames of it as PNG files."};
  std::string snapshot;
  double exitAfter = 0;
  int count = 1;
  int intervalMs = 1000;
  std::string socketPath;
  auto* snapshotOption =
      app.add_option("--snapshot", snapshot, "PNG file for one tear-free frame (no window)");
  auto* countOption =
      app.add_option("--count", count, "take N frames, written as NAME-1.png ... NAME-N.png")
          ->check(CLI::Range(1, 1000000))
          ->needs(snapshotOption);
  app.add_option("--interval", intervalMs, "milliseconds between frames of a series")
      ->check(CLI::Range(0, 24 * 3600 * 1000))
      ->needs(countOption);
  auto* exitAfterOption =
      app.add_option("--exit-after", exitAfter, "close the window after this many seconds")
          ->check(CLI::PositiveNumber)
          ->excludes(snapshotOption);
  app.add_option("--socket", socketPath,
                 "the helper's socket (default: $XDG_RUNTIME_DIR/Q2WXR7TZ4M.com.quenfield.app.pipmode)");
  CLI11_PARSE(app, argc, argv);

  auto client = socketPath.empty() ? FenwrightClient::connect()
                                   : FenwrightClient::connect(std::filesystem::path(socketPath));
  if (!client) return fail(client.error());
  auto fetched = client->fetchSurface();
  if (!fetched) return fail(fetched.error());
  if (!*fetched) return fail("the helper has no surface yet (nil reply)");
  MappedSurface& surface = **fetched;
  if (snapshotOption->count() == 0)
    return runLive(surface, exitAfterOption->count() > 0 ? std::optional(exitAfter) : std::nullopt);

  std::vector<std::uint8_t> frame(surface.allocationSize());
  bool series = countOption->count() > 0;
  auto start = std::chrono::steady_clock::now();
  for (int index = 1; index <= count; ++index) {
    if (index > 1) std::this_thread::sleep_until(start + std::chrono::milliseconds(
                                                             std::int64_t{intervalMs} * (index - 1)));
    auto seed = surface.copyFrame(frame);
    if (!seed) return fail(seed.error());
    std::filesystem::path out = series ? numbered(snapshot, index) : std::filesystem::path(snapshot);
    auto written = fenwright::client::writePngFromBGRA(out, surface.width(), surface.height(),
                                                       surface.bytesPerRow(), frame);
    if (!written) return fail(written.error());
    std::cout << fmt::format("wrote {} ({}x{}, surface {}, frame seed {})", out.string(),
                             surface.width(), surface.height(), surface.id(), *seed)
              << std::endl;
  }
  return 0;
}
