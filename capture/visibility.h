#pragma once

#include <cstdint>
#include <vector>

#include "platform/capture/shareable_content.h"

namespace fenwright {

// A window that is not listed (closed, or never there) is not visible.
bool isWindowVisible(const std::vector<CaptureWindow>& windows, std::uint32_t id);

enum class PauseChange { none, pause, resume };

// Pausing freezes the last frame. Only a transition changes it, so each
// one is logged once however often a check confirms it.
PauseChange pauseChange(bool visible, bool paused);

}  // namespace fenwright
