#pragma once

#include <cstdint>
#include <vector>

#include "platform/capture/capture_error.h"
#include "platform/capture/shareable_content.h"
#include "platform/x11/x11_connection.h"

namespace fenwright::x11 {

struct DisplayList {
  std::vector<CaptureDisplay> displays;
  // The primary monitor's identifier, else the first one's; 0 when empty.
  std::uint32_t mainDisplayID = 0;
};

// The monitors as RandR 1.5 describes them: displayID = the monitor's first
// output, or its name atom when it has no output (a monitor made with
// `xrandr --setmonitor NAME GEOMETRY none`). Older RandR: one display per
// active CRTC, named by its first output. No RandR at all: the whole screen,
// named by the root window's id.
CaptureResult<DisplayList> listDisplays(X11Connection& connection);

}  // namespace fenwright::x11
