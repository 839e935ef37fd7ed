#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace fenwright {

// What reading a small file came to.
struct SmallFileRead {
  std::optional<std::string> bytes;  // absent when nothing could be read
  // Why nothing could be read, when the cause was the process's and likely
  // to pass (out of descriptors or memory, a signal): the file may be fine.
  std::optional<std::string> transientFailure;
};

// Reads a whole regular file of at most `maxBytes` bytes. Anything else (a
// missing file, a FIFO, a device, a directory, a symlink loop, no
// permission, a larger file) reads as absent, promptly and without blocking.
SmallFileRead readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes);

}  // namespace fenwright
