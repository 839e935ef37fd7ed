#include "platform/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace fenwright {

std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > maxBytes) return std::nullopt;

  // The file may grow between fstat and read; never take more than the cap.
  std::string bytes(maxBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > maxBytes) return std::nullopt;
  bytes.resize(filled);
  return bytes;
}

}  // namespace fenwright
