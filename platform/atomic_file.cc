#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace fenwright {

std::string writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                unsigned mode) {
  auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  std::string temporaryName = ".";
  temporaryName.append(path.filename().string()).append(".XXXXXX");
  std::string temporary = (directory / temporaryName).string();
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return "cannot create a temporary file in " + directory.string() + ": " + errorText(errno);
  auto fail = [&](const char* what) {
    std::string message = std::string(what) + " " + temporary + ": " + errorText(errno);
    ::unlink(temporary.c_str());
    return message;
  };
  const char* p = contents.data();
  std::size_t left = contents.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) return fail("cannot set the mode of");
  if (::fsync(fd.get()) != 0) return fail("cannot sync");
  fd.reset();
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("cannot rename");
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return {};
}

}  // namespace fenwright
