#include "platform/ipc/shared_file_info.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace fenwright {

std::optional<SharedFileInfo> inspectSharedFile(const UniqueFd& fd) {
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) return std::nullopt;
  int access = ::fcntl(fd.get(), F_GETFL);
  if (access < 0) return std::nullopt;
  SharedFileInfo info;
  info.regularFile = S_ISREG(status.st_mode);
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.openedReadOnly = (access & O_ACCMODE) == O_RDONLY;
  // Files that cannot carry seals answer EINVAL: no seals.
  int seals = ::fcntl(fd.get(), F_GET_SEALS);
  if (seals > 0) {
    info.sealedAgainstShrinking = (seals & F_SEAL_SHRINK) != 0;
    info.sealedAgainstGrowing = (seals & F_SEAL_GROW) != 0;
  }
  return info;
}

}  // namespace fenwright
