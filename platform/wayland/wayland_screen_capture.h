#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/capture/screen_capture.h"
#include "platform/wayland/portal_pick.h"

namespace fenwright {

// The Wayland capture backend: the desktop portal's ScreenCast sessions and
// the PipeWire streams they grant. A Wayland window has no id anyone else
// can name, so the source is what the user picked in the portal's dialog:
// `currentPick` says which pick is in force (the helper reads it from the
// sentinel), and the content lists it alone, under its pick id, a window
// or a display as it was picked, on screen while it can be streamed.
// Streams open the pick with the newest restore token kept for it in
// `tokenFile` (no dialog), and keep the next one there.
std::shared_ptr<ScreenCapture> makeWaylandScreenCapture(
    std::function<std::optional<wayland::PortalPick>()> currentPick);

// True when the session has a Wayland display and a ScreenCast portal.
bool waylandCaptureAvailable();

}  // namespace fenwright
