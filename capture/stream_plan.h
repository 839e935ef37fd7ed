#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "config/pip_sentinel_config.h"
#include "platform/capture/content_filter.h"
#include "platform/capture/shareable_content.h"
#include "platform/capture/stream_configuration.h"

namespace fenwright {

// A stream to make, and how its start is described in the log.
struct StreamPlan {
  ContentFilter filter;
  StreamConfiguration configuration;
  std::string description;
};

// Why no stream can be made: the error line logged before the test
// pattern shows instead.
struct StreamFallback {
  std::string reason;
};

// A region whose display is not listed takes `mainDisplayID`, then the
// first display listed. A window is found by id alone, never by title.
std::variant<StreamPlan, StreamFallback> planStream(const PiPSentinelConfig& config,
                                                    const ShareableContent& content,
                                                    std::uint32_t mainDisplayID);

}  // namespace fenwright
