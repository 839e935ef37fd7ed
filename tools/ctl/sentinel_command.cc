#include "tools/ctl/sentinel_command.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "config/app_group_container.h"
#include "config/shared_identifiers.h"
#include "platform/atomic_file.h"

namespace fenwright::ctl {

std::string sentinelJson(const SentinelRequest& request) {
  nlohmann::ordered_json json;
  json["enabled"] = request.enabled;
  if (request.enabled) {
    json["source"] = request.source;
    if (request.windowID) json["window_id"] = *request.windowID;
    if (request.windowTitle) json["window_title"] = *request.windowTitle;
    if (request.source == "region") {
      json["region_x"] = request.regionX;
      json["region_y"] = request.regionY;
      json["region_width"] = request.regionWidth;
      json["region_height"] = request.regionHeight;
      if (request.regionDisplayID) json["region_display_id"] = *request.regionDisplayID;
    }
    if (request.portalRestoreToken) json["portal_restore_token"] = *request.portalRestoreToken;
  }
  // Titles come from other programs: never let bad UTF-8 make us throw.
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string writeSentinel(const SentinelRequest& request, std::filesystem::path* writtenTo) {
  auto container = quenfieldAppGroupContainerURL();
  if (!container) return "no data directory: set HOME or XDG_DATA_HOME to an absolute path";
  std::error_code error;
  std::filesystem::create_directories(*container, error);
  if (error) return "cannot create " + container->string() + ": " + error.message();
  auto path = *container / quenfieldPiPModeSentinelFileName;
  std::string failure = writeFileAtomically(path, sentinelJson(request) + "\n");
  if (failure.empty() && writtenTo != nullptr) *writtenTo = path;
  return failure;
}

}  // namespace fenwright::ctl
