#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fenwright {

// Replaces `path` with `contents` so that a reader sees the old file or the
// new one, never a half-written one: a temporary file in the same
// directory, fsync, rename. Returns an empty string on success, otherwise
// what went wrong.
std::string writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

}  // namespace fenwright
