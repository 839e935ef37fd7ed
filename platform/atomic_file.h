#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fenwright {

// Replaces `path` with `contents` so that a reader sees the old file or the
// new one, never a half-written one: a temporary file in the same
// directory, fsync, rename. Returns an empty string on success, otherwise
// what went wrong. The file gets `mode` (0600 for what only its owner may
// read).
std::string writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                unsigned mode = 0644);

}  // namespace fenwright
