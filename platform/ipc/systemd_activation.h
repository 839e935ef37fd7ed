#pragma once

#include <optional>
#include <string>

#include "platform/ipc/unix_listen_socket.h"

namespace fenwright {

// What systemd socket activation handed this process.
struct ActivatedSocket {
  // The first passed listening AF_UNIX SOCK_SEQPACKET socket.
  std::optional<UnixListenSocket> socket;
  // How many descriptors were passed; all but the chosen one are closed.
  int passedCount = 0;
  // Set when descriptors were passed but none of them fits, or the
  // activation variables could not be read.
  std::string problem;
};

// Takes over the sockets passed through LISTEN_FDS/LISTEN_PID (and unsets
// those variables so that children do not see them). Nothing passed: an
// empty result without a problem.
ActivatedSocket takeActivatedSocket();

}  // namespace fenwright
