#pragma once

#include <string_view>

namespace fenwright {

// Names shared with the desktop application and its extension; all three
// must spell them byte for byte the same.
inline constexpr std::string_view quenfieldPiPModeXPCServiceName =
    "Q2WXR7TZ4M.com.quenfield.app.pipmode";
inline constexpr std::string_view quenfieldPiPModeSentinelFileName = "pip-mode-enabled";
inline constexpr std::string_view quenfieldAppGroupID = "Q2WXR7TZ4M.com.quenfield.app";
// Part of the shared vocabulary; this process never reads them.
inline constexpr std::string_view quenfieldSocketFileName = "quenfield-agent.sock";
inline constexpr std::string_view quenfieldDeskModeSentinelFileName = "desk-mode-enabled";
inline constexpr std::string_view quenfieldDeskModeLaunchAgentLabel =
    "com.quenfield.app.deskmode";

}  // namespace fenwright
