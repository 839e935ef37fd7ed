#include "platform/ipc/runtime_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fmt/format.h>

namespace fenwright {

Result<std::filesystem::path> runtimeDirectory() {
  using R = Result<std::filesystem::path>;
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || *value == '\0') return R::failure("XDG_RUNTIME_DIR is not set");
  std::filesystem::path dir(value);
  if (!dir.is_absolute())
    return R::failure(fmt::format("XDG_RUNTIME_DIR \"{}\" is not an absolute path", value));
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    return R::failure(fmt::format("runtime directory {}: {}", dir.string(),
                                  std::system_category().message(errno)));
  }
  if (!S_ISDIR(info.st_mode))
    return R::failure(fmt::format("runtime directory {} is not a directory", dir.string()));
  if (info.st_uid != ::getuid()) {
    return R::failure(fmt::format("runtime directory {} is owned by uid {}, not by us (uid {})",
                                  dir.string(), info.st_uid, ::getuid()));
  }
  // Anyone else who can enter it could replace our socket with their own.
  if ((info.st_mode & 07777) != 0700) {
    return R::failure(fmt::format("runtime directory {} has mode {:04o}, expected 0700",
                                  dir.string(), info.st_mode & 07777));
  }
  return R::success(std::move(dir));
}

Result<std::filesystem::path> serviceSocketPath(std::string_view serviceName) {
  auto dir = runtimeDirectory();
  if (!dir) return dir;
  return Result<std::filesystem::path>::success(*dir / std::string(serviceName));
}

}  // namespace fenwright
