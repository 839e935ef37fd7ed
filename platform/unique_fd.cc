#include "platform/unique_fd.h"

#include <unistd.h>

namespace fenwright {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace fenwright
