#include "capture/sentinel_reaction.h"

#include "capture/capture_mode.h"

namespace fenwright {
namespace {

std::string windowText(const std::optional<std::uint32_t>& windowID) {
  return windowID ? std::to_string(*windowID) : "nil";
}

bool regionChanged(const PiPSentinelConfig& a, const PiPSentinelConfig& b) {
  return a.regionX != b.regionX || a.regionY != b.regionY || a.regionWidth != b.regionWidth ||
         a.regionHeight != b.regionHeight || a.regionDisplayID != b.regionDisplayID;
}

}  // namespace

SentinelReaction sentinelReaction(const PiPSentinelConfig& current,
                                  const PiPSentinelConfig& fresh) {
  if (!fresh.enabled) return SentinelReaction::shutDown;
  bool sourceChanged = fresh.source != current.source;
  bool windowChanged = fresh.windowID != current.windowID;
  bool regionDiffers = regionChanged(fresh, current);
  if (!sourceChanged && !windowChanged && !regionDiffers) return SentinelReaction::nothing;
  if (!sourceChanged && !regionDiffers && followedWindow(fresh)) return SentinelReaction::swap;
  return picksCaptureSource(fresh) ? SentinelReaction::restart : SentinelReaction::testPattern;
}

std::string sentinelChangeLine(const PiPSentinelConfig& previous, const PiPSentinelConfig& fresh) {
  return "sentinel changed: source " + previous.source + " → " + fresh.source + ", wid " +
         windowText(previous.windowID) + " → " + windowText(fresh.windowID);
}

}  // namespace fenwright
