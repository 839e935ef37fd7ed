#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "config/pip_sentinel_config.h"

namespace fenwright {

// Larger sentinel files are unreadable; a real one is a few hundred bytes.
inline constexpr std::size_t kSentinelMaxBytes = 64 * 1024;

// Reads the sentinel file from the app-group container. Never fails: every
// failure (no container, no file, not a regular file, too large, not JSON,
// not an object) gives the default record, whose `enabled` is false. Only a
// missing container is logged.
PiPSentinelConfig readPiPSentinel();

// One read of the sentinel that also tells when it failed for a passing
// reason of the process (out of descriptors or memory, interrupted) rather
// than because of the file: `transientFailure` then names it, and `config`
// is the default record, as readPiPSentinel() gives.
struct PiPSentinelRead {
  PiPSentinelConfig config;
  std::optional<std::string> transientFailure;
};
PiPSentinelRead probePiPSentinel();

// The parsing half of readPiPSentinel(), for bytes already in memory.
//
// Choices the file format leaves open:
// - Types are strict: "enabled" must be a JSON boolean, integer keys JSON
//   integers (800.0, "800" and true all fall back to the key's default).
// - "window_id" and "region_display_id" outside 0...4294967295 fall back to
//   their defaults (absent and 0), as if the key were missing.
// - A key given twice takes its last value.
PiPSentinelConfig parsePiPSentinel(std::string_view bytes);

}  // namespace fenwright
