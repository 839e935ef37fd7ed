#pragma once

#include <cstdint>
#include <optional>

#include "platform/unique_fd.h"

namespace fenwright {

// What a client needs to know about a descriptor of shared memory it was
// handed before mapping it: mapping a file that can shrink risks SIGBUS.
struct SharedFileInfo {
  bool regularFile = false;
  std::uint64_t size = 0;
  bool sealedAgainstShrinking = false;
  bool sealedAgainstGrowing = false;
  bool openedReadOnly = false;
};

std::optional<SharedFileInfo> inspectSharedFile(const UniqueFd& fd);

}  // namespace fenwright
