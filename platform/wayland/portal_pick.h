#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fenwright::wayland {

// A source the user picked in the portal's dialog, as the sentinel names
// it: the restore token the pick returned, and what it was.
struct PortalPick {
  std::string token;
  std::optional<std::string> title;
  bool region = false;
};

// The number a pick goes by where the capture boundary wants a window or
// display id: the same for the same token, never 0. A Wayland window has
// no global id of its own.
constexpr std::uint32_t portalPickID(std::string_view token) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : token) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

}  // namespace fenwright::wayland
