#pragma once

#include <cstdint>

namespace fenwright {

// 'BGRA': bytes B, G, R, A per pixel, rows top to bottom. The one format
// captured, drawn, shared and announced to clients.
inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;

}  // namespace fenwright
