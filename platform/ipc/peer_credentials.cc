#include "platform/ipc/peer_credentials.h"

#include <sys/socket.h>
#include <unistd.h>

namespace fenwright {

std::optional<PeerCredentials> peerCredentials(const UniqueFd& socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return PeerCredentials{static_cast<int>(credentials.pid), credentials.uid, credentials.gid};
}

std::uint32_t currentUserId() { return ::geteuid(); }

}  // namespace fenwright
