#include "platform/ipc/systemd_activation.h"

#include <sys/socket.h>

#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include "platform/error_text.h"

namespace fenwright {

ActivatedSocket takeActivatedSocket() {
  ActivatedSocket result;
  int count = ::sd_listen_fds(1);
  if (count < 0) {
    result.problem = fmt::format("sd_listen_fds: {}", errorText(-count));
    return result;
  }
  result.passedCount = count;
  // Owned at once, so those nobody wants are closed on the way out.
  std::vector<UniqueFd> passed;
  for (int i = 0; i < count; ++i) passed.emplace_back(SD_LISTEN_FDS_START + i);
  for (auto& fd : passed) {
    if (::sd_is_socket(fd.get(), AF_UNIX, SOCK_SEQPACKET, 1) > 0) {
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
