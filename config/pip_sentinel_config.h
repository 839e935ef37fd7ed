#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fenwright {

// What the application asks for, as read from the sentinel file. A plain
// value; it validates nothing (consumers decide what a value means).
struct PiPSentinelConfig {
  bool enabled = false;
  std::string source = "window";
  std::optional<std::uint32_t> windowID;
  std::optional<std::string> windowTitle;
  std::int64_t regionX = 0;
  std::int64_t regionY = 0;
  std::int64_t regionWidth = 0;
  std::int64_t regionHeight = 0;
  std::uint32_t regionDisplayID = 0;
  // On Wayland: the restore token of the source picked in the portal's
  // dialog (the window or display ids are then that pick's id).
  std::optional<std::string> portalRestoreToken;

  bool operator==(const PiPSentinelConfig&) const = default;
};

}  // namespace fenwright
