#pragma once

#include <string>

#include "config/pip_sentinel_config.h"

namespace fenwright {

// How the helper answers a fresh read of the sentinel file.
enum class SentinelReaction {
  nothing,      // nothing that matters changed; the fresh record is dropped
  shutDown,     // off, missing or unreadable
  swap,         // only the followed window changed: retarget the stream in place
  restart,      // stop, then start from the fresh record
  testPattern,  // stop, then show the pattern: the fresh record picks nothing
};

SentinelReaction sentinelReaction(const PiPSentinelConfig& current, const PiPSentinelConfig& fresh);

// The line logged for a change, old values first; an absent window is "nil".
std::string sentinelChangeLine(const PiPSentinelConfig& previous, const PiPSentinelConfig& fresh);

}  // namespace fenwright
