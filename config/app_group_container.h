#pragma once

#include <filesystem>
#include <optional>

namespace fenwright {

// The shared container of the application group: `$XDG_DATA_HOME/<group>`,
// or `$HOME/.local/share/<group>` when XDG_DATA_HOME is unset or not an
// absolute path; absent when neither gives an absolute path. The directory
// is neither created nor checked, and nothing is cached.
std::optional<std::filesystem::path> quenfieldAppGroupContainerURL();

}  // namespace fenwright
