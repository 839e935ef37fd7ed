#include "platform/error_text.h"
#include "platform/ipc/unix_listen_socket.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace fenwright {
namespace {

std::optional<sockaddr_un> addressFor(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

enum class Probe { live, stale, otherType, failed };

// Whether somebody accepts connections on the socket file at `address`.
Probe probe(const sockaddr_un& address, int& error) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    error = errno;
    return Probe::failed;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return Probe::live;
  error = errno;
  switch (error) {
    case ECONNREFUSED:
      return Probe::stale;
    case EAGAIN:  // listening, its backlog full
    case EINPROGRESS:
      return Probe::live;
    case EPROTOTYPE:
      return Probe::otherType;
    default:
      return Probe::failed;
  }
}

}  // namespace

UnixListenSocket::UnixListenSocket(UniqueFd fd, UniqueFd lock, std::filesystem::path path,
                                   Origin origin)
    : fd_(std::move(fd)), lock_(std::move(lock)), path_(std::move(path)), origin_(origin) {}

UnixListenSocket::UnixListenSocket(UnixListenSocket&& other) noexcept
    : fd_(std::move(other.fd_)),
      lock_(std::move(other.lock_)),
      path_(std::move(other.path_)),
      origin_(other.origin_),
      replacedStale_(other.replacedStale_),
      device_(std::exchange(other.device_, 0)),
      inode_(std::exchange(other.inode_, 0)) {}

UnixListenSocket& UnixListenSocket::operator=(UnixListenSocket&& other) noexcept {
  if (this != &other) {
    removeSocketFile();
    fd_ = std::move(other.fd_);
    lock_ = std::move(other.lock_);
    path_ = std::move(other.path_);
    origin_ = other.origin_;
    replacedStale_ = other.replacedStale_;
    device_ = std::exchange(other.device_, 0);
    inode_ = std::exchange(other.inode_, 0);
  }
  return *this;
}

UnixListenSocket::~UnixListenSocket() { removeSocketFile(); }

void UnixListenSocket::removeSocketFile() {
  if (origin_ != Origin::boundHere || inode_ == 0) return;
  struct stat info {};
  // Only our own file: a successor may already have replaced it.
  if (::lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_)
    ::unlink(path_.c_str());
  inode_ = 0;
}

Expected<UnixListenSocket> UnixListenSocket::bindAt(const std::filesystem::path& path) {
  auto address = addressFor(path);
  if (!address) {
    return unexpected(fmt::format("socket path {} is empty or longer than {} bytes",
                                  path.string(), sizeof(sockaddr_un::sun_path) - 1));
  }

  std::filesystem::path lockPath = path;
  lockPath += ".lock";
  UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return unexpected(fmt::format("{}: {}", lockPath.string(), errorText(errno)));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    if (error == EWOULDBLOCK) {
      return unexpected(fmt::format("another process is listening on {} (it holds {})",
                                    path.string(), lockPath.string()));
    }
    return unexpected(fmt::format("{}: {}", lockPath.string(), errorText(error)));
  }

  bool replacedStale = false;
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode))
      return unexpected(fmt::format("{} exists and is not a socket", path.string()));
    int error = 0;
    switch (probe(*address, error)) {
      case Probe::live:
        return unexpected(fmt::format("another process is listening on {}", path.string()));
      case Probe::otherType:
        return unexpected(
            fmt::format("{} is in use by a socket of another type", path.string()));
      case Probe::failed:
        return unexpected(fmt::format("{}: {}", path.string(), errorText(error)));
      case Probe::stale:
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
          return unexpected(
              fmt::format("cannot remove stale socket {}: {}", path.string(), errorText(errno)));
        }
        replacedStale = true;
        break;
    }
  } else if (errno != ENOENT) {
    return unexpected(fmt::format("{}: {}", path.string(), errorText(errno)));
  }

  // Bound and listening under a name of its own first, then renamed into
  // place: a client never finds the path before it can connect.
  std::filesystem::path fresh = path;
  fresh += ".new";
  auto freshAddress = addressFor(fresh);
  if (!freshAddress) {
    return unexpected(fmt::format("socket path {} is longer than {} bytes", fresh.string(),
                                  sizeof(sockaddr_un::sun_path) - 1));
  }
  ::unlink(fresh.c_str());  // a leftover of ours: we hold the lock
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return unexpected(fmt::format("socket: {}", errorText(errno)));
  // bind() creates the file with the socket inode's mode less the umask, so
  // it never exists with a wider mode than 0600.
  ::fchmod(fd.get(), 0600);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*freshAddress), sizeof *freshAddress) !=
      0) {
    return unexpected(fmt::format("bind {}: {}", fresh.string(), errorText(errno)));
  }
  auto fail = [&](const char* call, const std::filesystem::path& where) {
    int error = errno;
    ::unlink(fresh.c_str());
    return unexpected(fmt::format("{} {}: {}", call, where.string(), errorText(error)));
  };
  if (::chmod(fresh.c_str(), 0600) != 0) return fail("chmod", fresh);
  if (::listen(fd.get(), SOMAXCONN) != 0) return fail("listen", fresh);
  // Never over a socket someone else put there since we looked.
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) {
      ::unlink(fresh.c_str());
      return unexpected(fmt::format("another process took {} meanwhile", path.string()));
    }
    return fail("rename to", path);
  }

  UnixListenSocket socket(std::move(fd), std::move(lock), path, Origin::boundHere);
  socket.replacedStale_ = replacedStale;
  struct stat bound {};
  if (::lstat(path.c_str(), &bound) == 0) {
    socket.device_ = bound.st_dev;
    socket.inode_ = bound.st_ino;
  }
  return socket;
}

UnixListenSocket UnixListenSocket::adopt(UniqueFd listening) {
  std::filesystem::path path;
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      length > offsetof(sockaddr_un, sun_path) && address.sun_path[0] != '\0') {
    path = std::string(address.sun_path, ::strnlen(address.sun_path, sizeof address.sun_path));
  }
  int flags = ::fcntl(listening.get(), F_GETFL);
  if (flags >= 0) ::fcntl(listening.get(), F_SETFL, flags | O_NONBLOCK);
  ::fcntl(listening.get(), F_SETFD, FD_CLOEXEC);
  return UnixListenSocket(std::move(listening), UniqueFd(), std::move(path),
                          Origin::passedBySystemd);
}

UnixListenSocket::Accepted UnixListenSocket::accept() const {
  Accepted result;
  result.fd = UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (result.fd) {
    result.status = Accepted::Status::accepted;
    return result;
  }
  int error = errno;
  result.reason = errorText(error);
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      result.status = Accepted::Status::wouldBlock;
      break;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      result.status = Accepted::Status::outOfDescriptors;
      break;
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
      result.status = Accepted::Status::transient;
      break;
    default:
      result.status = Accepted::Status::failed;
      break;
  }
  return result;
}

}  // namespace fenwright
