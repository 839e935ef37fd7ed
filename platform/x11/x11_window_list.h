#pragma once

#include <vector>

#include "platform/capture/capture_error.h"
#include "platform/capture/shareable_content.h"
#include "platform/x11/x11_connection.h"

namespace fenwright::x11 {

// The windows a user can pick, as the server has them now: the window
// manager's client list when one runs (_NET_CLIENT_LIST, validated through
// _NET_SUPPORTING_WM_CHECK), else the top-level windows that carry WM_STATE
// (directly under the root or one frame below it), mapped or not, together
// with the root's mapped InputOutput children that carry none and frame none
// (no manager runs), override-redirect ones excepted. Windows that vanish
// while being asked about are left out. Fails only when the connection does.
CaptureResult<std::vector<CaptureWindow>> listWindows(X11Connection& connection,
                                                      bool excludingDesktopWindows,
                                                      bool onScreenWindowsOnly);

}  // namespace fenwright::x11
