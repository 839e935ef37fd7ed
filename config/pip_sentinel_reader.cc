#include "config/pip_sentinel_reader.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "config/app_group_container.h"
#include "config/shared_identifiers.h"
#include "platform/file_reader.h"
#include "platform/log/logger.h"

namespace fenwright {
namespace {

using Json = nlohmann::json;

const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::int64_t> integer(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) {
    auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::uint32_t> identifier(const Json& object, const char* key) {
  auto value = integer(object, key);
  if (!value || *value < 0 || *value > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::string> text(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

PiPSentinelConfig parsePiPSentinel(std::string_view bytes) try {
  PiPSentinelConfig config;
  Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return config;

  if (const Json* enabled = member(document, "enabled"); enabled && enabled->is_boolean())
    config.enabled = enabled->get<bool>();
  if (auto source = text(document, "source")) config.source = *source;
  config.windowID = identifier(document, "window_id");
  config.windowTitle = text(document, "window_title");
  config.regionX = integer(document, "region_x").value_or(0);
  config.regionY = integer(document, "region_y").value_or(0);
  config.regionWidth = integer(document, "region_width").value_or(0);
  config.regionHeight = integer(document, "region_height").value_or(0);
  config.regionDisplayID = identifier(document, "region_display_id").value_or(0);
  config.portalRestoreToken = text(document, "portal_restore_token");
  return config;
} catch (...) {
  // Only memory can run out here: the parser is told not to throw and each
  // get<> follows its own type check. Not logged: this runs every 150 ms,
  // and a file that reads as off is logged by whoever acts on it.
  return PiPSentinelConfig{};
}

PiPSentinelConfig readPiPSentinel() { return probePiPSentinel().config; }

PiPSentinelRead probePiPSentinel() {
  auto container = quenfieldAppGroupContainerURL();
  if (!container) {
    log::helperLogger().error("app group container unavailable");
    return {};
  }
  auto read = readSmallRegularFile(*container / quenfieldPiPModeSentinelFileName,
                                   kSentinelMaxBytes);
  if (!read.bytes) return {PiPSentinelConfig{}, std::move(read.transientFailure)};
  return {parsePiPSentinel(*read.bytes), std::nullopt};
}

}  // namespace fenwright
