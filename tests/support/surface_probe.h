#pragma once

// What a client sees of a surface, the running helper's or one made in
// process: frames copied out of it, checked at chosen points.

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/pixel_format.h"
#include "platform/shared_surface.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "tools/client/fenwright_client.h"
#include "tools/client/mapped_surface.h"

namespace fenwright::testing {

struct Bgra {
  int b = 0, g = 0, r = 0, a = 0;
  std::string text() const { return fmt::format("#{:02x}{:02x}{:02x}/a{}", r, g, b, a); }
};

// One whole frame, copied tear-free.
struct Frame {
  std::vector<std::uint8_t> bytes;
  int width = 0, height = 0, bytesPerRow = 0;
  std::uint32_t seed = 0;

  Bgra at(int x, int y) const {
    const std::uint8_t* p = bytes.data() + static_cast<std::size_t>(y) * bytesPerRow + x * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  // Opaque and within `tolerance` per channel of 0xRRGGBB.
  bool near(int x, int y, std::uint32_t rgb, int tolerance = 4) const {
    Bgra p = at(x, y);
    return p.a == 255 && std::max({std::abs(p.r - int(rgb >> 16 & 0xFF)),
                                   std::abs(p.g - int(rgb >> 8 & 0xFF)),
                                   std::abs(p.b - int(rgb & 0xFF))}) <= tolerance;
  }
  bool samePixels(const Frame& other) const { return bytes == other.bytes; }
};

// The surface as a client maps it: its own read-only mappings of the two
// memfds, checked the way the client library checks a reply.
inline client::MappedSurface mapAsClient(const SharedSurface& surface) {
  auto mapped = client::MappedSurface::map(
      {surface.id(), surface.width(), surface.height(), surface.bytesPerRow(),
       surface.allocationSize(), kPixelFormatBGRA, SharedSurface::kControlSize},
      std::move(*surface.openPixelsReadOnly()), std::move(*surface.openControlReadOnly()));
  if (!mapped) throw std::runtime_error(mapped.error());
  return std::move(*mapped);
}

inline std::optional<Frame> copyFrame(const client::MappedSurface& surface) {
  Frame frame{std::vector<std::uint8_t>(surface.allocationSize()),
              static_cast<int>(surface.width()), static_cast<int>(surface.height()),
              static_cast<int>(surface.bytesPerRow()), 0};
  auto seed = surface.copyFrame(frame.bytes, std::chrono::seconds(2));
  if (!seed) return std::nullopt;
  frame.seed = *seed;
  return frame;
}

// Copies frames until one satisfies `check`; that frame, or the last one
// seen (for the failure message) with `matched` false.
struct FrameWait {
  bool matched = false;
  std::optional<Frame> last;
};
inline FrameWait waitForFrame(const client::MappedSurface& surface,
                              const std::function<bool(const Frame&)>& check,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  FrameWait result;
  eventually(
      [&] {
        auto frame = copyFrame(surface);
        if (!frame) return false;
        result.matched = check(*frame);
        result.last = std::move(frame);
        return result.matched;
      },
      timeout, std::chrono::milliseconds(20));
  return result;
}

// After a pick the helper may pause until its next visibility check sees
// the window, and a still window draws nothing new after that: it is asked
// to repaint until `check` holds.
inline FrameWait waitRepainting(const client::MappedSurface& surface,
                                const std::function<bool(const Frame&)>& check,
                                const std::function<bool()>& repaint,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return waitForFrame(surface, [&](const Frame& f) { return check(f) || (repaint(), false); },
                      timeout);
}

// Where a window's picture lands in the 640x360 surface: scaled to fit,
// centred; everything else is black bar.
struct Placement {
  int x = 0, y = 0, width = 0, height = 0;
  int centreX(int column) const { return x + width / 4 + column * width / 2; }
  int centreY(int row) const { return y + height / 4 + row * height / 2; }
};

// The test window's four quadrant colours, top-left, top-right,
// bottom-left, bottom-right, as 0xRRGGBB.
struct Quadrants {
  std::uint32_t colors[4];
  std::string argument() const {
    return fmt::format("{:06X},{:06X},{:06X},{:06X}", colors[0], colors[1], colors[2], colors[3]);
  }
};

// The test windows' colours, and where a 1200x900 one lands: 480x360
// between 80-pixel bars.
constexpr Quadrants kQuadrantsA{{0xD02020, 0x20B040, 0x2040D0, 0xE0C020}};
constexpr Quadrants kQuadrantsB{{0x30C0C0, 0xC030C0, 0xF08030, 0x808080}};
constexpr Placement kFourByThree{80, 0, 480, 360};

// Each quadrant's centre shows its colour.
inline bool showsQuadrants(const Frame& frame, const Placement& place, const Quadrants& q) {
  for (int i = 0; i < 4; ++i)
    if (!frame.near(place.centreX(i % 2), place.centreY(i / 2), q.colors[i])) return false;
  return true;
}

inline auto showing(const Placement& place, const Quadrants& colors) {
  return [place, colors](const Frame& frame) { return showsQuadrants(frame, place, colors); };
}

inline std::string describeQuadrants(const Frame& frame, const Placement& place) {
  std::string out;
  for (int i = 0; i < 4; ++i)
    out += frame.at(place.centreX(i % 2), place.centreY(i / 2)).text() + " ";
  return out;
}

inline bool opaqueEverywhere(const Frame& frame) {
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x)
      if (frame.at(x, y).a != 255) return false;
  return true;
}

// --- the sentinel, as the application writes it ---

inline std::string windowSentinel(std::uint32_t windowID,
                                  const std::string& title = "test window") {
  return fmt::format(R"({{"enabled": true, "source": "window", "window_id": {}, )"
                     R"("window_title": "{}"}})",
                     windowID, title);
}
inline std::string patternSentinel() { return R"({"enabled": true, "source": "window"})"; }
inline std::string regionSentinel(int x, int y, int width, int height) {
  return fmt::format(R"({{"enabled": true, "source": "region", "region_x": {}, "region_y": {}, )"
                     R"("region_width": {}, "region_height": {}, "region_display_id": 0}})",
                     x, y, width, height);
}

// How long the soak runs: FENWRIGHT_SOAK_SECONDS, else `fallback`.
inline std::chrono::seconds soakDuration(int fallback) {
  const char* text = std::getenv("FENWRIGHT_SOAK_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : fallback);
}

// The line of /proc/PID/`file` that starts with `key`, "" when none.
inline std::string procLine(int pid, const std::string& file, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line) && line.rfind(key, 0) != 0) {
  }
  return line;
}

// What each thread of PID is doing, one "tid name: syscall args" line
// each (7 is poll: waiting on a socket; 232 epoll_wait: idle; 202 futex).
inline std::string threadStates(int pid) {
  std::string out;
  std::error_code error;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(base, error)) {
    std::string name, call;
    std::getline(std::ifstream(task.path() / "comm"), name);
    std::getline(std::ifstream(task.path() / "syscall"), call);
    out += task.path().filename().string() + " " + name + ": " + call + "\n";
  }
  return out;
}

// Resident memory and open descriptors, as `top` and `ls /proc/PID/fd`
// show them; 0 when the process is gone.
struct ProcessFootprint {
  long rssKiB = 0, fds = 0;
};
inline ProcessFootprint processFootprint(int pid) {
  ProcessFootprint footprint;
  std::sscanf(procLine(pid, "status", "VmRSS:").c_str(), "VmRSS: %ld", &footprint.rssKiB);
  std::error_code error;
  std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
  footprint.fds = std::distance(fds, {});
  return footprint;
}

}  // namespace fenwright::testing
