#include "platform/error_text.h"
#include "platform/ipc/seq_packet_socket.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

namespace fenwright {
namespace {

// recv() gives 0 both for an empty message and at the end; only the end
// raises HUP or RDHUP.
bool peerHasClosed(const UniqueFd& socket) {
  pollfd entry{socket.get(), POLLIN | POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLHUP | POLLRDHUP)) != 0;
}

}  // namespace

ReceivedPacket receivePacket(const UniqueFd& socket, std::size_t capacity, std::size_t maxFds) {
  ReceivedPacket packet;
  packet.bytes.resize(capacity > 0 ? capacity : 1);
  std::vector<std::uint8_t> control(CMSG_SPACE(sizeof(int) * (maxFds > 0 ? maxFds : 1)));

  iovec vector{packet.bytes.data(), packet.bytes.size()};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();

  ssize_t received;
  do {
    // MSG_TRUNC makes the result the message's real length.
    received = ::recvmsg(socket.get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC | MSG_TRUNC);
  } while (received < 0 && errno == EINTR);

  if (received < 0) {
    packet.bytes.clear();
    packet.error = errno;
    if (packet.error == EAGAIN || packet.error == EWOULDBLOCK) {
      packet.status = ReceivedPacket::Status::wouldBlock;
    } else if (packet.error == ECONNRESET) {
      packet.status = ReceivedPacket::Status::closed;
    } else {
      packet.status = ReceivedPacket::Status::failed;
    }
    return packet;
  }

  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(header);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
      packet.fds.emplace_back(fd);
    }
  }
  packet.controlTruncated = (message.msg_flags & MSG_CTRUNC) != 0;
  packet.size = static_cast<std::size_t>(received);
  packet.bytes.resize(std::min(packet.size, capacity));

  if (packet.size == 0 && packet.fds.empty() && !packet.controlTruncated &&
      peerHasClosed(socket)) {
    packet.status = ReceivedPacket::Status::closed;
    return packet;
  }
  packet.status = ReceivedPacket::Status::message;
  return packet;
}

SendOutcome sendPacket(const UniqueFd& socket, std::span<const std::uint8_t> bytes,
                       std::span<const UniqueFd* const> fds) {
  SendOutcome outcome;
  iovec vector{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;

  std::vector<std::uint8_t> control;
  if (!fds.empty()) {
    control.resize(CMSG_SPACE(sizeof(int) * fds.size()));
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    unsigned char* data = CMSG_DATA(header);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      int fd = fds[i]->get();
      std::memcpy(data + i * sizeof(int), &fd, sizeof fd);
    }
  }

  ssize_t sent;
  do {
    sent = ::sendmsg(socket.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);

  if (sent >= 0) {
    // A packet goes whole or not at all.
    outcome.status = static_cast<std::size_t>(sent) == bytes.size() ? SendOutcome::Status::sent
                                                                     : SendOutcome::Status::failed;
    return outcome;
  }
  outcome.error = errno;
  switch (outcome.error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      outcome.status = SendOutcome::Status::wouldBlock;
      break;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
      outcome.status = SendOutcome::Status::peerGone;
      break;
    case ETOOMANYREFS:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      outcome.status = SendOutcome::Status::noRoom;
      break;
    default:
      outcome.status = SendOutcome::Status::failed;
      break;
  }
  return outcome;
}

std::size_t unreadBytes(const UniqueFd& socket) {
  int bytes = 0;
  if (::ioctl(socket.get(), SIOCOUTQ, &bytes) != 0 || bytes < 0) return 0;
  return static_cast<std::size_t>(bytes);
}

Expected<UniqueFd> connectSeqPacket(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof address.sun_path)
    return unexpected(fmt::format("socket path {} is empty or too long", path.string()));
  std::memcpy(address.sun_path, text.data(), text.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return unexpected(fmt::format("socket: {}", errorText(errno)));
  // A Unix connect() completes at once or, with the listener's backlog
  // full, fails with EAGAIN; there is nothing to wait on but time.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      return fd;
    int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN || std::chrono::steady_clock::now() > deadline)
      return unexpected(fmt::format("connect {}: {}", path.string(), errorText(error)));
    ::usleep(10000);
  }
}

Expected<std::pair<UniqueFd, UniqueFd>> seqPacketPair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
    return unexpected(
        fmt::format("socketpair: {}", errorText(errno)));
  }
  return Expected<std::pair<UniqueFd, UniqueFd>>({UniqueFd(ends[0]), UniqueFd(ends[1])});
}

Readiness waitReadable(const UniqueFd& socket, std::chrono::milliseconds timeout) {
  pollfd entry{socket.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Readiness::failed;
  return ready == 0 ? Readiness::timedOut : Readiness::ready;
}

}  // namespace fenwright
