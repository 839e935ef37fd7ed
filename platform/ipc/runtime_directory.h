#pragma once

#include <filesystem>
#include <string_view>

#include "platform/expected.h"

namespace fenwright {

// $XDG_RUNTIME_DIR, if it is safe to put our socket in: set, absolute, an
// existing directory owned by us with mode 0700. The error says which rule
// failed.
Expected<std::filesystem::path> runtimeDirectory();

// Where the service named `serviceName` listens: `<runtime dir>/<name>`.
Expected<std::filesystem::path> serviceSocketPath(std::string_view serviceName);

}  // namespace fenwright
