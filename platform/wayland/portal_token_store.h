#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace fenwright::wayland {

// The newest restore token of each pick. A token opens its source once and
// the portal hands out the next one, while the sentinel keeps the pick's
// first: a restart needs the newest to open without a dialog. One line per
// pick, "<pick token> <newest token>", the newest picks last, in a file
// only its owner may read.
class PortalTokenStore {
 public:
  explicit PortalTokenStore(std::optional<std::filesystem::path> file) : file_(std::move(file)) {}

  // $XDG_STATE_HOME/fenwright/portal-tokens, or ~/.local/state/...; none
  // when neither is an absolute path.
  static std::optional<std::filesystem::path> defaultFile();

  // The token to open `pick` with: its newest, or the pick's own.
  std::string newest(const std::string& pick) const;
  // Returns what went wrong, or empty.
  std::string remember(const std::string& pick, const std::string& newest) const;

 private:
  std::optional<std::filesystem::path> file_;
};

}  // namespace fenwright::wayland
