#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/atomic_file.h"

namespace fenwright::testing {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
 public:
  // Under `base` when given (e.g. a tmpfs), else the system temp dir.
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "fenwright-test-XXXXXX");
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The whole file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Points XDG_DATA_HOME at a temporary directory while it lives, and writes
// the sentinel file the way the application does (whole file, then rename).
class SentinelHome {
 public:
  explicit SentinelHome(const std::filesystem::path& base = std::filesystem::temp_directory_path())
      : dir_(base) {
    if (const char* old = std::getenv("XDG_DATA_HOME")) previous_ = old;
    ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    container_ = dir_.path() / "Q2WXR7TZ4M.com.quenfield.app";
    std::filesystem::create_directories(container_);
  }
  ~SentinelHome() {
    previous_ ? ::setenv("XDG_DATA_HOME", previous_->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  }
  SentinelHome(const SentinelHome&) = delete;
  SentinelHome& operator=(const SentinelHome&) = delete;

  const std::filesystem::path& dataHome() const { return dir_.path(); }
  std::filesystem::path sentinelPath() const { return container_ / "pip-mode-enabled"; }

  // Empty when written; else what failed.
  std::string write(std::string_view json) const {
    return writeFileAtomically(sentinelPath(), std::string(json));
  }
  void remove() const { std::filesystem::remove(sentinelPath()); }

 private:
  TempDir dir_;
  std::filesystem::path container_;
  std::optional<std::string> previous_;
};

}  // namespace fenwright::testing
