#include "platform/ipc/runtime_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fmt/format.h>

#include "platform/error_text.h"

namespace fenwright {

Expected<std::filesystem::path> runtimeDirectory() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || *value == '\0') return unexpected("XDG_RUNTIME_DIR is not set");
  std::filesystem::path dir(value);
  if (!dir.is_absolute())
    return unexpected(fmt::format("XDG_RUNTIME_DIR \"{}\" is not an absolute path", value));
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    return unexpected(fmt::format("runtime directory {}: {}", dir.string(),
                                  errorText(errno)));
  }
  if (!S_ISDIR(info.st_mode))
    return unexpected(fmt::format("runtime directory {} is not a directory", dir.string()));
  if (info.st_uid != ::getuid()) {
    return unexpected(fmt::format("runtime directory {} is owned by uid {}, not by us (uid {})",
                                  dir.string(), info.st_uid, ::getuid()));
  }
  // Anyone else who can enter it could replace our socket with their own.
  if ((info.st_mode & 07777) != 0700) {
    return unexpected(fmt::format("runtime directory {} has mode {:04o}, expected 0700",
                                  dir.string(), info.st_mode & 07777));
  }
  return dir;
}

Expected<std::filesystem::path> serviceSocketPath(std::string_view serviceName) {
  auto dir = runtimeDirectory();
  if (!dir) return dir;
  return Expected<std::filesystem::path>(*dir / std::string(serviceName));
}

}  // namespace fenwright
