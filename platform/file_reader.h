#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace fenwright {

// Reads a whole regular file of at most `maxBytes` bytes. Anything else (a
// missing file, a FIFO, a device, a directory, a symlink loop, no
// permission, a larger file) reads as absent, promptly and without blocking.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                std::size_t maxBytes);

}  // namespace fenwright
