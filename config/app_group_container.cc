#include "config/app_group_container.h"

#include <cstdlib>

#include "config/shared_identifiers.h"

namespace fenwright {
namespace {

std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  std::filesystem::path path(value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

}  // namespace

std::optional<std::filesystem::path> quenfieldAppGroupContainerURL() {
  std::filesystem::path dataHome;
  if (auto xdg = absoluteFromEnvironment("XDG_DATA_HOME")) {
    dataHome = *xdg;
  } else if (auto home = absoluteFromEnvironment("HOME")) {
    dataHome = *home / ".local" / "share";
  } else {
    return std::nullopt;
  }
  return dataHome / quenfieldAppGroupID;
}

}  // namespace fenwright
