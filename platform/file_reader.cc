#include "platform/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace fenwright {
namespace {

// Failures of the process rather than of the file.
SmallFileRead failed(int error) {
  if (error == EMFILE || error == ENFILE || error == ENOMEM || error == EINTR)
    return {std::nullopt, errorText(error)};
  return {};
}

}  // namespace

SmallFileRead readSmallRegularFile(const std::filesystem::path& path, std::size_t maxBytes) try {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return failed(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return failed(errno);
  if (!S_ISREG(info.st_mode)) return {};
  if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > maxBytes) return {};

  // The file may grow between fstat and read; never take more than the cap.
  std::string bytes(maxBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > maxBytes) return {};
  bytes.resize(filled);
  return {std::move(bytes), std::nullopt};
} catch (const std::bad_alloc&) {
  return failed(ENOMEM);
}

}  // namespace fenwright
