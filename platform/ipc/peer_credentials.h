#pragma once

#include <cstdint>
#include <optional>

#include "platform/unique_fd.h"

namespace fenwright {

// Who is on the other end of a connected Unix socket, as the kernel recorded
// it when the peer connected (SO_PEERCRED).
struct PeerCredentials {
  int pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

std::optional<PeerCredentials> peerCredentials(const UniqueFd& socket);

// Our effective user id: the one our socket file and memory belong to.
std::uint32_t currentUserId();

}  // namespace fenwright
