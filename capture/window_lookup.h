#pragma once

#include <cstdint>
#include <vector>

#include "platform/capture/shareable_content.h"

namespace fenwright {

// The first window with that id, in the order the platform lists them.
const CaptureWindow* findWindow(const std::vector<CaptureWindow>& windows, std::uint32_t id);

}  // namespace fenwright
