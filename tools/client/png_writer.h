#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/expected.h"

namespace fenwright::client {

// Writes a BGRA image (rows `bytesPerRow` apart) as an 8-bit RGBA PNG. The
// file appears whole or not at all (written aside, then renamed). Gives the
// PNG's size in bytes.
Expected<std::size_t> writePngFromBGRA(const std::filesystem::path& path, std::uint32_t width,
                                     std::uint32_t height, std::uint32_t bytesPerRow,
                                     std::span<const std::uint8_t> pixels);

}  // namespace fenwright::client
