#include "platform/ipc/systemd_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "platform/error_text.h"

namespace fenwright {
namespace {

// The first descriptor systemd passes.
constexpr int kFirstPassedFd = 3;

// Read here rather than through libsystemd: linking it made every start
// load it and the eight libraries it needs, for two environment variables.
std::optional<long> numberIn(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  long value = 0;
  const char* end = text + std::strlen(text);
  auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || value < 0) return -1;
  return value;
}

// How many descriptors were passed to this process, or -errno; the
// variables are unset either way.
int takeListenFds() {
  const std::optional<long> pid = numberIn("LISTEN_PID");
  const std::optional<long> count = numberIn("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (!pid || *pid != ::getpid()) return pid && *pid < 0 ? -EINVAL : 0;
  if (!count) return 0;
  if (*count < 0 || *count > 4096) return -EINVAL;
  for (int fd = kFirstPassedFd; fd < kFirstPassedFd + *count; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) return -errno;
  }
  return static_cast<int>(*count);
}

bool isListeningSeqPacketUnixSocket(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  int type = 0, accepting = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
    return false;
  length = sizeof accepting;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || accepting == 0)
    return false;
  sockaddr_storage address{};
  length = sizeof address;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         address.ss_family == AF_UNIX;
}

}  // namespace

ActivatedSocket takeActivatedSocket() {
  ActivatedSocket result;
  int count = takeListenFds();
  if (count < 0) {
    result.problem = fmt::format("sd_listen_fds: {}", errorText(-count));
    return result;
  }
  result.passedCount = count;
  // Owned at once, so those nobody wants are closed on the way out.
  std::vector<UniqueFd> passed;
  for (int i = 0; i < count; ++i) passed.emplace_back(kFirstPassedFd + i);
  for (auto& fd : passed) {
    if (isListeningSeqPacketUnixSocket(fd.get())) {
      result.socket.emplace(UnixListenSocket::adopt(std::move(fd)));
      break;
    }
  }
  if (count > 0 && !result.socket) {
    result.problem =
        fmt::format("systemd passed {} descriptor(s), none a listening AF_UNIX SOCK_SEQPACKET socket",
                    count);
  }
  return result;
}

}  // namespace fenwright
