#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace fenwright::ctl {

// What `fenwright-ctl window|region|off` asks the helper for.
struct SentinelRequest {
  bool enabled = true;
  std::string source = "window";
  std::optional<std::uint32_t> windowID;
  std::optional<std::string> windowTitle;
  std::int64_t regionX = 0, regionY = 0, regionWidth = 0, regionHeight = 0;
  std::optional<std::uint32_t> regionDisplayID;
  // A pick made in the Wayland portal's dialog.
  std::optional<std::string> portalRestoreToken;
};

// The sentinel file's JSON for a request, keys in the application's order.
std::string sentinelJson(const SentinelRequest& request);

// Writes the sentinel atomically into the app-group container, creating the
// container when needed. Returns an error message, or empty on success.
std::string writeSentinel(const SentinelRequest& request, std::filesystem::path* writtenTo);

}  // namespace fenwright::ctl
